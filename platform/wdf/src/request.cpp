#include "request.h"

#include <cstring>

#include "ddi_support.h"
#include "device.h"
#include "framework_state.h"
#include "io_target.h"
#include "memory.h"
#include "queue.h"

namespace vel::wdf {

namespace {

constexpr NTSTATUS kFacilityMask = 0x0FFF0000;
constexpr NTSTATUS kFrameworkFacility = 0x00200000;

rt::Runtime& runtime() {
    return *rt::Runtime::current();
}

}  // namespace

NTSTATUS rewriteFrameworkStatus(NTSTATUS status) {
    if ((status & kFacilityMask) != kFrameworkFacility) {
        return status;
    }
    switch (status) {
        case STATUS_WDF_PAUSED:
        case STATUS_WDF_BUSY:
            return STATUS_DEVICE_BUSY;
        case STATUS_WDF_INTERNAL_ERROR:
            return STATUS_INTERNAL_ERROR;
        case STATUS_WDF_NOT_ENOUGH_MAP_REGISTERS:
            return STATUS_INSUFFICIENT_RESOURCES;
        default:
            return STATUS_INVALID_DEVICE_REQUEST;
    }
}

Request::Request(Binding& binding, IRP* irp, Origin origin, bool freesIrp, Device* device)
    : Object(kType, binding), irp_(irp), origin_(origin), freesIrp_(freesIrp), device_(device) {}

Request::~Request() {
    if (freesIrp_ && irp_ != nullptr) {
        IoFreeIrp(irp_);
    }
}

Request* Request::fromIrp(IRP* irp) {
    return static_cast<Request*>(irp->Tail.Overlay.DriverContext[3]);
}

// ----- Completion -------------------------------------------------------------------------------

bool Request::withinCompletionLocks() const {
    // The callback lock a queue callback runs under is the framework's, not the driver's.
    size_t allowed = 0;
    Queue* current = queue;
    if (current != nullptr && current->callbackLock() != nullptr &&
        current->callbackLock()->executionLevel() != WdfExecutionLevelPassive) {
        ++allowed;
    }
    return runtime().verifier().spinLocksHeldByCurrentContext() <= allowed;
}

void Request::complete(NTSTATUS status, const ULONG_PTR* information) {
    if (origin_ != Origin::Queue) {
        reportViolation(rt::Rule::ContractViolation, describe(),
                        "WdfRequestComplete on a request the driver created");
        return;
    }
    Queue* owner;
    {
        // The owning queue's mutex guards these; a request not in a queue has no contender.
        owner = queue;
        if (completed) {
            reportViolation(rt::Rule::RequestCompletedTwice, describe(),
                            "the request was completed already");
            return;
        }
        if (forwardedAway || this->owner == Owner::Queue) {
            reportViolation(rt::Rule::RequestCompletedAfterForward, describe(),
                            "the request was forwarded and the driver no longer owns it");
            return;
        }
    }
    if (!withinCompletionLocks()) {
        reportViolation(rt::Rule::CompletedWithSpinLock, describe(),
                        "WdfRequestComplete while the driver holds a spin lock");
    }
    if (cancelable && IoSetCancelRoutine(irp_, nullptr) != nullptr) {
        reportViolation(rt::Rule::ContractViolation, describe(),
                        "completed while still marked cancelable");
        cancelable = false;
        release(&cancelQueue);
    }
    completed = true;
    if (owner != nullptr) {
        owner->release(*this);
    }
    if (information != nullptr) {
        irp_->IoStatus.Information = *information;
    }
    status = rewriteFrameworkStatus(status);
    irp_->IoStatus.Status = status;
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp_);
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode) == METHOD_BUFFERED &&
        stack->Parameters.DeviceIoControl.OutputBufferLength == 0) {
        irp_->Flags &= ~IRP_INPUT_OPERATION;
    }
    IRP* irp = irp_;
    irp_ = nullptr;
    dispose();  // cleanup callbacks before the IRP completes
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

