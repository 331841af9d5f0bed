// The printf engine, driven through the bounded formatting calls: narrow formats through
// RtlStringCbPrintfA, wide ones through RtlStringCchPrintfW.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <string>

#include "kernel_fixture.h"
#include "vel_kernel.h"

// The kernel's conversions (%ws, %wZ, 'l' as 32-bit, ...) are not the C library's.
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"

namespace {

using vel::kernel::test::Counted;

template <typename... Args>
std::string narrow(const char* format, Args... args) {
    char buffer[256];
    EXPECT_EQ(RtlStringCbPrintfA(buffer, sizeof buffer, format, args...), STATUS_SUCCESS);
    return buffer;
}

template <typename... Args>
std::u16string wide(const char16_t* format, Args... args) {
    WCHAR buffer[256];
    EXPECT_EQ(RtlStringCchPrintfW(buffer, ARRAYSIZE(buffer), format, args...), STATUS_SUCCESS);
    return buffer;
}

struct NarrowCase {
    const char* name;
    std::string expected;
    std::function<std::string()> run;
};

// Counted strings whose buffers hold more than their Length (and no terminator).
const Counted kCounted(u"COM7", 12);
const ANSI_STRING kAnsi{3, 8, const_cast<PCHAR>("abcdefg")};

TEST(Format, NarrowConversions) {
    const NarrowCase cases[] = {
        {"plain", "text", [] { return narrow("text"); }},
        {"signed", "-5 7", [] { return narrow("%d %i", -5, 7); }},
        {"width", "   42|42   |", [] { return narrow("%5d|%-5d|", 42, 42); }},
        {"zero pad after sign", "-0042", [] { return narrow("%05d", -42); }},
        {"plus and space", "+7  7", [] { return narrow("%+d % d", 7, 7); }},
        {"precision", "007|     007|", [] { return narrow("%.3d|%8.3d|", 7, 7); }},
        {"precision turns off zero pad", "   07", [] { return narrow("%05.2d", 7); }},
        {"zero with precision 0", "[]", [] { return narrow("[%.0d]", 0); }},
        {"hex and octal", "ff FF 10", [] { return narrow("%x %X %o", 255, 255, 8); }},
        {"alternate forms", "0xff 0XFF 0 010",
         [] { return narrow("%#x %#X %#x %#o", 255, 255, 0, 8); }},
        {"unsigned 32-bit", "4294967295", [] { return narrow("%u", 0xFFFFFFFFu); }},
        // 'l' is 32-bit as in a Windows build; the 64-bit argument after it must still line up.
        {"l is 32-bit", "deadbeef -1 123456789abcdef0",
         [] {
             return narrow("%lx %ld %I64x", ULONG{0xDEADBEEF}, LONG{-1}, 0x123456789ABCDEF0ull);
         }},
        {"64-bit", "18446744073709551615 -9223372036854775808",
         [] { return narrow("%llu %lld", ULLONG_MAX, LLONG_MIN); }},
        {"short and char", "-1 ff", [] { return narrow("%hd %hhx", 0xFFFF, 0x1FF); }},
        {"size_t", "123 456", [] { return narrow("%zu %Iu", size_t{123}, size_t{456}); }},
        {"star width and precision", "   7|7   |ab",
         [] { return narrow("%*d|%*d|%.*s", 4, 7, -4, 7, 2, "abc"); }},
        {"narrow string", "[  abc][abc  ][ab]",
         [] { return narrow("[%5s][%-5s][%.2s]", "abc", "abc", "abc"); }},
        {"wide strings", "wide wide wide",
         [] { return narrow("%ws %S %ls", u"wide", u"wide", u"wide"); }},
        {"hs is narrow", "n", [] { return narrow("%hs", "n"); }},
        {"wide text to UTF-8", "\xC3\xA9t\xC3\xA9", [] { return narrow("%ws", u"\u00e9t\u00e9"); }},
        {"counted string stops at Length", "[COM7]",
         [] { return narrow("[%wZ]", &kCounted.string); }},
        {"counted precision and width", "[   CO]",
         [] { return narrow("[%5.2wZ]", &kCounted.string); }},
        {"ansi counted", "abc", [] { return narrow("%Z", &kAnsi); }},
        {"characters", "A \xC3\xA9 w", [] { return narrow("%c %C %wc", 'A', u'\u00e9', u'w'); }},
        {"null strings", "(null) (null) (null)",
         [] {
             return narrow("%s %ws %wZ", (const char*)nullptr, (const WCHAR*)nullptr,
                           (PUNICODE_STRING) nullptr);
         }},
        {"percent", "100%", [] { return narrow("100%%"); }},
        {"pointer", std::string(2 * sizeof(void*) - 4, '0') + "12AB",
         [] { return narrow("%p", reinterpret_cast<void*>(0x12AB)); }},
        // An unknown conversion stays visible and takes no argument.
        {"unknown conversion", "%q 5", [] { return narrow("%q %d", 5); }},
        {"dangling percent", "x%", [] { return narrow("x%"); }},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.run(), c.expected) << c.name;
    }
}

TEST(Format, WideConversions) {
    struct Case {
        const char* name;
        std::u16string expected;
        std::function<std::u16string()> run;
    };
    const Case cases[] = {
        {"s is wide in a wide format", u"abc", [] { return wide(u"%s", u"abc"); }},
        {"S is narrow", u"n\u00e9", [] { return wide(u"%S", "n\xC3\xA9"); }},
        {"explicit widths", u"n w", [] { return wide(u"%hs %ws", "n", u"w"); }},
        {"characters", u"x y", [] { return wide(u"%c %C", u'x', 'y'); }},
        {"integers", u"0042 -3 ffffffff",
         [] { return wide(u"%04d %i %lx", 42, -3, ULONG{0xFFFFFFFF}); }},
        {"counted", u"<COM7>", [] { return wide(u"<%wZ>", &kCounted.string); }},
        {"precision", u"ab|  ab", [] { return wide(u"%.2s|%4.2s", u"abc", u"abc"); }},
        // A conversion letter outside ASCII must not alias an ASCII one ('\u0164' ends in 0x64).
        {"non-ASCII after percent", u"%\u0164", [] { return wide(u"%\u0164", 1); }},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.run(), c.expected) << c.name;
    }
}

}  // namespace
