// String descriptors of a device: string 0 lists the supported languages, every other index
// holds one text per language.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vel/devices/descriptor_builder.h"

namespace vel::dev {

inline constexpr uint16_t kLangEnglishUS = 0x0409;

// A string descriptor holding `text` as UTF-16LE. Throws std::length_error past 126 characters.
Bytes stringDescriptor(std::u16string_view text);

class StringTable {
  public:
    // Languages appear in string 0 in the order they are first named here or in set().
    StringTable& language(uint16_t langId);
    // Index 0 is the language table and cannot be set (std::invalid_argument).
    StringTable& set(uint8_t index, std::u16string_view text, uint16_t langId = kLangEnglishUS);

    // What GET_DESCRIPTOR(STRING, index, langId) returns: the language table for index 0 (any
    // langId), the text for that index and language, or nullopt when there is none.
    std::optional<Bytes> descriptor(uint8_t index, uint16_t langId) const;

  private:
    std::vector<uint16_t> languages_;
    std::map<std::pair<uint16_t, uint8_t>, std::u16string> strings_;  // (langId, index)
};

}  // namespace vel::dev