void Request::completeByFramework(NTSTATUS status) {
    irp_->IoStatus.Status = status;
    irp_->IoStatus.Information = 0;
    completed = true;
    IRP* irp = irp_;
    irp_ = nullptr;
    dispose();
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS Request::status() const {
    std::lock_guard lock(mutex_);
    return irp_ != nullptr ? irp_->IoStatus.Status : STATUS_INVALID_DEVICE_STATE;
}

// ----- Cancellation -----------------------------------------------------------------------------

void Request::markCancelable(PFN_WDF_REQUEST_CANCEL callback, bool ex, NTSTATUS* result) {
    if (queue == nullptr || owner != Owner::Driver) {
        reportViolation(
            rt::Rule::ContractViolation, describe(),
            "WdfRequestMarkCancelable on a request the driver does not own from a queue");
        *result = STATUS_INVALID_DEVICE_REQUEST;
        return;
    }
    cancelCallback = callback;
    cancelable = true;
    cancelFired = false;
    cancelQueue = queue;
    irp_->Tail.Overlay.DriverContext[3] = this;
    addRef(&cancelQueue);
    IoSetCancelRoutine(irp_, onIrpCancel);
    *result = STATUS_SUCCESS;
    if (cancelFlagSet(irp_) && IoSetCancelRoutine(irp_, nullptr) != nullptr) {
        // Cancelled already and the routine is ours again.
        cancelable = false;
        if (ex) {
            *result = STATUS_CANCELLED;
        } else {
            queue.load()->cancelOwed(*this);
        }
        release(&cancelQueue);
    }
}

// The request may have been completed meanwhile by a path that lost the cancel race; the
// routine's reference keeps it alive until its queue has recorded the cancel.
void Request::onIrpCancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Request* request = fromIrp(irp);
    request->cancelQueue->irpCancelled(*request);
    request->release(&request->cancelQueue);
}

NTSTATUS Request::unmarkCancelable() {
    if (queue == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (cancelable && IoSetCancelRoutine(irp_, nullptr) != nullptr) {
        cancelable = false;
        release(&cancelQueue);
        return STATUS_SUCCESS;
    }
    // The cancel won (the IRP's routine is gone, or the callback is owed, running or done and
    // left the request to us). The queue sets cancelFired before it clears cancelable, so a
    // cancel recorded on another thread meanwhile shows in one or the other.
    if (cancelable || cancelFired) {
        // IoCancelIrp holds the cancel spin lock from taking the routine until calling it and
        // reads the IRP's stack meanwhile: the caller's completion must not move it before.
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        IoReleaseCancelSpinLock(irql);
        return STATUS_CANCELLED;
    }
    reportViolation(rt::Rule::ContractViolation, describe(),
                    "WdfRequestUnmarkCancelable on a request not marked cancelable");
    return STATUS_INVALID_DEVICE_REQUEST;
}

bool Request::isCanceled() const {
    return irp_ != nullptr && (cancelFlagSet(irp_) || cancelDue);
}

// ----- Buffers ----------------------------------------------------------------------------------

namespace {

struct BufferView {
    NTSTATUS status;
    void* buffer;
    size_t length;
    PMDL mdl;
};

BufferView locate(IRP* irp, bool input) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
        case IRP_MJ_READ:
        case IRP_MJ_WRITE: {
            const bool write = stack->MajorFunction == IRP_MJ_WRITE;
            if (input != write) {
                return {STATUS_INVALID_DEVICE_REQUEST, nullptr, 0, nullptr};
            }
            const size_t length =
                write ? stack->Parameters.Write.Length : stack->Parameters.Read.Length;
            if (length == 0) {
                return {STATUS_BUFFER_TOO_SMALL, nullptr, 0, nullptr};
            }
            if (irp->MdlAddress != nullptr) {
                return {STATUS_SUCCESS, irp->MdlAddress->MappedSystemVa, length, irp->MdlAddress};
            }
            void* buffer = irp->AssociatedIrp.SystemBuffer != nullptr
                               ? irp->AssociatedIrp.SystemBuffer
                               : irp->UserBuffer;
            return {buffer != nullptr ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL, buffer, length,
                    nullptr};
        }
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
            const auto& p = stack->Parameters.DeviceIoControl;
            const size_t length = input ? p.InputBufferLength : p.OutputBufferLength;
            if (length == 0) {
                return {STATUS_BUFFER_TOO_SMALL, nullptr, 0, nullptr};
            }
            switch (METHOD_FROM_CTL_CODE(p.IoControlCode)) {
                case METHOD_BUFFERED:
                    // Input and output share the one system buffer.
                    return {STATUS_SUCCESS, irp->AssociatedIrp.SystemBuffer, length, nullptr};
                case METHOD_IN_DIRECT:
                case METHOD_OUT_DIRECT:
                    if (input) {
                        return {STATUS_SUCCESS, irp->AssociatedIrp.SystemBuffer, length, nullptr};
                    }
                    if (irp->MdlAddress == nullptr) {
                        return {STATUS_BUFFER_TOO_SMALL, nullptr, 0, nullptr};
                    }
                    return {STATUS_SUCCESS, irp->MdlAddress->MappedSystemVa, length,
                            irp->MdlAddress};
                default:
                    if (irp->RequestorMode == UserMode &&
                        stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
                        return {STATUS_INVALID_DEVICE_REQUEST, nullptr, 0, nullptr};
                    }
                    return {STATUS_SUCCESS, input ? p.Type3InputBuffer : irp->UserBuffer, length,
                            nullptr};
            }
        }
        default:
            return {STATUS_INVALID_DEVICE_REQUEST, nullptr, 0, nullptr};
    }
}

}  // namespace

