// USB pipe calls: not implemented yet.

#include "ddi.h"

namespace vel::wdf::ddi {

VOID WdfUsbTargetPipeGetInformation(PWDF_DRIVER_GLOBALS, WDFUSBPIPE, PWDF_USB_PIPE_INFORMATION) {}

BOOLEAN WdfUsbTargetPipeIsInEndpoint(PWDF_DRIVER_GLOBALS, WDFUSBPIPE) {
    return FALSE;
}

BOOLEAN WdfUsbTargetPipeIsOutEndpoint(PWDF_DRIVER_GLOBALS, WDFUSBPIPE) {
    return FALSE;
}

WDF_USB_PIPE_TYPE WdfUsbTargetPipeGetType(PWDF_DRIVER_GLOBALS, WDFUSBPIPE) {
    return WdfUsbPipeTypeInvalid;
}

VOID WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(PWDF_DRIVER_GLOBALS, WDFUSBPIPE) {}

NTSTATUS WdfUsbTargetPipeWriteSynchronously(PWDF_DRIVER_GLOBALS, WDFUSBPIPE, WDFREQUEST,
                                            PWDF_REQUEST_SEND_OPTIONS, PWDF_MEMORY_DESCRIPTOR,
                                            PULONG) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetPipeFormatRequestForWrite(PWDF_DRIVER_GLOBALS, WDFUSBPIPE, WDFREQUEST,
                                               WDFMEMORY, PWDFMEMORY_OFFSET) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetPipeReadSynchronously(PWDF_DRIVER_GLOBALS, WDFUSBPIPE, WDFREQUEST,
                                           PWDF_REQUEST_SEND_OPTIONS, PWDF_MEMORY_DESCRIPTOR,
                                           PULONG) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetPipeFormatRequestForRead(PWDF_DRIVER_GLOBALS, WDFUSBPIPE, WDFREQUEST,
                                              WDFMEMORY, PWDFMEMORY_OFFSET) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetPipeConfigContinuousReader(PWDF_DRIVER_GLOBALS, WDFUSBPIPE,
                                                PWDF_USB_CONTINUOUS_READER_CONFIG) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetPipeAbortSynchronously(PWDF_DRIVER_GLOBALS, WDFUSBPIPE, WDFREQUEST,
                                            PWDF_REQUEST_SEND_OPTIONS) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetPipeFormatRequestForAbort(PWDF_DRIVER_GLOBALS, WDFUSBPIPE, WDFREQUEST) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetPipeResetSynchronously(PWDF_DRIVER_GLOBALS, WDFUSBPIPE, WDFREQUEST,
                                            PWDF_REQUEST_SEND_OPTIONS) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetPipeFormatRequestForReset(PWDF_DRIVER_GLOBALS, WDFUSBPIPE, WDFREQUEST) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetPipeSendUrbSynchronously(PWDF_DRIVER_GLOBALS, WDFUSBPIPE, WDFREQUEST,
                                              PWDF_REQUEST_SEND_OPTIONS, PURB) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetPipeFormatRequestForUrb(PWDF_DRIVER_GLOBALS, WDFUSBPIPE, WDFREQUEST, WDFMEMORY,
                                             PWDFMEMORY_OFFSET) {
    return STATUS_NOT_IMPLEMENTED;
}

USBD_PIPE_HANDLE WdfUsbTargetPipeWdmGetPipeHandle(PWDF_DRIVER_GLOBALS, WDFUSBPIPE) {
    return nullptr;
}

}  // namespace vel::wdf::ddi
