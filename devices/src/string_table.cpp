#include "vel/devices/string_table.h"

#include <algorithm>
#include <stdexcept>

#include "vel_usb.h"

namespace vel::dev {

Bytes stringDescriptor(std::u16string_view text) {
    const size_t length = 2 + 2 * text.size();
    if (length > 0xFF) {
        throw std::length_error("string of " + std::to_string(text.size()) +
                                " characters does not fit a string descriptor");
    }
    Bytes out{static_cast<uint8_t>(length), USB_STRING_DESCRIPTOR_TYPE};
    for (char16_t c : text) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

StringTable& StringTable::language(uint16_t langId) {
    if (std::find(languages_.begin(), languages_.end(), langId) == languages_.end()) {
        languages_.push_back(langId);
    }
    return *this;
}

StringTable& StringTable::set(uint8_t index, std::u16string_view text, uint16_t langId) {
    if (index == 0) {
        throw std::invalid_argument("string index 0 is the language table");
    }
    stringDescriptor(text);  // refuses a text that cannot be served
    language(langId);
    strings_[{langId, index}] = std::u16string(text);
    return *this;
}

std::optional<Bytes> StringTable::descriptor(uint8_t index, uint16_t langId) const {
    if (index == 0) {
        std::u16string ids(languages_.begin(), languages_.end());
        return stringDescriptor(ids);
    }
    const auto it = strings_.find({langId, index});
    if (it == strings_.end()) {
        return std::nullopt;
    }
    return stringDescriptor(it->second);
}

}  // namespace vel::dev
