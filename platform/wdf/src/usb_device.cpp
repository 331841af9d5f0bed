#include "usb_device.h"

#include "device.h"
#include "usb_interface.h"
#include "usb_pipe.h"

namespace vel::wdf {

UsbDevice::UsbDevice(Binding& binding, Device& owner)
    : IoTarget(kType, binding, owner, owner.lowerDevice()) {
    setDeletable(true);
}

UsbInterface* UsbDevice::interfaceByNumber(UCHAR number) const {
    for (UsbInterface* i : interfaces_) {
        if (i->number() == number) {
            return i;
        }
    }
    return nullptr;
}

USBD_CONFIGURATION_HANDLE UsbDevice::configurationHandle() const {
    std::lock_guard lock(mutex_);
    return configHandle_;
}

void UsbDevice::setConfigurationHandle(USBD_CONFIGURATION_HANDLE handle) {
    std::lock_guard lock(mutex_);
    configHandle_ = handle;
}

std::vector<UsbPipe*> UsbDevice::configuredPipes() const {
    std::vector<UsbInterface*> interfaces;
    {
        std::lock_guard lock(mutex_);
        interfaces = interfaces_;
    }
    std::vector<UsbPipe*> all;
    for (UsbInterface* i : interfaces) {
        for (UsbPipe* pipe : i->pipes()) {
            all.push_back(pipe);
        }
    }
    return all;
}

NTSTATUS UsbDevice::start() {
    NTSTATUS status = IoTarget::start();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (UsbPipe* pipe : configuredPipes()) {
        if (NTSTATUS s = pipe->start(); !NT_SUCCESS(s)) {
            status = s;
        }
    }
    return status;
}

void UsbDevice::stop(WDF_IO_TARGET_SENT_IO_ACTION action) {
    for (UsbPipe* pipe : configuredPipes()) {
        pipe->stop(action);
    }
    IoTarget::stop(action);
}

void UsbDevice::onDispose() {
    // Interfaces and pipes are children and went first: forget them before the target stops.
    {
        std::lock_guard lock(mutex_);
        interfaces_.clear();
    }
    if (hasBusInterface_ && busInterface_.InterfaceDereference != nullptr) {
        busInterface_.InterfaceDereference(busInterface_.BusContext);
        hasBusInterface_ = false;
    }
    IoTarget::onDispose();
}

}  // namespace vel::wdf
