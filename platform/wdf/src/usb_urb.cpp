#include "usb_urb.h"

#include <cstring>

#include "ddi.h"
#include "ddi_support.h"
#include "io_target.h"
#include "request.h"
#include "vel/runtime/faults.h"

namespace vel::wdf {

NTSTATUS formatUrb(IoTarget& target, Request& request, URB* urb,
                   const WDF_USB_REQUEST_COMPLETION_PARAMS& usb) {
    const WDF_IO_TARGET_STATE state = target.state();
    if (state == WdfIoTargetClosed || state == WdfIoTargetDeleted) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (NTSTATUS status = request.prepareNextLocation(target.stackSize()); !NT_SUCCESS(status)) {
        return status;
    }
    WDF_REQUEST_COMPLETION_PARAMS params;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params);
    request.setUsbFormat(urb, params, usb);
    IRP* irp = request.irp();
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    std::memset(next, 0, sizeof *next);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    return STATUS_SUCCESS;
}

NTSTATUS sendUrbSynchronously(PWDF_DRIVER_GLOBALS globals, IoTarget& target, WDFREQUEST request,
                              const WDF_REQUEST_SEND_OPTIONS* options, URB* urb,
                              WDF_USB_REQUEST_TYPE type, const char* call) {
    frameworkState().runtime.verifier().checkBlockingCall(call);
    if (options != nullptr && options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    // The device-level sends (descriptors, selections, control transfers, the driver's URBs)
    // share one injection point; the pipe calls have their own.
    const bool deviceSend = type == WdfUsbRequestTypeDeviceString ||
                            type == WdfUsbRequestTypeDeviceControlTransfer ||
                            type == WdfUsbRequestTypeDeviceUrb;
    if (deviceSend && injectFault(rt::fault::kUsbDeviceSend)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    WDFREQUEST used = request;
    if (used == nullptr) {
        if (NTSTATUS status = ddi::WdfRequestCreate(globals, nullptr, target.targetHandle(), &used);
            !NT_SUCCESS(status)) {
            return status;
        }
    }
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (auto* r = lookup<Request>(used, call)) {
        WDF_USB_REQUEST_COMPLETION_PARAMS usb{};
        usb.Type = type;
        status = formatUrb(target, *r, urb, usb);
    }
    if (NT_SUCCESS(status)) {
        WDF_REQUEST_SEND_OPTIONS sync;
        WDF_REQUEST_SEND_OPTIONS_INIT(&sync, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
        if (options != nullptr) {
            sync.Flags |= options->Flags;
            sync.Timeout = options->Timeout;
        }
        ddi::WdfRequestSend(globals, used, target.targetHandle(), &sync);
        status = ddi::WdfRequestGetStatus(globals, used);
    }
    if (request == nullptr) {
        ddi::WdfObjectDelete(globals, used);
    }
    return status;
}

NTSTATUS formatPortRequest(IoTarget& target, Request& request, ULONG ioctl, void* argument) {
    const WDF_IO_TARGET_STATE state = target.state();
    if (state == WdfIoTargetClosed || state == WdfIoTargetDeleted) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (NTSTATUS status = request.prepareNextLocation(target.stackSize()); !NT_SUCCESS(status)) {
        return status;
    }
    WDF_REQUEST_COMPLETION_PARAMS params;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params);
    params.Type = WdfRequestTypeDeviceControlInternal;
    params.Parameters.Ioctl.IoControlCode = ioctl;
    request.setFormat(Request::Format::StackLocation, params);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(request.irp());
    std::memset(next, 0, sizeof *next);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ioctl;
    next->Parameters.Others.Argument1 = argument;
    return STATUS_SUCCESS;
}

NTSTATUS sendPortRequest(PWDF_DRIVER_GLOBALS globals, IoTarget& target, ULONG ioctl, void* argument,
                         const char* call) {
    frameworkState().runtime.verifier().checkBlockingCall(call);
    if (injectFault(rt::fault::kUsbPortRequest)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    WDFREQUEST request = nullptr;
    if (NTSTATUS status = ddi::WdfRequestCreate(globals, nullptr, target.targetHandle(), &request);
        !NT_SUCCESS(status)) {
        return status;
    }
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (auto* r = lookup<Request>(request, call)) {
        status = formatPortRequest(target, *r, ioctl, argument);
    }
    if (NT_SUCCESS(status)) {
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS |
                                                    WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
        ddi::WdfRequestSend(globals, request, target.targetHandle(), &options);
        status = ddi::WdfRequestGetStatus(globals, request);
    }
    ddi::WdfObjectDelete(globals, request);
    return status;
}

WDF_REQUEST_SEND_OPTIONS urbSendOptions(ULONG ms, bool ignoreTargetState) {
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(
        &options, ignoreTargetState ? WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE : 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(ms));
    return options;
}

}  // namespace vel::wdf
