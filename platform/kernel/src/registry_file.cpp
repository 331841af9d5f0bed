// The registry's text form. One key per section, values below it:
//
//   vel-registry 1
//   [\Registry\Machine\Hardware\DeviceMap\SERIALCOMM]
//   "\Device\velacm0"=sz:"COM7"
//   "Count"=dword:00000003
//   "Blob"=hex(3):0102ff
//
// Names and string data are UTF-8 with '%', '"' and control bytes written as %XX. A REG_SZ or
// REG_EXPAND_SZ value is written as text only when the text form gives back the same bytes
// (well-formed UTF-16, one terminator at the end); a REG_DWORD only when it has four bytes;
// everything else as hex(<type>) bytes. Keys without values or subkeys get a section of their
// own, so that every key survives a round trip. Blank lines and lines starting with '#' are
// ignored.
#include <cstdio>
#include <optional>

#include "registry_tree.h"
#include "text.h"
#include "vel/kernel/kernel.h"
#include "vel_nt.h"

namespace vel::kernel {

namespace {

constexpr const char* kHeader = "vel-registry 1";

std::string escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '%' || c == '"') {
            char code[4];
            std::snprintf(code, sizeof code, "%%%02X", byte);
            out += code;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

int hexDigit(char c) {
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

std::optional<std::string> unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = hexDigit(text[i + 1]);
        const int low = hexDigit(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<char>(high << 4 | low));
        i += 2;
    }
    return out;
}

// The value's text when writing it as sz/expand_sz gives back exactly its bytes.
std::optional<std::string> exactText(const RegValue& value) {
    const auto& d = value.data;
    if (d.size() < 2 || d.size() % 2 != 0 || d[d.size() - 2] != 0 || d.back() != 0) {
        return std::nullopt;
    }
    std::u16string text;
    for (size_t i = 0; i + 2 < d.size(); i += 2) {
        const auto c = static_cast<char16_t>(d[i] | d[i + 1] << 8);
        if (c == 0) {
            return std::nullopt;
        }
        text.push_back(c);
    }
    std::string utf8 = toUtf8(text);
    if (toUtf16(utf8) != text) {
        return std::nullopt;  // lone surrogates do not survive UTF-8
    }
    return utf8;
}

std::string valueText(const RegValue& value) {
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
        if (auto text = exactText(value)) {
            return std::string(value.type == REG_SZ ? "sz" : "expand_sz") + ":\"" + escape(*text) +
                   "\"";
        }
    }
    if (auto dword = value.asDword()) {
        char text[16];
        std::snprintf(text, sizeof text, "dword:%08x", static_cast<unsigned>(*dword));
        return text;
    }
    std::string out = "hex(" + std::to_string(value.type) + "):";
    for (uint8_t byte : value.data) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        out += pair;
    }
    return out;
}

