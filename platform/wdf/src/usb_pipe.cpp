#include "usb_pipe.h"

#include "usb_device.h"
#include "usb_interface.h"

namespace vel::wdf {

WDF_USB_PIPE_TYPE toPipeType(USBD_PIPE_TYPE type) {
    switch (type) {
        case UsbdPipeTypeControl:
            return WdfUsbPipeTypeControl;
        case UsbdPipeTypeIsochronous:
            return WdfUsbPipeTypeIsochronous;
        case UsbdPipeTypeBulk:
            return WdfUsbPipeTypeBulk;
        case UsbdPipeTypeInterrupt:
            return WdfUsbPipeTypeInterrupt;
    }
    return WdfUsbPipeTypeInvalid;
}

UsbPipe::UsbPipe(Binding& binding, UsbDevice& usbDevice, UsbInterface& usbInterface,
                 const USBD_PIPE_INFORMATION& info, UCHAR settingIndex)
    : IoTarget(kType, binding, usbDevice.owner(), usbDevice.deviceObject()),
      usbDevice_(usbDevice),
      usbInterface_(usbInterface),
      info_(info),
      settingIndex_(settingIndex) {}

WDF_USB_PIPE_TYPE UsbPipe::pipeType() const {
    return toPipeType(info_.PipeType);
}

void UsbPipe::information(WDF_USB_PIPE_INFORMATION* out) const {
    out->MaximumPacketSize = info_.MaximumPacketSize;
    out->EndpointAddress = info_.EndpointAddress;
    out->Interval = info_.Interval;
    out->SettingIndex = settingIndex_;
    out->PipeType = pipeType();
    out->MaximumTransferSize = info_.MaximumTransferSize;
}

}  // namespace vel::wdf
