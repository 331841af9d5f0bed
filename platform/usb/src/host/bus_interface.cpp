// The USBDI bus interface a device's PDO hands out (versions 0 and 1). Its context is the PDO;
// each routine finds the device through it. The interface is returned referenced once; the
// count is kept per device.
#include <cstring>

#include "hub_driver.h"

namespace vel::usb::host {

namespace {

constexpr ULONG kUsbdiVersion = 0x600;
constexpr ULONG kUsbVersion = 0x200;

Device& deviceOf(PVOID context) {
    return deviceOfPdo(static_cast<DEVICE_OBJECT*>(context));
}

VOID interfaceReference(PVOID context) {
    ++deviceOf(context).interfaceReferences;
}

VOID interfaceDereference(PVOID context) {
    --deviceOf(context).interfaceReferences;
}

VOID getUsbdiVersion(PVOID, PUSBD_VERSION_INFORMATION version, PULONG capabilities) {
    if (version != nullptr) {
        version->USBDI_Version = kUsbdiVersion;
        version->Supported_USB_Version = kUsbVersion;
    }
    if (capabilities != nullptr) {
        *capabilities = 0;
    }
}

NTSTATUS queryBusTime(PVOID context, PULONG frame) {
    if (frame == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *frame = busOfPdo(static_cast<DEVICE_OBJECT*>(context)).frameNumber();
    return STATUS_SUCCESS;
}

NTSTATUS submitIsoOutUrb(PVOID, PURB) {
    return STATUS_NOT_SUPPORTED;
}

// Level 0: bandwidth; level 1 adds the controller's name.
NTSTATUS queryBusInformation(PVOID context, ULONG level, PVOID buffer, PULONG bufferLength,
                             PULONG actualLength) {
    if (bufferLength == nullptr || (level != 0 && level != 1)) {
        return STATUS_NOT_SUPPORTED;
    }
    auto* pdo = static_cast<DEVICE_OBJECT*>(context);
    const Device& device = deviceOfPdo(pdo);
    const ULONG bandwidth = device.speed == Speed::High ? 480000 : 12000;  // bits per ms
    std::u16string name = u"\\Device\\USBFDO-";
    for (char c : std::to_string(busOfPdo(pdo).options.busNumber - 1)) {
        name.push_back(static_cast<char16_t>(c));
    }
    const ULONG nameBytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    const ULONG needed =
        level == 0
            ? sizeof(USB_BUS_INFORMATION_LEVEL_0)
            : static_cast<ULONG>(
                  offsetof(USB_BUS_INFORMATION_LEVEL_1, ControllerNameUnicodeString) + nameBytes);
    if (actualLength != nullptr) {
        *actualLength = needed;
    }
    if (buffer == nullptr || *bufferLength < needed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (level == 0) {
        auto* info = static_cast<USB_BUS_INFORMATION_LEVEL_0*>(buffer);
        info->TotalBandwidth = bandwidth;
        info->ConsumedBandwidth = 0;
    } else {
        auto* info = static_cast<USB_BUS_INFORMATION_LEVEL_1*>(buffer);
        info->TotalBandwidth = bandwidth;
        info->ConsumedBandwidth = 0;
        info->ControllerNameLength = nameBytes;
        std::memcpy(info->ControllerNameUnicodeString, name.data(), nameBytes);
    }
    *bufferLength = needed;
    return STATUS_SUCCESS;
}

BOOLEAN isDeviceHighSpeed(PVOID context) {
    return deviceOf(context).speed == Speed::High ? TRUE : FALSE;
}

}  // namespace

NTSTATUS queryUsbdInterface(DEVICE_OBJECT* pdo, const IO_STACK_LOCATION& location) {
    const auto& query = location.Parameters.QueryInterface;
    if (query.Version > USB_BUSIF_USBDI_VERSION_1 || query.Interface == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    const size_t size = query.Version == USB_BUSIF_USBDI_VERSION_0
                            ? sizeof(USB_BUS_INTERFACE_USBDI_V0)
                            : sizeof(USB_BUS_INTERFACE_USBDI_V1);
    if (query.Size < size) {
        return STATUS_INVALID_PARAMETER;
    }
    // V0 is V1 without its last routine.
    USB_BUS_INTERFACE_USBDI_V1 v1{};
    v1.Size = static_cast<USHORT>(size);
    v1.Version = query.Version;
    v1.BusContext = pdo;
    v1.InterfaceReference = interfaceReference;
    v1.InterfaceDereference = interfaceDereference;
    v1.GetUSBDIVersion = getUsbdiVersion;
    v1.QueryBusTime = queryBusTime;
    v1.SubmitIsoOutUrb = submitIsoOutUrb;
    v1.QueryBusInformation = queryBusInformation;
    v1.IsDeviceHighSpeed = isDeviceHighSpeed;
    std::memcpy(query.Interface, &v1, size);
    interfaceReference(pdo);
    return STATUS_SUCCESS;
}

}  // namespace vel::usb::host