NTSTATUS Request::retrieveBuffer(bool input, size_t required, void** buffer, size_t* length) {
    if (buffer != nullptr)
        *buffer = nullptr;
    if (length != nullptr)
        *length = 0;
    BufferView view = locate(irp_, input);
    if (!NT_SUCCESS(view.status)) {
        return view.status;
    }
    if (view.length < required) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (buffer != nullptr)
        *buffer = view.buffer;
    if (length != nullptr)
        *length = view.length;
    return STATUS_SUCCESS;
}

NTSTATUS Request::retrieveMemory(bool input, WDFMEMORY* memory) {
    *memory = nullptr;
    BufferView view = locate(irp_, input);
    if (!NT_SUCCESS(view.status)) {
        return view.status;
    }
    Object* published = nullptr;
    NTSTATUS status = publish(std::make_unique<Memory>(binding(), view.buffer, view.length, 0),
                              nullptr, this, &published);
    if (NT_SUCCESS(status)) {
        *memory = static_cast<WDFMEMORY>(published->handle());
    }
    return status;
}

NTSTATUS Request::retrieveMdl(bool input, PMDL* mdl) {
    *mdl = nullptr;
    BufferView view = locate(irp_, input);
    if (!NT_SUCCESS(view.status)) {
        return view.status;
    }
    if (view.mdl == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    *mdl = view.mdl;
    return STATUS_SUCCESS;
}

void Request::parameters(WDF_REQUEST_PARAMETERS* out) const {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp_);
    std::memset(&out->Parameters, 0, sizeof out->Parameters);
    out->Type = static_cast<WDF_REQUEST_TYPE>(stack->MajorFunction);
    out->MinorFunction = stack->MinorFunction;
    switch (stack->MajorFunction) {
        case IRP_MJ_CREATE:
            out->Parameters.Create.SecurityContext = stack->Parameters.Create.SecurityContext;
            out->Parameters.Create.Options = stack->Parameters.Create.Options;
            out->Parameters.Create.FileAttributes = stack->Parameters.Create.FileAttributes;
            out->Parameters.Create.ShareAccess = stack->Parameters.Create.ShareAccess;
            out->Parameters.Create.EaLength = stack->Parameters.Create.EaLength;
            break;
        case IRP_MJ_READ:
            out->Parameters.Read.Length = stack->Parameters.Read.Length;
            out->Parameters.Read.Key = stack->Parameters.Read.Key;
            out->Parameters.Read.DeviceOffset = stack->Parameters.Read.ByteOffset.QuadPart;
            break;
        case IRP_MJ_WRITE:
            out->Parameters.Write.Length = stack->Parameters.Write.Length;
            out->Parameters.Write.Key = stack->Parameters.Write.Key;
            out->Parameters.Write.DeviceOffset = stack->Parameters.Write.ByteOffset.QuadPart;
            break;
        case IRP_MJ_DEVICE_CONTROL:
            out->Parameters.DeviceIoControl.OutputBufferLength =
                stack->Parameters.DeviceIoControl.OutputBufferLength;
            out->Parameters.DeviceIoControl.InputBufferLength =
                stack->Parameters.DeviceIoControl.InputBufferLength;
            out->Parameters.DeviceIoControl.IoControlCode =
                stack->Parameters.DeviceIoControl.IoControlCode;
            out->Parameters.DeviceIoControl.Type3InputBuffer =
                stack->Parameters.DeviceIoControl.Type3InputBuffer;
            break;
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            // Others overlays the stack location's arguments, as drivers read URBs from Arg1.
            out->Parameters.Others.Arg1 = stack->Parameters.Others.Argument1;
            out->Parameters.Others.Arg2 = stack->Parameters.Others.Argument2;
            out->Parameters.Others.IoControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
            out->Parameters.Others.Arg4 = stack->Parameters.Others.Argument4;
            break;
        default:
            break;
    }
}

