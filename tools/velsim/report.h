// What `velsim enumerate` reports: the status of the enumeration and every function velbus
// found, in the order of its walk, as JSON (the shape other tools read) or as text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vel_nt.h"

namespace vel::velsim {

struct FunctionReport {
    uint8_t interface = 0;  // the function's first interface (the "Mi" of its IDs)
    uint8_t cls = 0;
    uint8_t subClass = 0;
    uint8_t protocol = 0;
    uint8_t interfaces = 0;  // bNumInterfaces of the function's configuration descriptor
    bool disabled = false;
    std::string text;  // the child's description text
    std::vector<uint8_t> deviceDescriptor;
    std::vector<uint8_t> configDescriptor;
    std::string deviceId;
    std::vector<std::string> hardwareIds;
    std::vector<std::string> compatibleIds;
    std::string instanceId;
    std::string location;  // the child's location text (text form only)
};

struct EnumerationReport {
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<FunctionReport> functions;
};

// One line: {"status": "STATUS_...", "functions": [{"interface": 0, ...}, ...]}
std::string toJson(const EnumerationReport& report);
std::string toText(const EnumerationReport& report);

// Lower-case hexadecimal digits, two per byte, nothing between.
std::string hexBytes(const std::vector<uint8_t>& bytes);

}  // namespace vel::velsim
