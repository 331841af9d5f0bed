#include "report.h"

#include <cstdio>

#include "vel/kernel/status.h"

namespace vel::velsim {

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    out += escape;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string list(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        out += (i == 0 ? "" : ", ") + quoted(items[i]);
    }
    return out + "]";
}

std::string field(const char* name, const std::string& value, bool first = false) {
    return std::string(first ? "" : ", ") + "\"" + name + "\": " + value;
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items) {
        out += (out.empty() ? "" : ", ") + item;
    }
    return out.empty() ? "-" : out;
}

std::string hex2(unsigned value) {
    char text[4];
    std::snprintf(text, sizeof text, "%02x", value & 0xFF);
    return text;
}

}  // namespace

std::string hexBytes(const std::vector<uint8_t>& bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const uint8_t b : bytes) {
        out += hex2(b);
    }
    return out;
}

std::string toJson(const EnumerationReport& report) {
    std::string out = "{" + field("status", quoted(kernel::statusName(report.status)), true) +
                      ", \"functions\": [";
    for (size_t i = 0; i < report.functions.size(); ++i) {
        const FunctionReport& f = report.functions[i];
        out += i == 0 ? "{" : ", {";
        out += field("interface", std::to_string(f.interface), true);
        out += field("class", std::to_string(f.cls));
        out += field("subclass", std::to_string(f.subClass));
        out += field("protocol", std::to_string(f.protocol));
        out += field("interfaces", std::to_string(f.interfaces));
        out += field("disabled", f.disabled ? "true" : "false");
        out += field("text", quoted(f.text));
        out += field("device_descriptor", quoted(hexBytes(f.deviceDescriptor)));
        out += field("config_descriptor", quoted(hexBytes(f.configDescriptor)));
        out += field("device_id", quoted(f.deviceId));
        out += field("hardware_ids", list(f.hardwareIds));
        out += field("compatible_ids", list(f.compatibleIds));
        out += field("instance_id", quoted(f.instanceId));
        out += "}";
    }
    return out + "]}\n";
}

std::string toText(const EnumerationReport& report) {
    std::string out = "status: " + kernel::statusName(report.status) + "\n";
    out += std::to_string(report.functions.size()) +
           (report.functions.size() == 1 ? " function\n" : " functions\n");
    for (const FunctionReport& f : report.functions) {
        out += "function at interface " + std::to_string(f.interface) + ": class " + hex2(f.cls) +
               "/" + hex2(f.subClass) + "/" + hex2(f.protocol) + ", " +
               std::to_string(f.interfaces) + (f.interfaces == 1 ? " interface" : " interfaces") +
               (f.disabled ? ", disabled (no child)" : "") + "\n";
        out += "    device ID: " + f.deviceId + "\n";
        out += "    hardware IDs: " + joined(f.hardwareIds) + "\n";
        out += "    compatible IDs: " + joined(f.compatibleIds) + "\n";
        out += "    instance ID: " + f.instanceId + "\n";
        out += "    description: " + (f.text.empty() ? "-" : f.text) + "\n";
        out += "    location: " + (f.location.empty() ? "-" : f.location) + "\n";
        out += "    device descriptor: " + hexBytes(f.deviceDescriptor) + "\n";
        out += "    configuration descriptor: " + hexBytes(f.configDescriptor) + "\n";
    }
    return out;
}

}  // namespace vel::velsim