// ----- Formatting -------------------------------------------------------------------------------

NTSTATUS Request::prepareNextLocation(CCHAR stackSize) {
    std::lock_guard lock(mutex_);
    if (origin_ == Origin::Created) {
        if (irp_ == nullptr || irp_->StackCount < stackSize) {
            IRP* fresh = IoAllocateIrp(stackSize, FALSE);
            if (fresh == nullptr) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            if (irp_ != nullptr) {
                IoFreeIrp(irp_);
            }
            irp_ = fresh;
        }
        return STATUS_SUCCESS;
    }
    if (irp_->CurrentLocation - 1 < stackSize) {
        return STATUS_REQUEST_NOT_ACCEPTED;
    }
    return STATUS_SUCCESS;
}

void Request::setFormat(Format format, const WDF_REQUEST_COMPLETION_PARAMS& params) {
    std::lock_guard lock(mutex_);
    format_ = format;
    params_ = params;
    if (origin_ != Origin::Created && !buffersSaved_) {
        savedSystemBuffer_ = irp_->AssociatedIrp.SystemBuffer;
        savedUserBuffer_ = irp_->UserBuffer;
        savedMdl_ = irp_->MdlAddress;
        buffersSaved_ = true;
    }
}

Request::Format Request::format() const {
    std::lock_guard lock(mutex_);
    return format_;
}

void* Request::ownBuffer(size_t size) {
    ownBuffer_.assign(size, 0);
    return ownBuffer_.data();
}

PMDL Request::ownMdl(void* buffer, ULONG length) {
    ownMdl_ = MDL{};
    ownMdl_.MappedSystemVa = buffer;
    ownMdl_.StartVa = buffer;
    ownMdl_.ByteCount = length;
    return &ownMdl_;
}

void Request::setCopyBack(void* from, WDFMEMORY to, size_t offset, size_t length) {
    copyFrom_ = from;
    copyTo_ = to;
    copyOffset_ = offset;
    copyLength_ = length;
}

void Request::setUsbFormat(URB* urb, const WDF_REQUEST_COMPLETION_PARAMS& params,
                           const WDF_USB_REQUEST_COMPLETION_PARAMS& usb) {
    setFormat(Format::Usb, params);
    std::lock_guard lock(mutex_);
    urb_ = urb;
    usbParams_ = usb;
    params_.Type = WdfRequestTypeUsb;
    params_.Parameters.Usb.Completion = &usbParams_;
}

