#include "vel/devices/descriptor_builder.h"

#include <set>
#include <stdexcept>
#include <string>

#include "vel_usb_cdc.h"

namespace vel::dev {
namespace {

void put16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

// bLength and bDescriptorType in front of `body`.
Bytes withHeader(uint8_t type, std::span<const uint8_t> body) {
    const size_t length = 2 + body.size();
    if (length > 0xFF) {
        throw std::length_error("descriptor of type " + std::to_string(type) + " would be " +
                                std::to_string(length) + " bytes long");
    }
    Bytes out{static_cast<uint8_t>(length), type};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

Bytes deviceDescriptor(const DeviceFields& f) {
    Bytes body;
    put16(body, f.bcdUSB);
    body.insert(body.end(), {f.deviceClass, f.deviceSubClass, f.deviceProtocol, f.maxPacketSize0});
    put16(body, f.vendorId);
    put16(body, f.productId);
    put16(body, f.bcdDevice);
    body.insert(body.end(),
                {f.manufacturerIndex, f.productIndex, f.serialNumberIndex, f.numConfigurations});
    return withHeader(USB_DEVICE_DESCRIPTOR_TYPE, body);
}

std::optional<GuidBytes> parseGuid(std::string_view text) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
        text = text.substr(1, 36);
    }
    if (text.size() != 36) {
        return std::nullopt;
    }
    GuidBytes out{};
    size_t n = 0;
    for (size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') {
                return std::nullopt;
            }
            ++i;
            continue;
        }
        const int high = hexValue(text[i]);
        const int low = hexValue(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out[n++] = static_cast<uint8_t>(high << 4 | low);
        i += 2;
    }
    return out;
}

ConfigurationBuilder& ConfigurationBuilder::value(uint8_t configurationValue) {
    value_ = configurationValue;
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::stringIndex(uint8_t index) {
    stringIndex_ = index;
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::attributes(uint8_t bmAttributes) {
    attributes_ = bmAttributes;
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::maxPower(uint8_t units2mA) {
    maxPower_ = units2mA;
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::totalLength(uint16_t wTotalLength) {
    totalLength_ = wTotalLength;
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::numInterfaces(uint8_t count) {
    numInterfaces_ = count;
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::add(Kind kind, Bytes bytes, bool autoEndpoints) {
    items_.push_back({kind, std::move(bytes), autoEndpoints});
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::interface(const InterfaceFields& f) {
    const uint8_t body[] = {f.number,         f.alternateSetting, f.numEndpoints.value_or(0),
                            f.interfaceClass, f.subClass,         f.protocol,
                            f.stringIndex};
    return add(Kind::Interface, withHeader(USB_INTERFACE_DESCRIPTOR_TYPE, body),
               !f.numEndpoints.has_value());
}

ConfigurationBuilder& ConfigurationBuilder::endpoint(const EndpointFields& f) {
    Bytes body{f.address, static_cast<uint8_t>(f.type)};
    put16(body, f.maxPacketSize);
    body.push_back(f.interval);
    return add(Kind::Endpoint, withHeader(USB_ENDPOINT_DESCRIPTOR_TYPE, body));
}

ConfigurationBuilder& ConfigurationBuilder::association(const AssociationFields& f) {
    const uint8_t body[] = {f.firstInterface,   f.interfaceCount,   f.functionClass,
                            f.functionSubClass, f.functionProtocol, f.stringIndex};
    return add(Kind::Other, withHeader(USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE, body));
}

ConfigurationBuilder& ConfigurationBuilder::cdcHeader(uint16_t bcdCDC) {
    Bytes body{USB_CDC_SUBTYPE_HEADER};
    put16(body, bcdCDC);
    return descriptor(USB_CDC_CS_INTERFACE, body);
}

ConfigurationBuilder& ConfigurationBuilder::cdcCallManagement(uint8_t capabilities,
                                                              uint8_t dataInterface) {
    const uint8_t body[] = {USB_CDC_SUBTYPE_CALL_MANAGEMENT, capabilities, dataInterface};
    return descriptor(USB_CDC_CS_INTERFACE, body);
}

ConfigurationBuilder& ConfigurationBuilder::cdcAcm(uint8_t capabilities) {
    const uint8_t body[] = {USB_CDC_SUBTYPE_ACM, capabilities};
    return descriptor(USB_CDC_CS_INTERFACE, body);
}

ConfigurationBuilder& ConfigurationBuilder::cdcUnion(uint8_t controlInterface,
                                                     std::span<const uint8_t> subordinates) {
    Bytes body{USB_CDC_SUBTYPE_UNION, controlInterface};
    body.insert(body.end(), subordinates.begin(), subordinates.end());
    return descriptor(USB_CDC_CS_INTERFACE, body);
}

ConfigurationBuilder& ConfigurationBuilder::cdcMdlm(const GuidBytes& guid, uint16_t bcdVersion) {
    Bytes body{USB_CDC_SUBTYPE_MDLM};
    put16(body, bcdVersion);
    body.insert(body.end(), guid.begin(), guid.end());
    return descriptor(USB_CDC_CS_INTERFACE, body);
}

ConfigurationBuilder& ConfigurationBuilder::cdcMdlmDetail(uint8_t guidDescriptorType,
                                                          std::span<const uint8_t> detail) {
    Bytes body{USB_CDC_SUBTYPE_MDLM_DETAIL, guidDescriptorType};
    body.insert(body.end(), detail.begin(), detail.end());
    return descriptor(USB_CDC_CS_INTERFACE, body);
}

ConfigurationBuilder& ConfigurationBuilder::descriptor(uint8_t type,
                                                       std::span<const uint8_t> body) {
    return add(Kind::Other, withHeader(type, body));
}

ConfigurationBuilder& ConfigurationBuilder::raw(std::span<const uint8_t> bytes) {
    return add(Kind::Other, Bytes(bytes.begin(), bytes.end()));
}

Bytes ConfigurationBuilder::build() const {
    constexpr size_t kHeader = sizeof(USB_CONFIGURATION_DESCRIPTOR);
    std::set<uint8_t> interfaceNumbers;
    Bytes out(kHeader);
    size_t currentInterface = 0;  // offset of the interface collecting endpoints; 0 = none
    for (const Item& item : items_) {
        const size_t offset = out.size();
        out.insert(out.end(), item.bytes.begin(), item.bytes.end());
        if (item.kind == Kind::Interface) {
            interfaceNumbers.insert(item.bytes[2]);
            currentInterface = item.autoEndpoints ? offset : 0;
        } else if (item.kind == Kind::Endpoint && currentInterface != 0) {
            ++out[currentInterface + 4];  // bNumEndpoints
        }
    }
    if (out.size() > 0xFFFF) {
        throw std::length_error("configuration would be " + std::to_string(out.size()) +
                                " bytes long");
    }
    const uint16_t total = totalLength_.value_or(static_cast<uint16_t>(out.size()));
    out[0] = kHeader;
    out[1] = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    out[2] = static_cast<uint8_t>(total);
    out[3] = static_cast<uint8_t>(total >> 8);
    out[4] = numInterfaces_.value_or(static_cast<uint8_t>(interfaceNumbers.size()));
    out[5] = value_;
    out[6] = stringIndex_;
    out[7] = attributes_;
    out[8] = maxPower_;
    return out;
}

}  // namespace vel::dev
