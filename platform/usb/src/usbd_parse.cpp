// USBD_ParseDescriptors and USBD_ParseConfigurationDescriptorEx. Both walk untrusted device
// data, so every read is checked against the end of the buffer before it is made.
#include <cstdint>

#include "vel_usb.h"

namespace {

// The first descriptor of `type` in [start, end), or nullptr at the end or at a descriptor
// whose bLength cannot hold its header or runs past `end`.
const UCHAR* findDescriptor(const UCHAR* start, const UCHAR* end, LONG type) {
    const UCHAR* pos = start;
    while (end - pos >= static_cast<std::ptrdiff_t>(sizeof(USB_COMMON_DESCRIPTOR))) {
        const UCHAR length = pos[0];
        if (length < sizeof(USB_COMMON_DESCRIPTOR) || length > end - pos) {
            return nullptr;
        }
        if (pos[1] == type) {
            return pos;
        }
        pos += length;
    }
    return nullptr;
}

bool matches(LONG wanted, UCHAR actual) {
    return wanted == -1 || wanted == actual;
}

}  // namespace

extern "C" {

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                             PVOID StartPosition, LONG DescriptorType) {
    const auto* begin = static_cast<const UCHAR*>(DescriptorBuffer);
    const auto* start = static_cast<const UCHAR*>(StartPosition);
    if (begin == nullptr || start == nullptr) {
        return nullptr;
    }
    // Compare as addresses: a start outside the buffer finds nothing.
    const auto b = reinterpret_cast<uintptr_t>(begin);
    const auto s = reinterpret_cast<uintptr_t>(start);
    if (s < b || s - b >= TotalLength) {
        return nullptr;
    }
    const UCHAR* found = findDescriptor(start, begin + TotalLength, DescriptorType);
    return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<UCHAR*>(found));
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    if (ConfigurationDescriptor == nullptr) {
        return nullptr;
    }
    const ULONG total = ConfigurationDescriptor->wTotalLength;
    PVOID position = StartPosition;
    for (;;) {
        auto* common = USBD_ParseDescriptors(ConfigurationDescriptor, total, position,
                                             USB_INTERFACE_DESCRIPTOR_TYPE);
        if (common == nullptr) {
            return nullptr;
        }
        auto* candidate = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(common);
        if (common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            matches(InterfaceNumber, candidate->bInterfaceNumber) &&
            matches(AlternateSetting, candidate->bAlternateSetting) &&
            matches(InterfaceClass, candidate->bInterfaceClass) &&
            matches(InterfaceSubClass, candidate->bInterfaceSubClass) &&
            matches(InterfaceProtocol, candidate->bInterfaceProtocol)) {
            return candidate;
        }
        position = reinterpret_cast<PUCHAR>(common) + common->bLength;
    }
}

}  // extern "C"