void Request::releaseFormat() {
    if (buffersSaved_ && irp_ != nullptr) {
        irp_->AssociatedIrp.SystemBuffer = savedSystemBuffer_;
        irp_->UserBuffer = savedUserBuffer_;
        irp_->MdlAddress = savedMdl_;
        buffersSaved_ = false;
    }
    copyFrom_ = nullptr;
    copyTo_ = nullptr;
}

void Request::setCompletionRoutine(PFN_WDF_REQUEST_COMPLETION_ROUTINE routine, WDFCONTEXT context) {
    std::lock_guard lock(mutex_);
    routine_ = routine;
    routineContext_ = context;
}

void Request::completionParams(WDF_REQUEST_COMPLETION_PARAMS* params) const {
    std::lock_guard lock(mutex_);
    *params = params_;
}

NTSTATUS Request::reuse(const WDF_REQUEST_REUSE_PARAMS& params) {
    std::lock_guard lock(mutex_);
    if (inFlight_) {
        reportViolation(rt::Rule::ContractViolation, describe(),
                        "WdfRequestReuse on a request a target still owns");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    routine_ = nullptr;
    routineContext_ = nullptr;
    releaseFormat();
    format_ = Format::None;
    params_ = WDF_REQUEST_COMPLETION_PARAMS{};
    cancelledBeforeSend_ = false;
    timedOut_ = false;
    if (params.Flags & WDF_REQUEST_REUSE_SET_NEW_IRP) {
        if (origin_ == Origin::Queue) {
            return STATUS_WDF_REQUEST_INVALID_STATE;
        }
        if (freesIrp_ && irp_ != nullptr) {
            IoFreeIrp(irp_);
        }
        irp_ = params.NewIrp;
        freesIrp_ = false;
    }
    if (irp_ == nullptr) {
        return STATUS_SUCCESS;
    }
    if (origin_ == Origin::Created) {
        IoReuseIrp(irp_, params.Status);
    } else {
        irp_->IoStatus.Status = params.Status;
        irp_->Cancel = FALSE;
    }
    return STATUS_SUCCESS;
}

// ----- Sending ----------------------------------------------------------------------------------

bool Request::send(IoTarget& target, const WDF_REQUEST_SEND_OPTIONS* options) {
    auto fail = [&](NTSTATUS status) {
        std::lock_guard lock(mutex_);
        if (irp_ != nullptr) {
            irp_->IoStatus.Status = status;
            irp_->IoStatus.Information = 0;
        }
        return false;
    };
    ULONG flags = 0;
    LONGLONG timeout = 0;
    if (options != nullptr) {
        constexpr ULONG known =
            WDF_REQUEST_SEND_OPTION_TIMEOUT | WDF_REQUEST_SEND_OPTION_SYNCHRONOUS |
            WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE | WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET;
        if (options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS) || (options->Flags & ~known) != 0 ||
            ((options->Flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) &&
             options->Flags != WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET)) {
            return fail(STATUS_INVALID_PARAMETER);
        }
        flags = options->Flags;
        if (flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) {
            timeout = options->Timeout;
        }
    }
    if (flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) {
        if (origin_ != Origin::Queue) {
            return fail(STATUS_INVALID_DEVICE_STATE);
        }
        const Format f = format();
        if (f == Format::Read || f == Format::Write || f == Format::Ioctl ||
            f == Format::InternalIoctl || f == Format::Usb) {
            return fail(STATUS_INVALID_DEVICE_REQUEST);
        }
        DEVICE_OBJECT* device = target.deviceObject();
        if (device == nullptr) {
            return fail(STATUS_INVALID_DEVICE_STATE);
        }
        IRP* irp = irp_;
        if (f == Format::None) {
            IoSkipCurrentIrpStackLocation(irp);
        }
        if (Queue* current = queue; current != nullptr) {
            current->release(*this);
        }
        completed = true;
        irp_ = nullptr;
        dispose();
        IofCallDriver(device, irp);
        return true;
    }
    if (irp_ == nullptr) {
        // A created request never formatted: nothing to send.
        return fail(STATUS_INVALID_DEVICE_REQUEST);
    }
    const bool synchronous = (flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) != 0;
    {
        std::lock_guard lock(mutex_);
        if (cancelledBeforeSend_) {
            irp_->IoStatus.Status = STATUS_CANCELLED;
            return false;
        }
        if (origin_ == Origin::Queue && !synchronous && routine_ == nullptr) {
            irp_->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
            return false;
        }
    }
    const bool ignoreState = (flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE) != 0;
    if (NTSTATUS status = target.admit(*this, ignoreState); !NT_SUCCESS(status)) {
        return fail(status);
    }
    if (format() == Format::None && irp_->CurrentLocation <= irp_->StackCount) {
        IoCopyCurrentIrpStackLocationToNext(irp_);
    }
    IoSetCompletionRoutine(irp_, onIrpComplete, this, TRUE, TRUE, TRUE);
    {
        std::lock_guard lock(mutex_);
        target_ = &target;
        inFlight_ = true;
        synchronous_ = synchronous;
        ignoresState_ = ignoreState;
        timedOut_ = false;
        ++sendToken_;
        if (synchronous) {
            sendDone_ = std::make_unique<rt::Event>(rt::Event::Type::ManualReset, false,
                                                    "synchronous request send");
        }
    }
    if (timeout != 0) {
        const rt::Ticks now = runtime().now();
        armTimeout(timeout < 0 ? now - timeout : now + std::max<LONGLONG>(0, timeout));
    }
    IofCallDriver(target.deviceObject(), irp_);
    if (synchronous) {
        sendDone_->wait();
        deliverCompletion();
    }
    return true;
}

