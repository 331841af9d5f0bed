// USB device and interface calls.

#include "ddi.h"

namespace vel::wdf::ddi {

NTSTATUS WdfUsbTargetDeviceCreate(PWDF_DRIVER_GLOBALS, WDFDEVICE, PWDF_OBJECT_ATTRIBUTES,
                                  WDFUSBDEVICE*) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetDeviceRetrieveInformation(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE,
                                               PWDF_USB_DEVICE_INFORMATION) {
    return STATUS_NOT_IMPLEMENTED;
}

VOID WdfUsbTargetDeviceGetDeviceDescriptor(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE,
                                           PUSB_DEVICE_DESCRIPTOR) {}

NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE, PVOID,
                                                    PUSHORT) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetDeviceQueryString(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE, WDFREQUEST,
                                       PWDF_REQUEST_SEND_OPTIONS, PUSHORT, PUSHORT, UCHAR, USHORT) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetDeviceAllocAndQueryString(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE,
                                               PWDF_OBJECT_ATTRIBUTES, WDFMEMORY*, PUSHORT, UCHAR,
                                               USHORT) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetDeviceFormatRequestForString(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE, WDFREQUEST,
                                                  WDFMEMORY, PWDFMEMORY_OFFSET, UCHAR, USHORT) {
    return STATUS_NOT_IMPLEMENTED;
}

UCHAR WdfUsbTargetDeviceGetNumInterfaces(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE) {
    return 0;
}

NTSTATUS WdfUsbTargetDeviceSelectConfig(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE, PWDF_OBJECT_ATTRIBUTES,
                                        PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS) {
    return STATUS_NOT_IMPLEMENTED;
}

USBD_CONFIGURATION_HANDLE WdfUsbTargetDeviceWdmGetConfigurationHandle(PWDF_DRIVER_GLOBALS,
                                                                      WDFUSBDEVICE) {
    return nullptr;
}

NTSTATUS WdfUsbTargetDeviceRetrieveCurrentFrameNumber(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE, PULONG) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE,
                                                            WDFREQUEST, PWDF_REQUEST_SEND_OPTIONS,
                                                            PWDF_USB_CONTROL_SETUP_PACKET,
                                                            PWDF_MEMORY_DESCRIPTOR, PULONG) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetDeviceFormatRequestForControlTransfer(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE,
                                                           WDFREQUEST,
                                                           PWDF_USB_CONTROL_SETUP_PACKET, WDFMEMORY,
                                                           PWDFMEMORY_OFFSET) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetDeviceIsConnectedSynchronous(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetDeviceResetPortSynchronously(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetDeviceCyclePortSynchronously(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetDeviceFormatRequestForCyclePort(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE,
                                                     WDFREQUEST) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetDeviceSendUrbSynchronously(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE, WDFREQUEST,
                                                PWDF_REQUEST_SEND_OPTIONS, PURB) {
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS WdfUsbTargetDeviceFormatRequestForUrb(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE, WDFREQUEST,
                                               WDFMEMORY, PWDFMEMORY_OFFSET) {
    return STATUS_NOT_IMPLEMENTED;
}

UCHAR WdfUsbInterfaceGetInterfaceNumber(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE) {
    return 0;
}

UCHAR WdfUsbInterfaceGetNumEndpoints(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE, UCHAR) {
    return 0;
}

VOID WdfUsbInterfaceGetDescriptor(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE, UCHAR,
                                  PUSB_INTERFACE_DESCRIPTOR) {}

NTSTATUS WdfUsbInterfaceSelectSetting(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE, PWDF_OBJECT_ATTRIBUTES,
                                      PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS) {
    return STATUS_NOT_IMPLEMENTED;
}

VOID WdfUsbInterfaceGetEndpointInformation(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE, UCHAR, UCHAR,
                                           PWDF_USB_PIPE_INFORMATION) {}

WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE, UCHAR) {
    return nullptr;
}

UCHAR WdfUsbInterfaceGetConfiguredSettingIndex(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE) {
    return 0;
}

UCHAR WdfUsbInterfaceGetNumConfiguredPipes(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE) {
    return 0;
}

WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE, UCHAR,
                                            PWDF_USB_PIPE_INFORMATION) {
    return nullptr;
}

UCHAR WdfUsbInterfaceGetNumSettings(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE) {
    return 0;
}

}  // namespace vel::wdf::ddi
