#include "descriptors.h"

#include <cstdio>
#include <cstring>

namespace vel::usb::host {

namespace {

// Calls `visit(offset, length, type)` for each descriptor that lies wholly inside `bytes`;
// stops at a descriptor shorter than its header or running past the end, or when `visit`
// returns false.
template <typename Visit>
void walk(const Bytes& bytes, Visit visit) {
    size_t at = 0;
    while (at + 2 <= bytes.size()) {
        const uint8_t length = bytes[at];
        if (length < 2 || at + length > bytes.size()) {
            return;
        }
        if (!visit(at, length, bytes[at + 1])) {
            return;
        }
        at += length;
    }
}

std::string hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

uint16_t le16(const Bytes& b, size_t at) {
    return at + 1 < b.size() ? static_cast<uint16_t>(b[at] | b[at + 1] << 8) : 0;
}

// The text of a string descriptor (UTF-16LE, BMP only), or nullopt.
std::optional<std::u16string> stringOf(const DeviceModel& model, uint8_t index, uint16_t language) {
    if (index == 0) {
        return std::nullopt;
    }
    const std::optional<Bytes> d = model.stringDescriptor(index, language);
    if (!d || d->size() < 2 || (*d)[1] != USB_STRING_DESCRIPTOR_TYPE) {
        return std::nullopt;
    }
    const size_t length = std::min<size_t>((*d)[0], d->size());
    std::u16string text;
    for (size_t i = 2; i + 1 < length; i += 2) {
        text.push_back(static_cast<char16_t>(le16(*d, i)));
    }
    return text;
}

std::string utf8(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | c >> 6));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | c >> 12));
            out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// A serial number usable as an instance ID: printable ASCII without commas.
bool validSerial(const std::u16string& serial) {
    if (serial.empty()) {
        return false;
    }
    for (char16_t c : serial) {
        if (c < 0x20 || c > 0x7F || c == u',') {
            return false;
        }
    }
    return true;
}

void classIds(std::vector<std::string>& ids, const char* prefix, uint8_t cls, uint8_t sub,
              uint8_t protocol) {
    const std::string c = std::string("USB\\") + prefix + "_" + hex(cls, 2);
    ids.push_back(c + "&SubClass_" + hex(sub, 2) + "&Prot_" + hex(protocol, 2));
    ids.push_back(c + "&SubClass_" + hex(sub, 2));
    ids.push_back(c);
}

}  // namespace

size_t interfaceInformationSize(size_t pipes) {
    return offsetof(USBD_INTERFACE_INFORMATION, Pipes) + pipes * sizeof(USBD_PIPE_INFORMATION);
}

std::optional<InterfacePlan> planInterface(const Bytes& configuration, uint8_t number,
                                           uint8_t alternate) {
    std::optional<InterfacePlan> plan;
    size_t wanted = 0;
    walk(configuration, [&](size_t at, uint8_t length, uint8_t type) {
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            if (plan) {
                return false;  // the next interface: the setting's endpoints are all seen
            }
            USB_INTERFACE_DESCRIPTOR d;
            std::memcpy(&d, &configuration[at], sizeof d);
            if (d.bInterfaceNumber == number && d.bAlternateSetting == alternate) {
                plan.emplace();
                plan->number = number;
                plan->alternate = alternate;
                plan->cls = d.bInterfaceClass;
                plan->subClass = d.bInterfaceSubClass;
                plan->protocol = d.bInterfaceProtocol;
                wanted = d.bNumEndpoints;
            }
        } else if (plan && type == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                   length >= sizeof(USB_ENDPOINT_DESCRIPTOR) && plan->endpoints.size() < wanted) {
            USB_ENDPOINT_DESCRIPTOR d;
            std::memcpy(&d, &configuration[at], sizeof d);
            plan->endpoints.push_back(d);
        }
        return true;
    });
    return plan;
}

Identity identify(const DeviceModel& model, unsigned port, uint16_t busNumber) {
    Bytes device = model.deviceDescriptor();
    device.resize(std::max<size_t>(device.size(), sizeof(USB_DEVICE_DESCRIPTOR)), 0);
    USB_DEVICE_DESCRIPTOR d;
    std::memcpy(&d, device.data(), sizeof d);

    Identity id;
    const std::string vidPid = "USB\\VID_" + hex(d.idVendor, 4) + "&PID_" + hex(d.idProduct, 4);
    id.deviceId = vidPid;
    id.hardwareIds = {vidPid + "&REV_" + hex(d.bcdDevice, 4), vidPid};

    // The first configuration's interface count and first interface.
    const Bytes configuration = model.configurationDescriptor(0);
    const uint8_t interfaces = configuration.size() >= 9 ? configuration[4] : 0;
    std::optional<USB_INTERFACE_DESCRIPTOR> first;
    walk(configuration, [&](size_t at, uint8_t length, uint8_t type) {
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            first.emplace();
            std::memcpy(&*first, &configuration[at], sizeof *first);
            return false;
        }
        return true;
    });
    const bool associationTriple = d.bDeviceClass == USB_DEVICE_CLASS_MISCELLANEOUS &&
                                   d.bDeviceSubClass == 0x02 && d.bDeviceProtocol == 0x01;
    if ((d.bDeviceClass == 0 || associationTriple) && interfaces > 1) {
        classIds(id.compatibleIds, "DevClass", d.bDeviceClass, d.bDeviceSubClass,
                 d.bDeviceProtocol);
        id.compatibleIds.push_back("USB\\COMPOSITE");
    } else if (d.bDeviceClass == 0 && first) {
        classIds(id.compatibleIds, "Class", first->bInterfaceClass, first->bInterfaceSubClass,
                 first->bInterfaceProtocol);
    } else {
        classIds(id.compatibleIds, "Class", d.bDeviceClass, d.bDeviceSubClass, d.bDeviceProtocol);
    }

    // Strings in the device's first language (US English when it lists none).
    uint16_t language = 0x0409;
    if (const std::optional<Bytes> languages = model.stringDescriptor(0, 0);
        languages && languages->size() >= 4) {
        language = le16(*languages, 2);
    }
    const std::optional<std::u16string> serial = stringOf(model, d.iSerialNumber, language);
    if (serial && validSerial(*serial)) {
        id.instanceId = utf8(*serial);
        id.uniqueId = true;
    } else {
        id.instanceId = "5&" + hex(busNumber, 8) + "&0&" + std::to_string(port);
    }
    const std::optional<std::u16string> product = stringOf(model, d.iProduct, language);
    id.description = product && !product->empty() ? utf8(*product) : "USB Device";
    char location[40];
    std::snprintf(location, sizeof location, "Port_#%04u.Hub_#%04u", port, busNumber);
    id.location = location;
    return id;
}

}  // namespace vel::usb::host