void Request::armTimeout(rt::Ticks due) {
    uint64_t token;
    {
        std::lock_guard lock(mutex_);
        token = sendToken_;
    }
    addRef(&timerId_);
    const auto id = runtime().armTimer(due, [this, token] {
        bool cancel = false;
        {
            std::lock_guard lock(mutex_);
            if (inFlight_ && sendToken_ == token) {
                timedOut_ = true;
                timerId_ = 0;
                ++cancelling_;
                cancel = true;
            }
        }
        if (cancel) {
            IoCancelIrp(irp_);
            finishCancel(false);
        }
        release(&timerId_);
    });
    std::lock_guard lock(mutex_);
    if (sendToken_ == token && inFlight_) {
        timerId_ = id;
    }
}

bool Request::cancelSent() {
    {
        std::lock_guard lock(mutex_);
        if (!inFlight_) {
            if (target_ == nullptr && format_ != Format::None) {
                cancelledBeforeSend_ = true;
            }
            return false;
        }
        ++cancelling_;
    }
    const bool attempted = IoCancelIrp(irp_) != FALSE;
    finishCancel(true);
    return attempted;
}

// A canceller leaves: if the IRP came back while it was inside IoCancelIrp, the completion
// is delivered now, from a DPC when the canceller is the driver (never inside its call).
void Request::finishCancel(bool fromDriver) {
    bool deliver = false;
    {
        std::lock_guard lock(mutex_);
        if (--cancelling_ == 0 && deliveryWaits_) {
            deliveryWaits_ = false;
            deliver = true;
        }
    }
    if (!deliver) {
        return;
    }
    if (fromDriver) {
        addRef(&sendDone_);
        runtime().queueDpc([this] {
            finishSend();
            release(&sendDone_);
        });
    } else {
        finishSend();
    }
}

