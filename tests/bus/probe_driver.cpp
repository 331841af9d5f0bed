#include "probe_driver.h"

#include "vel/kernel/io.h"
#include "vel/runtime/runtime.h"

namespace vel::bus::test {

ProbeWorld* ProbeWorld::current = nullptr;

DEVICE_OBJECT* ProbeWorld::fdoOf(DEVICE_OBJECT* pdo) const {
    std::lock_guard lock(mutex_);
    auto it = fdos_.find(pdo);
    return it != fdos_.end() ? it->second : nullptr;
}

size_t ProbeWorld::deviceCount() const {
    std::lock_guard lock(mutex_);
    return fdos_.size();
}

void ProbeWorld::added(DEVICE_OBJECT* pdo, DEVICE_OBJECT* fdo) {
    std::lock_guard lock(mutex_);
    fdos_[pdo] = fdo;
}

void ProbeWorld::removed(DEVICE_OBJECT* pdo) {
    std::lock_guard lock(mutex_);
    fdos_.erase(pdo);
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
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE: {
            // Tests wait for their requests, so none is in flight here.
            Extension e = ext(fdo);
            ProbeWorld::current->removed(e.pdo);
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
    ProbeWorld::current->added(pdo, fdo);
    return STATUS_SUCCESS;
}

struct Pending {
    ProbeRequest* request;
    rt::Event done{rt::Event::Type::ManualReset, false, "probe request"};
};

NTSTATUS completion(DEVICE_OBJECT*, IRP* irp, PVOID context) {
    auto* pending = static_cast<Pending*>(context);
    pending->request->status = irp->IoStatus.Status;
    pending->request->information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    pending->done.set();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS probeSend(DEVICE_OBJECT* fdo, ProbeRequest& request) {
    return probeSendTo(ext(fdo).lower, request);
}

NTSTATUS probeSendTo(DEVICE_OBJECT* lower, ProbeRequest& request) {
    Pending pending{&request};
    IRP* irp = IoAllocateIrp(lower->StackSize, FALSE);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = request.major;
    const auto size = static_cast<ULONG>(request.buffer.size());
    void* buffer = request.buffer.empty() ? nullptr : request.buffer.data();
    if (request.major == IRP_MJ_READ) {
        next->Parameters.Read.Length = size;
    } else {
        // Argument1 shares its place with the buffer lengths of a buffered control.
        if (request.argument != nullptr) {
            next->Parameters.Others.Argument1 = request.argument;
        } else {
            next->Parameters.DeviceIoControl.OutputBufferLength = size;
        }
        next->Parameters.DeviceIoControl.IoControlCode = request.code;
    }
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->UserBuffer = buffer;
    request.status = STATUS_PENDING;
    IoSetCompletionRoutine(irp, completion, &pending, TRUE, TRUE, TRUE);
    IoCallDriver(lower, irp);
    pending.done.wait();
    return request.status;
}

NTSTATUS ProbeDriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING*) {
    driver->DriverExtension->AddDevice = addDevice;
    driver->MajorFunction[IRP_MJ_PNP] = dispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = passDown;
    return STATUS_SUCCESS;
}

}  // namespace vel::bus::test
