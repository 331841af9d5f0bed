// Builds USB descriptors as bytes: device, configuration (with its interfaces, endpoints,
// interface associations and CDC functional descriptors) and raw descriptors for malformed
// cases. A descriptor or configuration that cannot be encoded (longer than its length field
// allows) throws std::length_error: that is a mistake in the model, not in device data.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace vel::dev {

using Bytes = std::vector<uint8_t>;

enum class EndpointType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

struct DeviceFields {
    uint16_t bcdUSB = 0x0200;
    uint8_t deviceClass = 0;
    uint8_t deviceSubClass = 0;
    uint8_t deviceProtocol = 0;
    uint8_t maxPacketSize0 = 64;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0x0100;
    uint8_t manufacturerIndex = 0;
    uint8_t productIndex = 0;
    uint8_t serialNumberIndex = 0;
    uint8_t numConfigurations = 1;
};

Bytes deviceDescriptor(const DeviceFields& fields);

struct InterfaceFields {
    uint8_t number = 0;
    uint8_t alternateSetting = 0;
    uint8_t interfaceClass = 0;
    uint8_t subClass = 0;
    uint8_t protocol = 0;
    uint8_t stringIndex = 0;
    std::optional<uint8_t> numEndpoints = std::nullopt;  // default: the endpoints added behind it
};

struct EndpointFields {
    uint8_t address = 0;  // bit 7 set for IN
    EndpointType type = EndpointType::Bulk;
    uint16_t maxPacketSize = 64;
    uint8_t interval = 0;
};

struct AssociationFields {
    uint8_t firstInterface = 0;
    uint8_t interfaceCount = 0;
    uint8_t functionClass = 0;
    uint8_t functionSubClass = 0;
    uint8_t functionProtocol = 0;
    uint8_t stringIndex = 0;
};

// A GUID as the 16 bytes a functional descriptor carries: text order, so the first three fields
// are big-endian.
using GuidBytes = std::array<uint8_t, 16>;
// Accepts "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", with or without braces.
std::optional<GuidBytes> parseGuid(std::string_view text);

// Descriptors in the order they are added, behind a configuration descriptor whose
// wTotalLength and bNumInterfaces (distinct interface numbers) are computed unless overridden.
class ConfigurationBuilder {
  public:
    ConfigurationBuilder& value(uint8_t configurationValue);  // default 1
    ConfigurationBuilder& stringIndex(uint8_t index);
    ConfigurationBuilder& attributes(uint8_t bmAttributes);  // default 0x80, bus powered
    ConfigurationBuilder& maxPower(uint8_t units2mA);        // default 50 (100 mA)
    ConfigurationBuilder& totalLength(uint16_t wTotalLength);
    ConfigurationBuilder& numInterfaces(uint8_t count);

    ConfigurationBuilder& interface(const InterfaceFields& fields);
    ConfigurationBuilder& endpoint(const EndpointFields& fields);
    ConfigurationBuilder& association(const AssociationFields& fields);

    // CDC functional descriptors (class-specific interface descriptors).
    ConfigurationBuilder& cdcHeader(uint16_t bcdCDC = 0x0120);
    ConfigurationBuilder& cdcCallManagement(uint8_t capabilities, uint8_t dataInterface);
    ConfigurationBuilder& cdcAcm(uint8_t capabilities);
    ConfigurationBuilder& cdcUnion(uint8_t controlInterface, std::span<const uint8_t> subordinates);
    ConfigurationBuilder& cdcMdlm(const GuidBytes& guid, uint16_t bcdVersion = 0x0100);
    ConfigurationBuilder& cdcMdlmDetail(uint8_t guidDescriptorType,
                                        std::span<const uint8_t> detail);

    // A descriptor of any type: bLength and bDescriptorType, then `body`.
    ConfigurationBuilder& descriptor(uint8_t type, std::span<const uint8_t> body);
    // Bytes copied as they are, counted in wTotalLength only.
    ConfigurationBuilder& raw(std::span<const uint8_t> bytes);

    Bytes build() const;

  private:
    enum class Kind { Interface, Endpoint, Other };
    struct Item {
        Kind kind;
        Bytes bytes;
        bool autoEndpoints = false;  // interfaces only
    };
    ConfigurationBuilder& add(Kind kind, Bytes bytes, bool autoEndpoints = false);

    uint8_t value_ = 1;
    uint8_t stringIndex_ = 0;
    uint8_t attributes_ = 0x80;
    uint8_t maxPower_ = 50;
    std::optional<uint16_t> totalLength_;
    std::optional<uint8_t> numInterfaces_;
    std::vector<Item> items_;
};

}  // namespace vel::dev
