// USBD status to NTSTATUS, as the USB stack completes URB requests.
#include "vel/usb/host_controller.h"

namespace vel::usb {

NTSTATUS ntStatusFromUsbd(USBD_STATUS status) {
    if (USBD_SUCCESS(status)) {
        return STATUS_SUCCESS;
    }
    switch (status) {
        case USBD_STATUS_CANCELED:
            return STATUS_CANCELLED;
        case USBD_STATUS_CRC:
        case USBD_STATUS_BTSTUFF:
        case USBD_STATUS_DATA_TOGGLE_MISMATCH:
        case USBD_STATUS_DEV_NOT_RESPONDING:
        case USBD_STATUS_PID_CHECK_FAILURE:
        case USBD_STATUS_UNEXPECTED_PID:
        case USBD_STATUS_DATA_OVERRUN:
        case USBD_STATUS_DATA_UNDERRUN:
        case USBD_STATUS_BUFFER_OVERRUN:
        case USBD_STATUS_BUFFER_UNDERRUN:
        case USBD_STATUS_XACT_ERROR:
        case USBD_STATUS_BABBLE_DETECTED:
            return STATUS_DEVICE_DATA_ERROR;
        case USBD_STATUS_DEVICE_GONE:
            return STATUS_DEVICE_NOT_CONNECTED;
        case USBD_STATUS_INVALID_URB_FUNCTION:
        case USBD_STATUS_INVALID_PARAMETER:
        case USBD_STATUS_INVALID_PIPE_HANDLE:
        case USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR:
        case USBD_STATUS_INTERFACE_NOT_FOUND:
            return STATUS_INVALID_PARAMETER;
        case USBD_STATUS_NOT_SUPPORTED:
            return STATUS_NOT_SUPPORTED;
        case USBD_STATUS_INSUFFICIENT_RESOURCES:
            return STATUS_INSUFFICIENT_RESOURCES;
        case USBD_STATUS_BUFFER_TOO_SMALL:
            return STATUS_BUFFER_TOO_SMALL;
        case USBD_STATUS_TIMEOUT:
            return STATUS_IO_TIMEOUT;
        default:
            // STALL, halted endpoints, short transfers and the rest.
            return STATUS_UNSUCCESSFUL;
    }
}

}  // namespace vel::usb
