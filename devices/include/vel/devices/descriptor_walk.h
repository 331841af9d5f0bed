// Splits descriptor bytes (usually a configuration) into its descriptors, for printing and for
// checking a model. Malformed input is reported as findings; the walk never reads past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vel::dev {

struct DescriptorInfo {
    std::size_t offset = 0;
    uint8_t length = 0;
    uint8_t type = 0;
    std::optional<uint8_t> subtype;  // class-specific descriptors of three bytes or more
};

struct Finding {
    std::size_t offset = 0;
    std::string message;
};

struct DescriptorWalk {
    std::vector<DescriptorInfo> descriptors;
    std::vector<Finding> findings;
};

// Walks every descriptor of `bytes`. The walk stops at a bLength below 2 or one that runs past
// the end. It also reports descriptors shorter than their standard size, a configuration whose
// wTotalLength or bNumInterfaces disagree with what follows, and an interface whose
// bNumEndpoints disagrees with the endpoint descriptors behind it.
DescriptorWalk walkDescriptors(std::span<const uint8_t> bytes);

// "interface", "endpoint", "class-specific interface", ... or "type 0xNN".
std::string descriptorTypeName(uint8_t type);

// One line per descriptor ("offset length type name"), then one "! offset: message" line per
// finding.
std::string formatWalk(const DescriptorWalk& walk);

}  // namespace vel::dev
