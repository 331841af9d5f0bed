// The printf engine: one template over the format's character type; the output has the same
// type. Arguments are read with the widths a Windows build passes them (see format.h).
#include "vel/kernel/format.h"

#include <cstdint>
#include <string_view>

#include "text.h"
#include "vel/kernel/kernel.h"
#include "vel_nt.h"

namespace vel::kernel {

namespace {

enum class Length { None, Char, Short, Long32, Long64, Size, Max };
enum class Width { Narrow, Wide };

struct Directive {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    size_t width = 0;
    int precision = -1;  // -1: none
    Length length = Length::None;
    bool narrowModifier = false;  // h / hh
    bool wideModifier = false;    // l / w
};

template <typename C>
class Formatter {
  public:
    Formatter(const C* format, va_list* args) : format_(format), args_(args) {}

    std::basic_string<C> run() {
        for (size_t i = 0; format_[i] != 0;) {
            if (format_[i] != '%') {
                out_.push_back(format_[i++]);
                continue;
            }
            const size_t start = i;
            if (!conversion(i)) {
                // Unknown: copied as written, so the mistake is visible in the output.
                out_.append(format_ + start, format_ + i);
            }
        }
        return std::move(out_);
    }

  private:
    C at(size_t i) const { return format_[i]; }
    bool is(size_t i, char c) const { return format_[i] == static_cast<C>(c); }

    // Parses one conversion starting at '%' and emits it; `i` ends past what was read.
    bool conversion(size_t& i) {
        ++i;
        Directive directive;
        for (;; ++i) {
            if (is(i, '-')) {
                directive.left = true;
            } else if (is(i, '+')) {
                directive.plus = true;
            } else if (is(i, ' ')) {
                directive.space = true;
            } else if (is(i, '#')) {
                directive.alternate = true;
            } else if (is(i, '0')) {
                directive.zero = true;
            } else {
                break;
            }
        }
        if (is(i, '*')) {
            const int w = va_arg(*args_, int);
            if (w < 0) {
                directive.left = true;
            }
            directive.width = static_cast<size_t>(w < 0 ? -static_cast<int64_t>(w) : w);
            ++i;
        } else {
            directive.width = number(i);
        }
        if (is(i, '.')) {
            ++i;
            if (is(i, '*')) {
                const int p = va_arg(*args_, int);
                directive.precision = p < 0 ? -1 : p;
                ++i;
            } else {
                directive.precision = static_cast<int>(number(i));
            }
        }
        lengthModifier(i, directive);
        const C conv = at(i);
        if (conv == 0 || conv > 0x7F) {
            return false;
        }
        ++i;
        switch (static_cast<char>(conv)) {
            case 'd':
            case 'i':
                signedInteger(directive);
                return true;
            case 'u':
                unsignedInteger(directive, 10, false);
                return true;
            case 'x':
                unsignedInteger(directive, 16, false);
                return true;
            case 'X':
                unsignedInteger(directive, 16, true);
                return true;
            case 'o':
                unsignedInteger(directive, 8, false);
                return true;
            case 'p':
                pointer(directive);
                return true;
            case 'c':
                character(directive, textWidth(directive, false));
                return true;
            case 'C':
                character(directive, textWidth(directive, true));
                return true;
            case 's':
                string(directive, textWidth(directive, false));
                return true;
            case 'S':
                string(directive, textWidth(directive, true));
                return true;
            case 'Z':
                countedString(directive);
                return true;
            case '%':
                out_.push_back(static_cast<C>('%'));
                return true;
            default:
                return false;
        }
    }

    size_t number(size_t& i) const {
        size_t n = 0;
        while (at(i) >= '0' && at(i) <= '9') {
            n = n * 10 + static_cast<size_t>(at(i) - '0');
            ++i;
        }
        return n;
    }

