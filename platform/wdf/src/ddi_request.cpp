// Request calls.
#include "ddi.h"
#include "ddi_support.h"
#include "device.h"
#include "file_object.h"
#include "io_package_impl.h"
#include "io_target.h"
#include "queue.h"
#include "request.h"

namespace vel::wdf::ddi {

namespace {

Request* req(WDFREQUEST handle, const char* call) {
    return lookup<Request>(handle, call);
}

}  // namespace

NTSTATUS WdfRequestCreate(PWDF_DRIVER_GLOBALS DriverGlobals,
                          PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget,
                          WDFREQUEST* Request) {
    Binding* binding = callerBinding(DriverGlobals, "WdfRequestCreate");
    if (binding == nullptr || Request == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Request = nullptr;
    if (NTSTATUS status = validateAttributes(RequestAttributes); !NT_SUCCESS(status)) {
        return status;
    }
    Object* parent = nullptr;
    if (NTSTATUS status = resolveParent(*binding, RequestAttributes, false, &parent);
        !NT_SUCCESS(status)) {
        return status;
    }
    IRP* irp = nullptr;
    if (IoTarget != nullptr) {
        auto* target = lookup<vel::wdf::IoTarget>(IoTarget, "WdfRequestCreate");
        if (target == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        irp = IoAllocateIrp(target->stackSize(), FALSE);
        if (irp == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    Object* published = nullptr;
    NTSTATUS status = publish(std::make_unique<vel::wdf::Request>(
                                  *binding, irp, vel::wdf::Request::Origin::Created, true, nullptr),
                              RequestAttributes, parent, &published);
    if (NT_SUCCESS(status)) {
        *Request = static_cast<WDFREQUEST>(published->handle());
    }
    return status;
}

NTSTATUS WdfRequestCreateFromIrp(PWDF_DRIVER_GLOBALS DriverGlobals,
                                 PWDF_OBJECT_ATTRIBUTES RequestAttributes, PIRP Irp,
                                 BOOLEAN RequestFreesIrp, WDFREQUEST* Request) {
    Binding* binding = callerBinding(DriverGlobals, "WdfRequestCreateFromIrp");
    if (binding == nullptr || Request == nullptr || Irp == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Request = nullptr;
    if (NTSTATUS status = validateAttributes(RequestAttributes); !NT_SUCCESS(status)) {
        return status;
    }
    Object* parent = nullptr;
    if (NTSTATUS status = resolveParent(*binding, RequestAttributes, false, &parent);
        !NT_SUCCESS(status)) {
        return status;
    }
    Object* published = nullptr;
    NTSTATUS status = publish(
        std::make_unique<vel::wdf::Request>(*binding, Irp, vel::wdf::Request::Origin::Wrapped,
                                            RequestFreesIrp != FALSE, nullptr),
        RequestAttributes, parent, &published);
    if (NT_SUCCESS(status)) {
        *Request = static_cast<WDFREQUEST>(published->handle());
    }
    return status;
}

NTSTATUS WdfRequestReuse(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                         PWDF_REQUEST_REUSE_PARAMS ReuseParams) {
    auto* r = req(Request, "WdfRequestReuse");
    if (r == nullptr || ReuseParams == nullptr ||
        ReuseParams->Size != sizeof(WDF_REQUEST_REUSE_PARAMS) ||
        (ReuseParams->Flags & ~ULONG(WDF_REQUEST_REUSE_SET_NEW_IRP)) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    return r->reuse(*ReuseParams);
}

// Timed sends arm a runtime timer that cannot fail; there is nothing to set aside.
NTSTATUS WdfRequestAllocateTimer(PWDF_DRIVER_GLOBALS, WDFREQUEST Request) {
    return req(Request, "WdfRequestAllocateTimer") != nullptr ? STATUS_SUCCESS
                                                              : STATUS_INVALID_PARAMETER;
}

VOID WdfRequestComplete(PWDF_DRIVER_GLOBALS, WDFREQUEST Request, NTSTATUS Status) {
    if (auto* r = req(Request, "WdfRequestComplete")) {
        r->complete(Status, nullptr);
    }
}

VOID WdfRequestCompleteWithInformation(PWDF_DRIVER_GLOBALS, WDFREQUEST Request, NTSTATUS Status,
                                       ULONG_PTR Information) {
    if (auto* r = req(Request, "WdfRequestCompleteWithInformation")) {
        r->complete(Status, &Information);
    }
}

NTSTATUS WdfRequestGetStatus(PWDF_DRIVER_GLOBALS, WDFREQUEST Request) {
    auto* r = req(Request, "WdfRequestGetStatus");
    return r != nullptr ? r->status() : STATUS_INVALID_PARAMETER;
}

VOID WdfRequestSetInformation(PWDF_DRIVER_GLOBALS, WDFREQUEST Request, ULONG_PTR Information) {
    auto* r = req(Request, "WdfRequestSetInformation");
    if (r != nullptr && r->irp() != nullptr) {
        r->irp()->IoStatus.Information = Information;
    }
}

ULONG_PTR WdfRequestGetInformation(PWDF_DRIVER_GLOBALS, WDFREQUEST Request) {
    auto* r = req(Request, "WdfRequestGetInformation");
    return r != nullptr && r->irp() != nullptr ? r->irp()->IoStatus.Information : 0;
}

VOID WdfRequestGetParameters(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                             PWDF_REQUEST_PARAMETERS Parameters) {
    auto* r = req(Request, "WdfRequestGetParameters");
    if (r == nullptr || Parameters == nullptr || r->irp() == nullptr) {
        return;
    }
    if (Parameters->Size != sizeof(WDF_REQUEST_PARAMETERS)) {
        reportViolation(rt::Rule::ContractViolation, r->describe(),
                        "WdfRequestGetParameters with a wrong Size");
        return;
    }
    r->parameters(Parameters);
}

WDFFILEOBJECT WdfRequestGetFileObject(PWDF_DRIVER_GLOBALS, WDFREQUEST Request) {
    auto* r = req(Request, "WdfRequestGetFileObject");
    if (r == nullptr || r->irp() == nullptr || r->device() == nullptr) {
        return nullptr;
    }
    FileObject* file = r->device()->fileObject(IoGetCurrentIrpStackLocation(r->irp())->FileObject);
    return file != nullptr ? static_cast<WDFFILEOBJECT>(file->handle()) : nullptr;
}

KPROCESSOR_MODE WdfRequestGetRequestorMode(PWDF_DRIVER_GLOBALS, WDFREQUEST Request) {
    auto* r = req(Request, "WdfRequestGetRequestorMode");
    return r != nullptr && r->irp() != nullptr ? r->irp()->RequestorMode : KernelMode;
}

PIRP WdfRequestWdmGetIrp(PWDF_DRIVER_GLOBALS, WDFREQUEST Request) {
    auto* r = req(Request, "WdfRequestWdmGetIrp");
    return r != nullptr ? r->irp() : nullptr;
}

NTSTATUS WdfRequestRetrieveInputBuffer(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                       size_t MinimumRequiredLength, PVOID* Buffer,
                                       size_t* Length) {
    auto* r = req(Request, "WdfRequestRetrieveInputBuffer");
    return r != nullptr ? r->retrieveBuffer(true, MinimumRequiredLength, Buffer, Length)
                        : STATUS_INVALID_PARAMETER;
}

NTSTATUS WdfRequestRetrieveOutputBuffer(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                        size_t MinimumRequiredSize, PVOID* Buffer, size_t* Length) {
    auto* r = req(Request, "WdfRequestRetrieveOutputBuffer");
    return r != nullptr ? r->retrieveBuffer(false, MinimumRequiredSize, Buffer, Length)
                        : STATUS_INVALID_PARAMETER;
}

NTSTATUS WdfRequestRetrieveInputMemory(PWDF_DRIVER_GLOBALS, WDFREQUEST Request, WDFMEMORY* Memory) {
    auto* r = req(Request, "WdfRequestRetrieveInputMemory");
    return r != nullptr && Memory != nullptr ? r->retrieveMemory(true, Memory)
                                             : STATUS_INVALID_PARAMETER;
}

NTSTATUS WdfRequestRetrieveOutputMemory(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                        WDFMEMORY* Memory) {
    auto* r = req(Request, "WdfRequestRetrieveOutputMemory");
    return r != nullptr && Memory != nullptr ? r->retrieveMemory(false, Memory)
                                             : STATUS_INVALID_PARAMETER;
}

NTSTATUS WdfRequestRetrieveInputWdmMdl(PWDF_DRIVER_GLOBALS, WDFREQUEST Request, PMDL* Mdl) {
    auto* r = req(Request, "WdfRequestRetrieveInputWdmMdl");
    return r != nullptr && Mdl != nullptr ? r->retrieveMdl(true, Mdl) : STATUS_INVALID_PARAMETER;
}

NTSTATUS WdfRequestRetrieveOutputWdmMdl(PWDF_DRIVER_GLOBALS, WDFREQUEST Request, PMDL* Mdl) {
    auto* r = req(Request, "WdfRequestRetrieveOutputWdmMdl");
    return r != nullptr && Mdl != nullptr ? r->retrieveMdl(false, Mdl) : STATUS_INVALID_PARAMETER;
}

VOID WdfRequestMarkCancelable(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                              PFN_WDF_REQUEST_CANCEL EvtRequestCancel) {
    NTSTATUS ignored;
    if (auto* r = req(Request, "WdfRequestMarkCancelable")) {
        r->markCancelable(EvtRequestCancel, false, &ignored);
    }
}

NTSTATUS WdfRequestMarkCancelableEx(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                    PFN_WDF_REQUEST_CANCEL EvtRequestCancel) {
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (auto* r = req(Request, "WdfRequestMarkCancelableEx")) {
        r->markCancelable(EvtRequestCancel, true, &status);
    }
    return status;
}

NTSTATUS WdfRequestUnmarkCancelable(PWDF_DRIVER_GLOBALS, WDFREQUEST Request) {
    auto* r = req(Request, "WdfRequestUnmarkCancelable");
    return r != nullptr ? r->unmarkCancelable() : STATUS_INVALID_PARAMETER;
}

BOOLEAN WdfRequestIsCanceled(PWDF_DRIVER_GLOBALS, WDFREQUEST Request) {
    auto* r = req(Request, "WdfRequestIsCanceled");
    return r != nullptr && r->isCanceled() ? TRUE : FALSE;
}

WDFQUEUE WdfRequestGetIoQueue(PWDF_DRIVER_GLOBALS, WDFREQUEST Request) {
    auto* r = req(Request, "WdfRequestGetIoQueue");
    Queue* queue = r != nullptr ? r->queue.load() : nullptr;
    return queue != nullptr && !r->completed ? queue->queueHandle() : nullptr;
}

NTSTATUS WdfRequestForwardToIoQueue(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                    WDFQUEUE DestinationQueue) {
    auto* r = req(Request, "WdfRequestForwardToIoQueue");
    auto* destination = lookup<Queue>(DestinationQueue, "WdfRequestForwardToIoQueue");
    Queue* source = r != nullptr ? r->queue.load() : nullptr;
    if (destination == nullptr || source == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return source->forward(*r, *destination);
}

// The PDO's request ends here (its cleanup runs, the driver no longer owns it); the IRP moves
// one stack location down to the parent and arrives at the parent's queue as a request of the
// parent device.
NTSTATUS WdfRequestForwardToParentDeviceIoQueue(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                                WDFQUEUE ParentDeviceQueue,
                                                PWDF_REQUEST_FORWARD_OPTIONS ForwardOptions) {
    auto* r = req(Request, "WdfRequestForwardToParentDeviceIoQueue");
    auto* parentQueue = lookup<Queue>(ParentDeviceQueue, "WdfRequestForwardToParentDeviceIoQueue");
    if (r == nullptr || parentQueue == nullptr || ForwardOptions == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (ForwardOptions->Size != sizeof(WDF_REQUEST_FORWARD_OPTIONS)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if ((ForwardOptions->Flags & ~ULONG(WDF_REQUEST_FORWARD_OPTION_SEND_AND_FORGET)) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    Device* device = r->device();
    Queue* source = r->queue;
    if (device == nullptr || source == nullptr || !device->isPdo() || !device->forwardsToParent() ||
        &parentQueue->device() != device->parentDevice() || r->cancelable) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!parentQueue->accepting()) {
        return STATUS_WDF_BUSY;
    }
    IRP* irp = r->irp();
    if (irp->CurrentLocation <= 1) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    Device& parent = parentQueue->device();
    WDFREQUEST forwarded = nullptr;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = parent.wdmDevice();
    if (NTSTATUS status = parent.io().wrapIrp(irp, &forwarded); !NT_SUCCESS(status)) {
        IoSkipCurrentIrpStackLocation(irp);
        return status;
    }
    auto* moved = lookup<vel::wdf::Request>(forwarded, "WdfRequestForwardToParentDeviceIoQueue");
    moved->owner = vel::wdf::Request::Owner::None;
    if (!parentQueue->enqueue(*moved)) {
        moved->completed = true;
        moved->dispose();
        IoSkipCurrentIrpStackLocation(irp);
        return STATUS_WDF_BUSY;
    }
    source->release(*r);
    r->forwardedAway = true;
    r->dispose();
    return STATUS_SUCCESS;
}

NTSTATUS WdfRequestRequeue(PWDF_DRIVER_GLOBALS, WDFREQUEST Request) {
    auto* r = req(Request, "WdfRequestRequeue");
    Queue* queue = r != nullptr ? r->queue.load() : nullptr;
    if (queue == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return queue->requeue(*r);
}

VOID WdfRequestStopAcknowledge(PWDF_DRIVER_GLOBALS, WDFREQUEST Request, BOOLEAN Requeue) {
    auto* r = req(Request, "WdfRequestStopAcknowledge");
    Queue* queue = r != nullptr ? r->queue.load() : nullptr;
    if (queue != nullptr) {
        queue->acknowledge(*r, Requeue != FALSE);
    }
}

VOID WdfRequestSetCompletionRoutine(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                    PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    WDFCONTEXT CompletionContext) {
    if (auto* r = req(Request, "WdfRequestSetCompletionRoutine")) {
        r->setCompletionRoutine(CompletionRoutine, CompletionContext);
    }
}

VOID WdfRequestGetCompletionParams(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                   PWDF_REQUEST_COMPLETION_PARAMS Params) {
    auto* r = req(Request, "WdfRequestGetCompletionParams");
    if (r != nullptr && Params != nullptr) {
        r->completionParams(Params);
    }
}

BOOLEAN WdfRequestSend(PWDF_DRIVER_GLOBALS, WDFREQUEST Request, WDFIOTARGET Target,
                       PWDF_REQUEST_SEND_OPTIONS Options) {
    auto* r = req(Request, "WdfRequestSend");
    auto* target = lookup<IoTarget>(Target, "WdfRequestSend");
    if (r == nullptr || target == nullptr) {
        return FALSE;
    }
    if (Options != nullptr && (Options->Flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS)) {
        rt::Runtime::current()->verifier().checkBlockingCall("WdfRequestSend(SYNCHRONOUS)");
    }
    return r->send(*target, Options) ? TRUE : FALSE;
}

BOOLEAN WdfRequestCancelSentRequest(PWDF_DRIVER_GLOBALS, WDFREQUEST Request) {
    auto* r = req(Request, "WdfRequestCancelSentRequest");
    return r != nullptr && r->cancelSent() ? TRUE : FALSE;
}

// Whether the request can go to this target: it needs a stack location for each device of the
// target's stack. A request the driver created gets a larger IRP instead.
NTSTATUS WdfRequestChangeTarget(PWDF_DRIVER_GLOBALS, WDFREQUEST Request, WDFIOTARGET Target) {
    auto* r = req(Request, "WdfRequestChangeTarget");
    auto* target = lookup<IoTarget>(Target, "WdfRequestChangeTarget");
    if (r == nullptr || target == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (target->deviceObject() == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return r->prepareNextLocation(target->stackSize());
}

NTSTATUS WdfRequestFormatRequestUsingCurrentType(PWDF_DRIVER_GLOBALS, WDFREQUEST Request) {
    auto* r = req(Request, "WdfRequestFormatRequestUsingCurrentType");
    if (r == nullptr || r->irp() == nullptr || r->irp()->CurrentLocation <= 1) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    IoCopyCurrentIrpStackLocationToNext(r->irp());
    WDF_REQUEST_COMPLETION_PARAMS params;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params);
    r->setFormat(vel::wdf::Request::Format::CurrentType, params);
    return STATUS_SUCCESS;
}

VOID WdfRequestWdmFormatUsingStackLocation(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                           PIO_STACK_LOCATION Stack) {
    auto* r = req(Request, "WdfRequestWdmFormatUsingStackLocation");
    if (r == nullptr || Stack == nullptr) {
        return;
    }
    if (r->origin() == vel::wdf::Request::Origin::Created && r->irp() == nullptr &&
        !NT_SUCCESS(r->prepareNextLocation(1))) {
        return;
    }
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(r->irp());
    *next = *Stack;
    next->CompletionRoutine = nullptr;
    next->Context = nullptr;
    next->Control = 0;
    WDF_REQUEST_COMPLETION_PARAMS params;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params);
    r->setFormat(vel::wdf::Request::Format::StackLocation, params);
}

}  // namespace vel::wdf::ddi
