#include "usb_interface.h"

#include <utility>

#include "usb_device.h"
#include "usb_pipe.h"

namespace vel::wdf {

UsbInterface::UsbInterface(Binding& binding, UsbDevice& usbDevice, UCHAR number,
                           std::vector<Setting> settings)
    : Object(kType, binding),
      usbDevice_(usbDevice),
      number_(number),
      settings_(std::move(settings)) {
    setDeletable(false);
}

const UsbInterface::Setting* UsbInterface::setting(UCHAR index) const {
    return index < settings_.size() ? &settings_[index] : nullptr;
}

int UsbInterface::settingIndexOf(UCHAR alternate) const {
    for (size_t i = 0; i < settings_.size(); ++i) {
        if (settings_[i].descriptor.bAlternateSetting == alternate) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool UsbInterface::endpointInformation(UCHAR settingIndex, UCHAR endpointIndex,
                                       WDF_USB_PIPE_INFORMATION* out) const {
    const Setting* s = setting(settingIndex);
    if (s == nullptr || endpointIndex >= s->endpoints.size()) {
        return false;
    }
    const USB_ENDPOINT_DESCRIPTOR& e = s->endpoints[endpointIndex];
    out->MaximumPacketSize = e.wMaxPacketSize & 0x7FF;
    out->EndpointAddress = e.bEndpointAddress;
    out->Interval = e.bInterval;
    out->SettingIndex = settingIndex;
    out->PipeType =
        toPipeType(static_cast<USBD_PIPE_TYPE>(e.bmAttributes & USB_ENDPOINT_TYPE_MASK));
    out->MaximumTransferSize = out->PipeType == WdfUsbPipeTypeControl ? 4096
                               : usbDevice_.atHighSpeed()             ? 2 * 1024 * 1024
                                                                      : 256 * 1024;
    return true;
}

bool UsbInterface::configured() const {
    std::lock_guard lock(mutex_);
    return configured_;
}

UCHAR UsbInterface::configuredSetting() const {
    std::lock_guard lock(mutex_);
    return configuredSetting_;
}

USBD_INTERFACE_HANDLE UsbInterface::wdmHandle() const {
    std::lock_guard lock(mutex_);
    return handle_;
}

size_t UsbInterface::numConfiguredPipes() const {
    std::lock_guard lock(mutex_);
    return pipes_.size();
}

UsbPipe* UsbInterface::configuredPipe(size_t index) const {
    std::lock_guard lock(mutex_);
    return index < pipes_.size() ? pipes_[index] : nullptr;
}

std::vector<UsbPipe*> UsbInterface::pipes() const {
    std::lock_guard lock(mutex_);
    return pipes_;
}

std::vector<UsbPipe*> UsbInterface::install(UCHAR settingIndex, USBD_INTERFACE_HANDLE handle,
                                            std::vector<UsbPipe*> pipes) {
    std::lock_guard lock(mutex_);
    configured_ = true;
    configuredSetting_ = settingIndex;
    handle_ = handle;
    pipes_.swap(pipes);
    return pipes;
}

std::vector<UsbPipe*> UsbInterface::uninstall() {
    std::lock_guard lock(mutex_);
    configured_ = false;
    configuredSetting_ = 0;
    handle_ = nullptr;
    return std::exchange(pipes_, {});
}

}  // namespace vel::wdf
