#include "usb_pipe_io.h"

#include <cstring>

#include "ddi.h"
#include "ddi_support.h"
#include "request.h"
#include "usb_pipe.h"
#include "usb_urb.h"

namespace vel::wdf {

NTSTATUS checkPipeTransfer(const UsbPipe& pipe, bool read, size_t length) {
    const WDF_USB_PIPE_TYPE type = pipe.pipeType();
    if (type != WdfUsbPipeTypeBulk && type != WdfUsbPipeTypeInterrupt) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (pipe.isIn() != read) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const USHORT packet = pipe.wdmInformation().MaximumPacketSize;
    if (read && pipe.packetSizeCheck() && packet != 0 && length % packet != 0) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    if (length > ULONG_MAX) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

NTSTATUS formatPipeTransfer(UsbPipe& pipe, Request& request, bool read, WDFMEMORY memory,
                            void* buffer, size_t offset, size_t length) {
    if (NTSTATUS status = checkPipeTransfer(pipe, read, length); !NT_SUCCESS(status)) {
        return status;
    }
    // The URB lives in the request until it is formatted again.
    auto* urb = static_cast<URB*>(request.ownBuffer(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)));
    UsbBuildInterruptOrBulkTransferRequest(
        urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe.wdmHandle(),
        length != 0 ? buffer : nullptr, nullptr, static_cast<ULONG>(length),
        read ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_TRANSFER_DIRECTION_OUT,
        nullptr);
    WDF_USB_REQUEST_COMPLETION_PARAMS usb{};
    usb.Type = read ? WdfUsbRequestTypePipeRead : WdfUsbRequestTypePipeWrite;
    usb.Parameters.PipeRead.Buffer = memory;
    usb.Parameters.PipeRead.Offset = offset;
    return formatUrb(pipe, request, urb, usb);
}

NTSTATUS formatPipeRequest(UsbPipe& pipe, Request& request, USHORT function) {
    auto* urb = static_cast<URB*>(request.ownBuffer(sizeof(_URB_PIPE_REQUEST)));
    auto* pipeRequest = reinterpret_cast<_URB_PIPE_REQUEST*>(urb);
    pipeRequest->Hdr.Length = sizeof(_URB_PIPE_REQUEST);
    pipeRequest->Hdr.Function = function;
    pipeRequest->PipeHandle = pipe.wdmHandle();
    WDF_USB_REQUEST_COMPLETION_PARAMS usb{};
    usb.Type = function == URB_FUNCTION_ABORT_PIPE ? WdfUsbRequestTypePipeAbort
                                                   : WdfUsbRequestTypePipeReset;
    return formatUrb(pipe, request, urb, usb);
}

NTSTATUS resetPipeSynchronously(PWDF_DRIVER_GLOBALS globals, UsbPipe& pipe, WDFREQUEST request,
                                const WDF_REQUEST_SEND_OPTIONS* options) {
    _URB_PIPE_REQUEST urb{};
    urb.Hdr.Length = sizeof urb;
    urb.Hdr.Function = URB_FUNCTION_RESET_PIPE;
    urb.PipeHandle = pipe.wdmHandle();
    WDF_REQUEST_SEND_OPTIONS send;
    WDF_REQUEST_SEND_OPTIONS_INIT(&send, WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
    if (options != nullptr) {
        send.Flags |= options->Flags;
        send.Timeout = options->Timeout;
    }
    return sendUrbSynchronously(globals, pipe, request, &send, reinterpret_cast<URB*>(&urb),
                                WdfUsbRequestTypePipeReset, "WdfUsbTargetPipeResetSynchronously");
}

NTSTATUS queryPortStatus(UsbPipe& pipe, ULONG* portStatus) {
    *portStatus = 0;
    return sendPortRequest(&pipe.binding().globals, pipe, IOCTL_INTERNAL_USB_GET_PORT_STATUS,
                           portStatus, "queryPortStatus");
}

}  // namespace vel::wdf
