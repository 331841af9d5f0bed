// The creation sequence of a USB device target: descriptors, status and bus interface, each asked
// of the stack below, then the interfaces made from the configuration descriptor.
#include <algorithm>
#include <cstring>
#include <map>

#include "device.h"
#include "usb_device.h"
#include "usb_interface.h"
#include "usb_urb.h"
#include "vel/pnp/pnp_manager.h"

namespace vel::wdf {

namespace {

constexpr ULONG kDescriptorTimeoutMs = 5000;
constexpr const char* kCall = "WdfUsbTargetDeviceCreate";

NTSTATUS getDescriptor(PWDF_DRIVER_GLOBALS globals, IoTarget& target, UCHAR type, void* buffer,
                       ULONG length, ULONG* transferred, URB* urbOut = nullptr) {
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0,
                                 buffer, nullptr, length, nullptr);
    const WDF_REQUEST_SEND_OPTIONS options = urbSendOptions(kDescriptorTimeoutMs, false);
    NTSTATUS status = sendUrbSynchronously(globals, target, nullptr, &options, &urb,
                                           WdfUsbRequestTypeDeviceUrb, kCall);
    *transferred = urb.UrbControlDescriptorRequest.TransferBufferLength;
    if (urbOut != nullptr) {
        *urbOut = urb;
    }
    return status;
}

}  // namespace

NTSTATUS UsbDevice::initialize(PWDF_DRIVER_GLOBALS globals) {
    if (NTSTATUS status = readDescriptors(globals); !NT_SUCCESS(status)) {
        return status;
    }
    if (configuration()->bmAttributes & USB_CONFIG_REMOTE_WAKEUP) {
        traits_ |= WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE;
    }
    readStatus(globals);
    if (NTSTATUS status = queryBusInterface(); !NT_SUCCESS(status)) {
        return status;
    }
    return makeInterfaces();
}

NTSTATUS UsbDevice::readDescriptors(PWDF_DRIVER_GLOBALS globals) {
    ULONG transferred = 0;
    URB urb{};
    NTSTATUS status = getDescriptor(globals, *this, USB_DEVICE_DESCRIPTOR_TYPE, &deviceDescriptor_,
                                    sizeof deviceDescriptor_, &transferred, &urb);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The stack names the default pipe in the reserved field; kept for a stack without the bus
    // interface.
    controlPipe_ = urb.UrbControlDescriptorRequest.Reserved;

    USB_CONFIGURATION_DESCRIPTOR header{};
    status = getDescriptor(globals, *this, USB_CONFIGURATION_DESCRIPTOR_TYPE, &header,
                           sizeof header, &transferred);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (transferred == 0 || header.wTotalLength < sizeof header) {
        return STATUS_UNSUCCESSFUL;
    }
    const USHORT total = header.wTotalLength;
    config_.assign(total, 0);
    status = getDescriptor(globals, *this, USB_CONFIGURATION_DESCRIPTOR_TYPE, config_.data(), total,
                           &transferred);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A wTotalLength other than the first read's means the device changed its answer. A device
    // that sends fewer bytes than it promises keeps what it sent: the walk below still refuses a
    // descriptor cut short, and the driver sees the size next to wTotalLength.
    if (transferred < sizeof header || configuration()->wTotalLength != total) {
        return STATUS_DEVICE_DATA_ERROR;
    }
    short_ = transferred < total;
    config_.resize(std::min<size_t>(transferred, total));
    return STATUS_SUCCESS;
}

// A device that does not answer GET_STATUS is taken as bus-powered.
void UsbDevice::readStatus(PWDF_DRIVER_GLOBALS globals) {
    USHORT deviceStatus = 0;
    URB urb{};
    UsbBuildGetStatusRequest(&urb, URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0, &deviceStatus, nullptr,
                             nullptr);
    const WDF_REQUEST_SEND_OPTIONS options = urbSendOptions(kDescriptorTimeoutMs, false);
    if (NT_SUCCESS(sendUrbSynchronously(globals, *this, nullptr, &options, &urb,
                                        WdfUsbRequestTypeDeviceUrb, kCall)) &&
        (deviceStatus & USB_GETSTATUS_SELF_POWERED)) {
        traits_ |= WDF_USB_DEVICE_TRAIT_SELF_POWERED;
    }
}