NTSTATUS Request::onIrpComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* request = static_cast<Request*>(context);
    (void)irp;
    bool deliver;
    {
        std::lock_guard lock(request->mutex_);
        request->inFlight_ = false;
        if (request->timerId_ != 0) {
            runtime().cancelTimer(request->timerId_);
            request->timerId_ = 0;
            // The timer's reference goes with the cancelled arming.
            request->release(&request->timerId_);
        }
        deliver = request->cancelling_ == 0;
        request->deliveryWaits_ = !deliver;
    }
    if (deliver) {
        request->finishSend();
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The IRP is back from the target: record the results, then hand them to the waiting sender
// or the driver's completion routine.
void Request::finishSend() {
    bool synchronous;
    {
        std::lock_guard lock(mutex_);
        if (timedOut_ && irp_->IoStatus.Status == STATUS_CANCELLED) {
            irp_->IoStatus.Status = STATUS_IO_TIMEOUT;
        }
        params_.Size = sizeof(WDF_REQUEST_COMPLETION_PARAMS);
        if (format_ == Format::None || format_ == Format::CurrentType ||
            format_ == Format::StackLocation) {
            std::memset(&params_.Parameters, 0, sizeof params_.Parameters);
            params_.Type = WdfRequestTypeNoFormat;
        }
        params_.IoStatus = irp_->IoStatus;
        if (format_ == Format::Read) {
            params_.Parameters.Read.Length = irp_->IoStatus.Information;
        } else if (format_ == Format::Write) {
            params_.Parameters.Write.Length = irp_->IoStatus.Information;
        } else if (format_ == Format::Ioctl || format_ == Format::InternalIoctl) {
            params_.Parameters.Ioctl.Output.Length = irp_->IoStatus.Information;
        } else if (format_ == Format::Usb) {
            recordUsbResult();
        }
        if (copyFrom_ != nullptr && copyTo_ != nullptr && NT_SUCCESS(irp_->IoStatus.Status)) {
            auto* memory = lookup<Memory>(copyTo_, "request completion");
            const size_t n = std::min<size_t>(irp_->IoStatus.Information, copyLength_);
            if (memory != nullptr && memory->contains(copyOffset_, n)) {
                std::memcpy(static_cast<char*>(memory->buffer()) + copyOffset_, copyFrom_, n);
            }
        }
        releaseFormat();
        synchronous = synchronous_;
    }
    if (synchronous) {
        sendDone_->set();
        return;
    }
    deliverCompletion();
}

// The URB's results in the USB completion parameters. Called with mutex_ held.
void Request::recordUsbResult() {
    usbParams_.UsbdStatus = urb_->UrbHeader.Status;
    switch (usbParams_.Type) {
        case WdfUsbRequestTypeDeviceControlTransfer:
            usbParams_.Parameters.DeviceControlTransfer.Length =
                urb_->UrbControlTransfer.TransferBufferLength;
            break;
        case WdfUsbRequestTypeDeviceString: {
            // The descriptor's first byte is the length the whole string needs.
            const auto& d = urb_->UrbControlDescriptorRequest;
            if (d.TransferBufferLength >= 1 && d.TransferBuffer != nullptr) {
                usbParams_.Parameters.DeviceString.RequiredSize =
                    *static_cast<UCHAR*>(d.TransferBuffer);
            }
            break;
        }
        case WdfUsbRequestTypePipeRead:
        case WdfUsbRequestTypePipeWrite:
            usbParams_.Parameters.PipeRead.Length =
                urb_->UrbBulkOrInterruptTransfer.TransferBufferLength;
            break;
        default:
            break;
    }
}

void Request::deliverCompletion() {
    PFN_WDF_REQUEST_COMPLETION_ROUTINE routine;
    WDFCONTEXT context;
    IoTarget* target;
    bool ignored;
    {
        std::lock_guard lock(mutex_);
        routine = routine_;
        context = routineContext_;
        routine_ = nullptr;  // one-shot
        routineContext_ = nullptr;
        target = target_;
        target_ = nullptr;
        ignored = ignoresState_;
    }
    // The routine may complete or delete the request; it stays alive until the target has
    // stopped counting it, since a stop may be looking at the target's list meanwhile.
    addRef(&params_);
    if (routine != nullptr) {
        routine(requestHandle(), static_cast<WDFIOTARGET>(target->handle()), &params_, context);
    }
    // Counted as sent until its completion routine has returned (stop waits for that).
    target->sentDone(*this, ignored);
    release(&params_);
}

}  // namespace vel::wdf