void writeKey(const KeyNode& node, const std::string& path, std::string& out) {
    if (!node.values.empty() || (node.children.empty() && !path.empty())) {
        out += "[" + path + "]\n";
        for (const auto& [folded, named] : node.values) {
            out += "\"" + escape(named.name) + "\"=" + valueText(named.value) + "\n";
        }
    }
    for (const auto& [folded, child] : node.children) {
        writeKey(*child, path + "\\" + escape(child->name), out);
    }
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Parses the part after '=' of a value line; an empty optional with `problem` set on error.
std::optional<RegValue> parseValue(const std::string& text, std::string& problem) {
    for (auto [prefix, type] : {std::pair{"sz:", REG_SZ}, std::pair{"expand_sz:", REG_EXPAND_SZ}}) {
        if (!startsWith(text, prefix)) {
            continue;
        }
        const std::string quoted = text.substr(std::char_traits<char>::length(prefix));
        if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') {
            problem = "string data must be quoted";
            return std::nullopt;
        }
        const std::string inner = quoted.substr(1, quoted.size() - 2);
        auto raw = unescape(inner);
        if (!raw || inner.find('"') != std::string::npos) {
            problem = "bad escape in string data";
            return std::nullopt;
        }
        RegValue value = RegValue::string(toUtf16(*raw));
        value.type = type;
        return value;
    }
    if (startsWith(text, "dword:")) {
        const std::string digits = text.substr(6);
        uint32_t number = 0;
        for (char c : digits) {
            if (hexDigit(c) < 0) {
                problem = "bad dword '" + digits + "'";
                return std::nullopt;
            }
            number = number << 4 | static_cast<uint32_t>(hexDigit(c));
        }
        if (digits.empty() || digits.size() > 8) {
            problem = "bad dword '" + digits + "'";
            return std::nullopt;
        }
        return RegValue::dword(number);
    }
    if (startsWith(text, "hex(")) {
        const size_t close = text.find("):");
        RegValue value;
        const std::string type = close == std::string::npos ? "" : text.substr(4, close - 4);
        if (type.empty() || type.size() > 10 ||
            type.find_first_not_of("0123456789") != std::string::npos ||
            std::stoull(type) > UINT32_MAX) {
            problem = "bad value type in '" + text + "'";
            return std::nullopt;
        }
        value.type = static_cast<uint32_t>(std::stoull(type));
        const std::string bytes = text.substr(close + 2);
        for (size_t i = 0; i < bytes.size(); i += 2) {
            const int high = hexDigit(bytes[i]);
            const int low = i + 1 < bytes.size() ? hexDigit(bytes[i + 1]) : -1;
            if (high < 0 || low < 0) {
                problem = "bad hex data";
                return std::nullopt;
            }
            value.data.push_back(static_cast<uint8_t>(high << 4 | low));
        }
        return value;
    }
    problem = "unknown value data '" + text + "'";
    return std::nullopt;
}

}  // namespace

std::string serializeTree(const KeyNode& root) {
    std::string out = std::string(kHeader) + "\n";
    writeKey(root, "", out);
    return out;
}

bool parseTree(const std::string& text, KeyNode& root, std::string* error) {
    KeyNode* key = nullptr;
    size_t lineNumber = 0;
    bool sawHeader = false;
    auto fail = [&](const std::string& problem) {
        if (error != nullptr) {
            *error = "line " + std::to_string(lineNumber) + ": " + problem;
        }
        return false;
    };
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();  // control bytes inside names are escaped, so this is a line end
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (!sawHeader) {
            if (line != kHeader) {
                return fail(std::string("expected '") + kHeader + "'");
            }
            sawHeader = true;
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']') {
                return fail("key line without ']'");
            }
            std::vector<std::string> components;
            for (const auto& component : splitPath(line.substr(1, line.size() - 2))) {
                auto name = unescape(component);
                if (!name) {
                    return fail("bad escape in key path");
                }
                components.push_back(*name);
            }
            key = &root.create(components);
            continue;
        }
        if (line[0] == '"') {
            const size_t close = line.find('"', 1);
            if (close == std::string::npos || close + 1 >= line.size() || line[close + 1] != '=') {
                return fail("expected \"name\"=data");
            }
            if (key == nullptr) {
                return fail("value before any [key] line");
            }
            auto name = unescape(line.substr(1, close - 1));
            if (!name) {
                return fail("bad escape in value name");
            }
            std::string problem;
            auto value = parseValue(line.substr(close + 2), problem);
            if (!value) {
                return fail(problem);
            }
            key->values.insert_or_assign(foldCase(*name),
                                         KeyNode::NamedValue{*name, std::move(*value)});
            continue;
        }
        return fail("unrecognised line '" + line + "'");
    }
    if (!sawHeader) {
        lineNumber = 1;  // only blank lines and comments: point at the start
        return fail(std::string("expected '") + kHeader + "'");
    }
    return true;
}

}  // namespace vel::kernel
