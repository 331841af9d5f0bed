// WDFUSBINTERFACE: one interface of the USB device's configuration, with its alternate settings
// (in descriptor order, numbered 0..N-1) and, once selected, the configured setting and its pipes.
#pragma once

#include <mutex>
#include <vector>

#include "object.h"

namespace vel::wdf {

class UsbDevice;
class UsbPipe;

class UsbInterface : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::UsbInterface;

    struct Setting {
        USB_INTERFACE_DESCRIPTOR descriptor;
        std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;  // the first bNumEndpoints found
    };

    UsbInterface(Binding& binding, UsbDevice& usbDevice, UCHAR number,
                 std::vector<Setting> settings);

    WDFUSBINTERFACE interfaceHandle() const { return static_cast<WDFUSBINTERFACE>(handle()); }
    UsbDevice& usbDevice() const { return usbDevice_; }
    UCHAR number() const { return number_; }
    UCHAR numSettings() const { return static_cast<UCHAR>(settings_.size()); }
    // nullptr when out of range.
    const Setting* setting(UCHAR index) const;
    // The index of the setting with bAlternateSetting `alternate`, or -1.
    int settingIndexOf(UCHAR alternate) const;
    // Endpoint information as the framework gives it for a setting's endpoint.
    bool endpointInformation(UCHAR settingIndex, UCHAR endpointIndex,
                             WDF_USB_PIPE_INFORMATION* out) const;

    // ----- Selection ---------------------------------------------------------------------------
    bool configured() const;
    UCHAR configuredSetting() const;
    USBD_INTERFACE_HANDLE wdmHandle() const;
    size_t numConfiguredPipes() const;
    UsbPipe* configuredPipe(size_t index) const;
    std::vector<UsbPipe*> pipes() const;
    // Makes `pipes` (published, started) the configured ones for `settingIndex` and returns the
    // ones they replace, for the caller to delete.
    std::vector<UsbPipe*> install(UCHAR settingIndex, USBD_INTERFACE_HANDLE handle,
                                  std::vector<UsbPipe*> pipes);
    // Forgets the selection (deconfigure, teardown) and returns the pipes to delete.
    std::vector<UsbPipe*> uninstall();

  private:
    UsbDevice& usbDevice_;
    const UCHAR number_;
    const std::vector<Setting> settings_;

    mutable std::mutex mutex_;
    bool configured_ = false;
    UCHAR configuredSetting_ = 0;
    USBD_INTERFACE_HANDLE handle_ = nullptr;
    std::vector<UsbPipe*> pipes_;
};

}  // namespace vel::wdf
