#include "vel/devices/descriptor_walk.h"

#include <cstdio>
#include <set>

#include "vel_usb_cdc.h"

namespace vel::dev {
namespace {

// Standard size of each fixed-size descriptor type; 0 for the others.
size_t standardSize(uint8_t type) {
    switch (type) {
        case USB_DEVICE_DESCRIPTOR_TYPE:
            return sizeof(USB_DEVICE_DESCRIPTOR);
        case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        case USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE:
            return sizeof(USB_CONFIGURATION_DESCRIPTOR);
        case USB_INTERFACE_DESCRIPTOR_TYPE:
            return sizeof(USB_INTERFACE_DESCRIPTOR);
        case USB_ENDPOINT_DESCRIPTOR_TYPE:
            return sizeof(USB_ENDPOINT_DESCRIPTOR);
        case USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE:
            return sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR);
        default:
            return 0;
    }
}

std::string format(const char* fmt, auto... args) {
    char text[160];
    std::snprintf(text, sizeof(text), fmt, args...);
    return text;
}

// Compares each counted field with what the walk found.
void checkCounts(std::span<const uint8_t> bytes, DescriptorWalk& walk) {
    const DescriptorInfo* config = nullptr;
    const DescriptorInfo* interface = nullptr;
    size_t endpoints = 0;
    std::set<uint8_t> interfaceNumbers;
    auto closeInterface = [&] {
        if (interface != nullptr && bytes[interface->offset + 4] != endpoints) {
            walk.findings.push_back(
                {interface->offset, format("bNumEndpoints %u but %zu endpoint descriptors follow",
                                           bytes[interface->offset + 4], endpoints)});
        }
        interface = nullptr;
        endpoints = 0;
    };
    for (const DescriptorInfo& d : walk.descriptors) {
        const bool full = d.length >= standardSize(d.type);
        if (d.type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            closeInterface();
            if (full) {
                interface = &d;
                interfaceNumbers.insert(bytes[d.offset + 2]);
            }
        } else if (d.type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            ++endpoints;
        } else if (d.offset == 0 && full &&
                   (d.type == USB_CONFIGURATION_DESCRIPTOR_TYPE ||
                    d.type == USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE)) {
            config = &d;
        }
    }
    closeInterface();
    if (config == nullptr) {
        return;
    }
    const size_t total = bytes[2] | bytes[3] << 8;
    if (total > bytes.size()) {
        walk.findings.push_back(
            {0, format("wTotalLength %zu exceeds the %zu bytes present", total, bytes.size())});
    } else if (total < bytes.size()) {
        walk.findings.push_back(
            {total, format("%zu bytes lie beyond wTotalLength %zu", bytes.size() - total, total)});
    }
    if (bytes[4] != interfaceNumbers.size()) {
        walk.findings.push_back({0, format("bNumInterfaces %u but %zu interfaces are described",
                                           bytes[4], interfaceNumbers.size())});
    }
}

}  // namespace

DescriptorWalk walkDescriptors(std::span<const uint8_t> bytes) {
    DescriptorWalk walk;
    size_t pos = 0;
    while (pos < bytes.size()) {
        const size_t left = bytes.size() - pos;
        if (left < 2) {
            walk.findings.push_back({pos, "1 trailing byte"});
            break;
        }
        const uint8_t length = bytes[pos];
        const uint8_t type = bytes[pos + 1];
        if (length < 2) {
            walk.findings.push_back(
                {pos, format("bLength %u cannot hold the descriptor header; walk stops", length)});
            break;
        }
        if (length > left) {
            walk.findings.push_back(
                {pos, format("%s descriptor of %u bytes runs past the end (%zu left); walk stops",
                             descriptorTypeName(type).c_str(), length, left)});
            break;
        }
        DescriptorInfo info{pos, length, type, std::nullopt};
        if ((type == USB_CDC_CS_INTERFACE || type == USB_CDC_CS_ENDPOINT) && length >= 3) {
            info.subtype = bytes[pos + 2];
        }
        if (length < standardSize(type)) {
            walk.findings.push_back(
                {pos, format("%s descriptor of %u bytes, expected %zu",
                             descriptorTypeName(type).c_str(), length, standardSize(type))});
        }
        walk.descriptors.push_back(info);
        pos += length;
    }
    checkCounts(bytes, walk);
    return walk;
}

std::string descriptorTypeName(uint8_t type) {
    switch (type) {
        case USB_DEVICE_DESCRIPTOR_TYPE:
            return "device";
        case USB_CONFIGURATION_DESCRIPTOR_TYPE:
            return "configuration";
        case USB_STRING_DESCRIPTOR_TYPE:
            return "string";
        case USB_INTERFACE_DESCRIPTOR_TYPE:
            return "interface";
        case USB_ENDPOINT_DESCRIPTOR_TYPE:
            return "endpoint";
        case USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE:
            return "device qualifier";
        case USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE:
            return "other-speed configuration";
        case USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE:
            return "interface association";
        case USB_CDC_CS_INTERFACE:
            return "class-specific interface";
        case USB_CDC_CS_ENDPOINT:
            return "class-specific endpoint";
        default:
            return format("type 0x%02X", type);
    }
}

std::string formatWalk(const DescriptorWalk& walk) {
    std::string out = "offset  len  type\n";
    for (const DescriptorInfo& d : walk.descriptors) {
        out += format("%6zu  %3u  0x%02X %s", d.offset, d.length, d.type,
                      descriptorTypeName(d.type).c_str());
        if (d.subtype) {
            out += format(" (subtype 0x%02X)", *d.subtype);
        }
        out += '\n';
    }
    for (const Finding& f : walk.findings) {
        out += format("! %zu: %s\n", f.offset, f.message.c_str());
    }
    return out;
}

}  // namespace vel::dev
