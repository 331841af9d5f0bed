#include "test_driver.h"

#include "vel/kernel/io.h"

namespace vel::usb::test {

FunctionWorld* FunctionWorld::current = nullptr;

void FunctionWorld::added(DEVICE_OBJECT* pdo, DEVICE_OBJECT* fdo, DEVICE_OBJECT* lower) {
    std::lock_guard lock(mutex_);
    fdos_[pdo] = fdo;
    auto state = std::make_unique<DeviceState>();
    state->lower = lower;
    states_[fdo] = std::move(state);
    log_.push_back("add");
}

DeviceState* FunctionWorld::stateOf(DEVICE_OBJECT* fdo) {
    std::lock_guard lock(mutex_);
    auto it = states_.find(fdo);
    return it != states_.end() ? it->second.get() : nullptr;
}

void FunctionWorld::removed(DEVICE_OBJECT* pdo) {
    std::lock_guard lock(mutex_);
    fdos_.erase(pdo);
}

DEVICE_OBJECT* FunctionWorld::fdoOf(DEVICE_OBJECT* pdo) const {
    std::lock_guard lock(mutex_);
    auto it = fdos_.find(pdo);
    return it != fdos_.end() ? it->second : nullptr;
}

void FunctionWorld::record(const std::string& entry) {
    std::lock_guard lock(mutex_);
    log_.push_back(entry);
}

std::vector<std::string> FunctionWorld::log() const {
    std::lock_guard lock(mutex_);
    return log_;
}

namespace {

struct Extension {
    DEVICE_OBJECT* lower;
    DEVICE_OBJECT* pdo;
};

Extension& ext(DEVICE_OBJECT* fdo) {
    return *static_cast<Extension*>(fdo->DeviceExtension);
}

NTSTATUS passDown(DEVICE_OBJECT* fdo, IRP* irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext(fdo).lower, irp);
}

NTSTATUS dispatchPnp(DEVICE_OBJECT* fdo, IRP* irp) {
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    switch (minor) {
        case IRP_MN_START_DEVICE:
            FunctionWorld::current->record("start");
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            FunctionWorld::current->record("surprise");
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE: {
            FunctionWorld::current->record("remove");
            DeviceState& state = *FunctionWorld::current->stateOf(fdo);
            for (bool waiting = true; waiting;) {
                {
                    std::lock_guard lock(state.mutex);
                    state.removed = true;
                    waiting = state.outstanding > 0;
                }
                if (waiting) {
                    rt::delay(rt::kTicksPerMs);  // the bus gives them back
                }
            }
            Extension e = ext(fdo);
            FunctionWorld::current->removed(e.pdo);
            kernel::IoManager::current().detachDevice(e.lower);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            const NTSTATUS status = IoCallDriver(e.lower, irp);
            kernel::IoManager::current().deleteDevice(fdo);
            return status;
        }
        default:
            break;
    }
    return passDown(fdo, irp);
}

NTSTATUS addDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
    kernel::IoManager& io = kernel::IoManager::current();
    kernel::DeviceObjectOptions options;
    options.extensionSize = sizeof(Extension);
    DEVICE_OBJECT* fdo = nullptr;
    const NTSTATUS status = io.createDevice(driver, options, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ext(fdo).pdo = pdo;
    ext(fdo).lower = io.attachDevice(fdo, pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    FunctionWorld::current->added(pdo, fdo, ext(fdo).lower);
    return STATUS_SUCCESS;
}

// Frees the driver's IRP; the request is done.
NTSTATUS completion(DEVICE_OBJECT*, IRP* irp, PVOID context) {
    auto& request = *static_cast<UrbRequest*>(context);
    request.status = irp->IoStatus.Status;
    request.completedAt = rt::Runtime::current()->now();
    request.irp = nullptr;
    request.done = true;
    IoFreeIrp(irp);
    DeviceState& state = *request.sentTo;
    if (request.onComplete) {
        request.onComplete(request);
    }
    std::lock_guard lock(state.mutex);
    --state.outstanding;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS send(DEVICE_OBJECT* fdo, ULONG code, void* argument, UrbRequest& request) {
    DeviceState& state = *FunctionWorld::current->stateOf(fdo);
    bool refused;
    {
        std::lock_guard lock(state.mutex);
        refused = state.removed;
        if (!refused) {
            ++state.outstanding;
        }
    }
    if (refused) {
        request.status = STATUS_NO_SUCH_DEVICE;
        request.done = true;
        if (request.onComplete) {
            request.onComplete(request);
        }
        return STATUS_NO_SUCH_DEVICE;
    }
    request.sentTo = &state;
    DEVICE_OBJECT* lower = state.lower;
    IRP* irp = IoAllocateIrp(lower->StackSize, FALSE);
    request.irp = irp;
    request.done = false;
    request.status = STATUS_PENDING;
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    // Argument1 shares its place with the buffer lengths of a buffered control.
    if (argument != nullptr) {
        next->Parameters.Others.Argument1 = argument;
    } else {
        next->Parameters.DeviceIoControl.OutputBufferLength =
            static_cast<ULONG>(request.data.size());
    }
    next->Parameters.DeviceIoControl.IoControlCode = code;
    irp->AssociatedIrp.SystemBuffer = request.data.empty() ? nullptr : request.data.data();
    IoSetCompletionRoutine(irp, completion, &request, TRUE, TRUE, TRUE);
    return IoCallDriver(lower, irp);
}

}  // namespace

NTSTATUS TestFunctionDriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING*) {
    driver->DriverExtension->AddDevice = addDevice;
    driver->MajorFunction[IRP_MJ_PNP] = dispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = passDown;
    return STATUS_SUCCESS;
}

NTSTATUS sendUrb(DEVICE_OBJECT* fdo, UrbRequest& request) {
    return send(fdo, IOCTL_INTERNAL_USB_SUBMIT_URB, request.urb(), request);
}

NTSTATUS sendInternalControl(DEVICE_OBJECT* fdo, ULONG code, void* argument, UrbRequest& request) {
    return send(fdo, code, argument, request);
}

}  // namespace vel::usb::test
