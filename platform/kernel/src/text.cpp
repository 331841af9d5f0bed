#include "text.h"

#include "vel/kernel/kernel.h"

namespace vel::kernel {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void appendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 | (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 | (cp & 0x3FF)));
    }
}

bool isHighSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

}  // namespace

// Lone surrogates become U+FFFD.
std::string toUtf8(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (isHighSurrogate(c) || isLowSurrogate(c)) {
            c = kReplacement;
        }
        appendUtf8(out, c);
    }
    return out;
}

// Each byte of a malformed sequence becomes U+FFFD.
std::u16string toUtf16(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        char32_t cp = 0;
        char32_t min = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1, cp = lead & 0x1F, min = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, cp = lead & 0x0F, min = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, cp = lead & 0x07, min = 0x10000;
        } else {
            appendUtf16(out, kReplacement);
            ++i;
            continue;
        }
        bool valid = i + extra < text.size();
        for (size_t k = 1; valid && k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            cp = (cp << 6) | (next & 0x3F);
        }
        if (!valid || cp < min || cp > 0x10FFFF || isHighSurrogate(cp) || isLowSurrogate(cp)) {
            appendUtf16(out, kReplacement);
            ++i;
            continue;
        }
        appendUtf16(out, cp);
        i += extra + 1;
    }
    return out;
}

char16_t upcase(char16_t c) {
    if (c >= u'a' && c <= u'z') {
        return static_cast<char16_t>(c - 0x20);
    }
    // Latin-1: U+00E0..U+00FE map down by 0x20, except the division sign; U+00FF has its
    // capital in Latin Extended-A.
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) {
        return static_cast<char16_t>(c - 0x20);
    }
    if (c == 0xFF) {
        return 0x178;
    }
    return c;
}

std::string foldCase(const std::string& name) {
    std::u16string wide = toUtf16(name);
    for (auto& c : wide) {
        c = upcase(c);
    }
    return toUtf8(wide);
}

size_t wideLength(const char16_t* text) {
    size_t n = 0;
    while (text[n] != 0) {
        ++n;
    }
    return n;
}

}  // namespace vel::kernel