    void lengthModifier(size_t& i, Directive& directive) const {
        if (is(i, 'h')) {
            directive.narrowModifier = true;
            directive.length = Length::Short;
            if (is(++i, 'h')) {
                directive.length = Length::Char;
                ++i;
            }
        } else if (is(i, 'l')) {
            directive.wideModifier = true;
            directive.length = Length::Long32;
            if (is(++i, 'l')) {
                directive.length = Length::Long64;
                ++i;
            }
        } else if (is(i, 'w')) {
            directive.wideModifier = true;
            ++i;
        } else if (is(i, 'I')) {
            if (is(i + 1, '6') && is(i + 2, '4')) {
                directive.length = Length::Long64;
                i += 3;
            } else if (is(i + 1, '3') && is(i + 2, '2')) {
                directive.length = Length::Long32;
                i += 3;
            } else {
                directive.length = Length::Size;
                ++i;
            }
        } else if (is(i, 'z') || is(i, 't')) {
            directive.length = Length::Size;
            ++i;
        } else if (is(i, 'j')) {
            directive.length = Length::Max;
            ++i;
        }
    }

    // %s and %c take the format's own width, %S and %C the other one; h and l/w override.
    Width textWidth(const Directive& directive, bool otherWidth) const {
        if (directive.narrowModifier) {
            return Width::Narrow;
        }
        if (directive.wideModifier) {
            return Width::Wide;
        }
        const bool wideFormat = sizeof(C) == sizeof(char16_t);
        return wideFormat != otherWidth ? Width::Wide : Width::Narrow;
    }

    int64_t signedArgument(Length length) {
        switch (length) {
            case Length::Char:
                return static_cast<signed char>(va_arg(*args_, int));
            case Length::Short:
                return static_cast<short>(va_arg(*args_, int));
            case Length::None:
            case Length::Long32:
                return va_arg(*args_, int32_t);
            case Length::Long64:
                return va_arg(*args_, int64_t);
            case Length::Size:
                return va_arg(*args_, ptrdiff_t);
            case Length::Max:
                return va_arg(*args_, intmax_t);
        }
        return 0;
    }

    uint64_t unsignedArgument(Length length) {
        switch (length) {
            case Length::Char:
                return static_cast<unsigned char>(va_arg(*args_, unsigned));
            case Length::Short:
                return static_cast<unsigned short>(va_arg(*args_, unsigned));
            case Length::None:
            case Length::Long32:
                return va_arg(*args_, uint32_t);
            case Length::Long64:
                return va_arg(*args_, uint64_t);
            case Length::Size:
                return va_arg(*args_, size_t);
            case Length::Max:
                return va_arg(*args_, uintmax_t);
        }
        return 0;
    }

    void signedInteger(const Directive& directive) {
        const int64_t value = signedArgument(directive.length);
        const uint64_t magnitude =
            value < 0 ? static_cast<uint64_t>(0) - static_cast<uint64_t>(value) : value;
        std::string sign = value < 0 ? "-" : directive.plus ? "+" : directive.space ? " " : "";
        integer(directive, magnitude, 10, false, sign);
    }

    void unsignedInteger(const Directive& directive, unsigned base, bool upper) {
        integer(directive, unsignedArgument(directive.length), base, upper, "");
    }

    void integer(const Directive& directive, uint64_t value, unsigned base, bool upper,
                 std::string prefix) {
        std::string digits = toDigits(value, base, upper);
        if (directive.precision == 0 && value == 0) {
            digits.clear();
        }
        if (directive.precision > 0 && digits.size() < static_cast<size_t>(directive.precision)) {
            digits.insert(0, static_cast<size_t>(directive.precision) - digits.size(), '0');
        }
        if (directive.alternate && base == 16 && value != 0) {
            prefix += upper ? "0X" : "0x";
        }
        if (directive.alternate && base == 8 && (digits.empty() || digits[0] != '0')) {
            digits.insert(0, 1, '0');
        }
        // Zero padding goes between the sign or prefix and the digits; a precision turns it off.
        const size_t used = prefix.size() + digits.size();
        if (directive.zero && !directive.left && directive.precision < 0 &&
            used < directive.width) {
            digits.insert(0, directive.width - used, '0');
        }
        padded(directive, widen(prefix + digits));
    }

