// The framework's dispatch routine: every IRP a framework device object receives comes here
// and goes to the driver's preprocess callback, the PnP/power handling, the file objects, WMI
// or the I/O side.
#include "device.h"
#include "device_pnp.h"
#include "file_object.h"
#include "io_package.h"
#include "wmi.h"

namespace vel::wdf {

namespace {

bool preprocessApplies(const PreprocessEntry& entry, UCHAR minor) {
    if (entry.minors.empty()) {
        return true;
    }
    for (UCHAR each : entry.minors) {
        if (each == minor) {
            return true;
        }
    }
    return false;
}

NTSTATUS completeIrp(IRP* irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

NTSTATUS Device::dispatch(IRP* irp, bool preprocessed) {
    IO_STACK_LOCATION* location = IoGetCurrentIrpStackLocation(irp);
    const UCHAR major = location->MajorFunction;
    if (!preprocessed) {
        auto it = init_.preprocess.find(major);
        if (it != init_.preprocess.end() &&
            preprocessApplies(it->second, location->MinorFunction)) {
            return it->second.callback(static_cast<WDFDEVICE>(handle()), irp);
        }
    }
    switch (major) {
        case IRP_MJ_PNP:
            return pnp_->dispatchPnp(irp);
        case IRP_MJ_POWER:
            return pnp_->dispatchPower(irp);
        case IRP_MJ_CREATE:
            return files_->dispatchCreate(irp);
        case IRP_MJ_CLEANUP:
            return files_->dispatchCleanup(irp);
        case IRP_MJ_CLOSE:
            return files_->dispatchClose(irp);
        case IRP_MJ_SYSTEM_CONTROL:
            return dispatchSystemControl(*this, irp);
        case IRP_MJ_READ:
        case IRP_MJ_WRITE:
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            // A handle opened before a (surprise) removal lives on until it is closed; its I/O
            // fails as it would at a remove lock.
            if (const PnpState state = pnp_->state();
                state == PnpState::SurpriseRemoved || state == PnpState::Removed) {
                return completeIrp(irp, STATUS_DELETE_PENDING);
            }
            return io_->dispatch(irp);
        default:
            return completeIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// Installed in every MajorFunction slot of a framework driver.
NTSTATUS frameworkDispatch(DEVICE_OBJECT* deviceObject, IRP* irp) {
    Device* device = Device::fromWdm(deviceObject);
    if (device == nullptr) {
        return completeIrp(irp, STATUS_NO_SUCH_DEVICE);
    }
    return device->dispatch(irp, false);
}

}  // namespace vel::wdf