// Version 1 of the USBDI interface, else version 0. A stack that has neither (not supported)
// leaves the device in legacy mode; any other failure fails the creation.
NTSTATUS UsbDevice::queryBusInterface() {
    pnp::PnpManager* manager = pnp::PnpManager::current();
    if (manager == nullptr) {
        return STATUS_SUCCESS;
    }
    DEVICE_OBJECT* top = owner().wdmDevice();
    NTSTATUS status = manager->queryInterface(
        top, USB_BUS_INTERFACE_USBDI_GUID, sizeof(USB_BUS_INTERFACE_USBDI_V1),
        USB_BUSIF_USBDI_VERSION_1, reinterpret_cast<INTERFACE*>(&busInterface_), nullptr);
    bool v1 = NT_SUCCESS(status);
    if (!v1) {
        busInterface_ = {};
        status = manager->queryInterface(
            top, USB_BUS_INTERFACE_USBDI_GUID, sizeof(USB_BUS_INTERFACE_USBDI_V0),
            USB_BUSIF_USBDI_VERSION_0, reinterpret_cast<INTERFACE*>(&busInterface_), nullptr);
    }
    if (status == STATUS_NOT_SUPPORTED) {
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    hasBusInterface_ = true;
    if (v1 && busInterface_.IsDeviceHighSpeed != nullptr &&
        busInterface_.IsDeviceHighSpeed(busInterface_.BusContext)) {
        traits_ |= WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED;
    }
    if (!v1) {
        busInterface_.IsDeviceHighSpeed = nullptr;
    }
    if (busInterface_.GetUSBDIVersion != nullptr) {
        busInterface_.GetUSBDIVersion(busInterface_.BusContext, &usbdVersion_, &hcdCapabilities_);
    }
    return STATUS_SUCCESS;
}

// One interface object per distinct bInterfaceNumber, in order of first appearance; each
// interface's alternate settings in descriptor order. Any layout whose descriptors lie inside
// wTotalLength is accepted; nothing outside the buffer is read.
NTSTATUS UsbDevice::makeInterfaces() {
    const UCHAR* base = config_.data();
    const size_t total = config_.size();
    std::vector<UCHAR> order;
    std::map<UCHAR, std::vector<UsbInterface::Setting>> settings;
    UsbInterface::Setting* current = nullptr;
    size_t offset = configuration()->bLength;
    while (offset + 2 <= total) {
        const UCHAR length = base[offset];
        const UCHAR type = base[offset + 1];
        if (length < 2 || offset + length > total) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            USB_INTERFACE_DESCRIPTOR d;
            std::memcpy(&d, base + offset, sizeof d);
            auto& list = settings[d.bInterfaceNumber];
            if (list.empty()) {
                order.push_back(d.bInterfaceNumber);
            }
            list.push_back({d, {}});
            current = &list.back();
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && current != nullptr &&
                   length >= sizeof(USB_ENDPOINT_DESCRIPTOR) &&
                   current->endpoints.size() < current->descriptor.bNumEndpoints) {
            USB_ENDPOINT_DESCRIPTOR e;
            std::memcpy(&e, base + offset, sizeof e);
            current->endpoints.push_back(e);
        } else if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            current = nullptr;  // too short to be one; its endpoints belong to nobody
        }
        offset += length;
    }
    declaredNone_ = configuration()->bNumInterfaces == 0 && !order.empty();
    std::vector<UsbInterface*> made;
    for (UCHAR number : order) {
        Object* published = nullptr;
        NTSTATUS status = publish(
            std::make_unique<UsbInterface>(binding(), *this, number, std::move(settings[number])),
            nullptr, this, &published);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        made.push_back(static_cast<UsbInterface*>(published));
    }
    std::lock_guard lock(mutex_);
    interfaces_ = std::move(made);
    return STATUS_SUCCESS;
}

}  // namespace vel::wdf
