// WDFUSBDEVICE: the USB device under a function driver, an I/O target on the device's lower
// device. Creation reads the device and configuration descriptors, the device status and the
// bus interface through URBs down the stack; the interfaces are made from the configuration.
// Starting or stopping the target starts or stops every configured pipe.
#pragma once

#include <mutex>
#include <vector>

#include "io_target.h"

namespace vel::wdf {

class UsbInterface;
class UsbPipe;

class UsbDevice : public IoTarget {
  public:
    static constexpr ObjectType kType = ObjectType::UsbDevice;

    UsbDevice(Binding& binding, Device& owner);

    WDFUSBDEVICE usbHandle() const { return static_cast<WDFUSBDEVICE>(handle()); }

    // The creation sequence, run once the object is published (its requests need a handle).
    NTSTATUS initialize(PWDF_DRIVER_GLOBALS globals);

    const USB_DEVICE_DESCRIPTOR& deviceDescriptor() const { return deviceDescriptor_; }
    const std::vector<UCHAR>& configDescriptor() const { return config_; }
    PUSB_CONFIGURATION_DESCRIPTOR configuration() {
        return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config_.data());
    }
    ULONG traits() const { return traits_; }
    const USBD_VERSION_INFORMATION& usbdVersion() const { return usbdVersion_; }
    ULONG hcdCapabilities() const { return hcdCapabilities_; }
    bool atHighSpeed() const { return (traits_ & WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED) != 0; }
    // The bus interface, when the stack gave one (nullptr in legacy mode).
    const USB_BUS_INTERFACE_USBDI_V1* busInterface() const {
        return hasBusInterface_ ? &busInterface_ : nullptr;
    }
    // The pipe handle control transfers name: none (the default pipe flag) unless legacy.
    USBD_PIPE_HANDLE controlPipeHandle() const { return hasBusInterface_ ? nullptr : controlPipe_; }

    const std::vector<UsbInterface*>& interfaces() const { return interfaces_; }
    // The interface object with that bInterfaceNumber, or nullptr.
    UsbInterface* interfaceByNumber(UCHAR number) const;
    // Interfaces declared by bNumInterfaces but none found in the descriptor: select-config
    // then fails.
    bool declaredNoInterfaces() const { return declaredNone_; }
    // The device sent fewer bytes of its configuration than wTotalLength: it can be read but
    // not selected.
    bool configurationShort() const { return short_; }

    USBD_CONFIGURATION_HANDLE configurationHandle() const;
    void setConfigurationHandle(USBD_CONFIGURATION_HANDLE handle);

    // Every configured pipe of every interface.
    std::vector<UsbPipe*> configuredPipes() const;

    NTSTATUS start() override;
    void stop(WDF_IO_TARGET_SENT_IO_ACTION action) override;

  protected:
    void onDispose() override;

  private:
    NTSTATUS readDescriptors(PWDF_DRIVER_GLOBALS globals);
    void readStatus(PWDF_DRIVER_GLOBALS globals);
    NTSTATUS queryBusInterface();
    NTSTATUS makeInterfaces();

    USB_DEVICE_DESCRIPTOR deviceDescriptor_{};
    std::vector<UCHAR> config_;
    ULONG traits_ = 0;
    USBD_VERSION_INFORMATION usbdVersion_{};
    ULONG hcdCapabilities_ = 0;
    USB_BUS_INTERFACE_USBDI_V1 busInterface_{};
    bool hasBusInterface_ = false;
    USBD_PIPE_HANDLE controlPipe_ = nullptr;
    std::vector<UsbInterface*> interfaces_;  // children, index order as found
    bool declaredNone_ = false;
    bool short_ = false;

    mutable std::mutex mutex_;
    USBD_CONFIGURATION_HANDLE configHandle_ = nullptr;
};

}  // namespace vel::wdf
