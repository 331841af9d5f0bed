// WDFSTRING: a framework-owned copy of a counted string.
#pragma once

#include <string>

#include "object.h"

namespace vel::wdf {

class String : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::String;

    String(Binding& binding, std::u16string text)
        : Object(kType, binding), text_(std::move(text)) {}

    // The counted view of the text; valid until the next assign() or the object's destruction.
    UNICODE_STRING view() {
        const auto bytes = static_cast<USHORT>(text_.size() * sizeof(WCHAR));
        return UNICODE_STRING{bytes, bytes, text_.data()};
    }
    const std::u16string& text() const { return text_; }
    void assign(std::u16string text) { text_ = std::move(text); }

  private:
    std::u16string text_;
};

// The text of a counted string (null-safe).
inline std::u16string textOf(PCUNICODE_STRING string) {
    if (string == nullptr || string->Buffer == nullptr) {
        return {};
    }
    return std::u16string(string->Buffer, string->Length / sizeof(WCHAR));
}

}  // namespace vel::wdf