    static std::string toDigits(uint64_t value, unsigned base, bool upper) {
        const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        std::string digits;
        do {
            digits.insert(digits.begin(), set[value % base]);
            value /= base;
        } while (value != 0);
        return digits;
    }

    void pointer(const Directive& directive) {
        const auto value = reinterpret_cast<uintptr_t>(va_arg(*args_, void*));
        std::string digits = toDigits(value, 16, true);
        digits.insert(0, 2 * sizeof(void*) - digits.size(), '0');
        padded(directive, widen(digits));
    }

    void character(const Directive& directive, Width width) {
        const int c = va_arg(*args_, int);
        if (width == Width::Wide) {
            const char16_t wide = static_cast<char16_t>(c);
            padded(directive, convert(&wide, 1));
        } else {
            const char narrow = static_cast<char>(c);
            padded(directive, convert(&narrow, 1));
        }
    }

    void string(const Directive& directive, Width width) {
        if (width == Width::Wide) {
            const auto* text = va_arg(*args_, const char16_t*);
            if (text == nullptr) {
                return null(directive);
            }
            padded(directive, convert(text, limited(text, directive)));
        } else {
            const auto* text = va_arg(*args_, const char*);
            if (text == nullptr) {
                return null(directive);
            }
            padded(directive, convert(text, limited(text, directive)));
        }
    }

    // %Z / %wZ: a counted string, read up to its Length (never past it).
    void countedString(const Directive& directive) {
        if (directive.wideModifier) {
            const auto* s = va_arg(*args_, const UNICODE_STRING*);
            if (s == nullptr || s->Buffer == nullptr) {
                return null(directive);
            }
            padded(directive, convert(s->Buffer, clip(s->Length / sizeof(WCHAR), directive)));
        } else {
            const auto* s = va_arg(*args_, const ANSI_STRING*);
            if (s == nullptr || s->Buffer == nullptr) {
                return null(directive);
            }
            padded(directive, convert(s->Buffer, clip(s->Length, directive)));
        }
    }

    // Length of a terminated string, reading no further than the precision allows.
    template <typename T>
    static size_t limited(const T* text, const Directive& directive) {
        size_t n = 0;
        while ((directive.precision < 0 || n < static_cast<size_t>(directive.precision)) &&
               text[n] != 0) {
            ++n;
        }
        return n;
    }

    static size_t clip(size_t length, const Directive& directive) {
        if (directive.precision >= 0 && length > static_cast<size_t>(directive.precision)) {
            return static_cast<size_t>(directive.precision);
        }
        return length;
    }

    void null(const Directive& directive) { padded(directive, widen("(null)")); }

    void padded(const Directive& directive, const std::basic_string<C>& text) {
        const size_t pad = text.size() < directive.width ? directive.width - text.size() : 0;
        if (!directive.left) {
            out_.append(pad, static_cast<C>(' '));
        }
        out_ += text;
        if (directive.left) {
            out_.append(pad, static_cast<C>(' '));
        }
    }

    static std::basic_string<C> widen(const std::string& ascii) {
        return std::basic_string<C>(ascii.begin(), ascii.end());
    }

    static std::basic_string<C> convert(const char* text, size_t n) {
        if constexpr (sizeof(C) == sizeof(char)) {
            return std::string(text, n);
        } else {
            return toUtf16(std::string(text, n));
        }
    }

    static std::basic_string<C> convert(const char16_t* text, size_t n) {
        if constexpr (sizeof(C) == sizeof(char)) {
            return toUtf8(std::u16string(text, n));
        } else {
            return std::u16string(text, n);
        }
    }

    const C* format_;
    va_list* args_;
    std::basic_string<C> out_;
};

template <typename C>
std::basic_string<C> run(const C* format, va_list args) {
    if (format == nullptr) {
        return {};
    }
    va_list copy;
    va_copy(copy, args);
    auto out = Formatter<C>(format, &copy).run();
    va_end(copy);
    return out;
}

}  // namespace

std::string vformatText(const char* format, va_list args) {
    return run(format, args);
}

std::u16string vformatText(const char16_t* format, va_list args) {
    return run(format, args);
}

}  // namespace vel::kernel
