// Counted strings and the bounded string functions: truncation, terminators and statuses.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kernel_fixture.h"
#include "vel/runtime/faults.h"
#include "vel_kernel.h"

namespace vel::kernel::test {
namespace {

using StringsTest = KernelTest;

TEST_F(StringsTest, InitUnicodeString) {
    UNICODE_STRING s{1, 1, reinterpret_cast<PWCH>(0x1)};
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);

    const WCHAR* text = u"abc";
    RtlInitUnicodeString(&s, text);
    EXPECT_EQ(s.Length, 6);
    EXPECT_EQ(s.MaximumLength, 8);
    EXPECT_EQ(s.Buffer, text);
}

TEST_F(StringsTest, CopyUnicodeStringTruncatesAndTerminatesWhenRoom) {
    struct Case {
        const char* name;
        size_t capacity;
        std::u16string expectedText;
        bool terminated;
    };
    const Case cases[] = {
        {"room for terminator", 6, u"abcd", true},
        {"exact fit, no terminator", 4, u"abcd", false},
        {"truncated", 3, u"abc", false},
    };
    const Counted source(u"abcd");
    for (const auto& c : cases) {
        Counted destination(u"", c.capacity + 1);  // one char beyond MaximumLength to watch
        destination.string.MaximumLength = static_cast<USHORT>(c.capacity * sizeof(WCHAR));
        RtlCopyUnicodeString(&destination.string, &source.string);
        EXPECT_EQ(destination.text(), c.expectedText) << c.name;
        if (c.terminated) {
            EXPECT_EQ(destination.buffer[c.expectedText.size()], 0) << c.name;
        } else {
            EXPECT_NE(destination.buffer[c.capacity], 0) << c.name << ": wrote past MaximumLength";
        }
    }
    Counted destination(u"xyz");
    RtlCopyUnicodeString(&destination.string, nullptr);
    EXPECT_EQ(destination.string.Length, 0);
}

TEST_F(StringsTest, AppendFailsWholeWhenTooSmall) {
    Counted destination(u"ab", 4);
    EXPECT_EQ(RtlAppendUnicodeToString(&destination.string, u"cde"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(destination.text(), u"ab");
    EXPECT_EQ(RtlAppendUnicodeToString(&destination.string, u"c"), STATUS_SUCCESS);
    EXPECT_EQ(destination.text(), u"abc");
    EXPECT_EQ(destination.buffer[3], 0);  // terminated: there was room
    const Counted tail(u"d");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&destination.string, &tail.string), STATUS_SUCCESS);
    EXPECT_EQ(destination.text(), u"abcd");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&destination.string, &tail.string),
              STATUS_BUFFER_TOO_SMALL);
}

TEST_F(StringsTest, CompareAndEqual) {
    struct Case {
        std::u16string a, b;
        bool caseInsensitive;
        int sign;
    };
    const Case cases[] = {
        {u"COM7", u"com7", true, 0},
        {u"COM7", u"com7", false, -1},
        {u"abc", u"abd", false, -1},
        {u"ab", u"abc", false, -1},
        {u"abc", u"ab", true, 1},
        {u"", u"", false, 0},
        {u"\u00e9t\u00e9", u"\u00c9T\u00c9", true, 0},
    };
    for (const auto& c : cases) {
        const Counted a(c.a), b(c.b);
        const LONG result = RtlCompareUnicodeString(&a.string, &b.string, c.caseInsensitive);
        EXPECT_EQ((result > 0) - (result < 0), c.sign)
            << "compare " << testing::PrintToString(c.a) << " " << testing::PrintToString(c.b);
        EXPECT_EQ(RtlEqualUnicodeString(&a.string, &b.string, c.caseInsensitive), c.sign == 0);
    }
}

TEST_F(StringsTest, UnicodeToAnsiAllocatesFromPool) {
    const Counted source(u"port \u00e9", 10);  // Length covers the text only
    ANSI_STRING ansi{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &source.string, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(ansi.Buffer, ansi.Length), "port \xC3\xA9");
    EXPECT_EQ(ansi.Buffer[ansi.Length], 0);
    EXPECT_EQ(kernel.poolStats().outstandingByTag.at(kStringPoolTag), 1u);
    RtlFreeAnsiString(&ansi);
    EXPECT_EQ(ansi.Buffer, nullptr);
    EXPECT_EQ(kernel.poolStats().outstanding, 0u);

    runtime.faults().failNth(rt::fault::kPoolAllocate, 1);
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&ansi, &source.string, TRUE), STATUS_NO_MEMORY);
}

TEST_F(StringsTest, UnicodeToAnsiIntoCallerBuffer) {
    struct Case {
        const char* name;
        USHORT capacity;
        std::string expected;
        NTSTATUS status;
    };
    // "a\u00e9b" is 4 bytes of UTF-8; the two-byte character is never split.
    const Case cases[] = {
        {"fits", 5,
         "a\xC3\xA9"
         "b",
         STATUS_SUCCESS},
        {"no room for terminator", 4, "a\xC3\xA9", STATUS_BUFFER_OVERFLOW},
        {"would split a character", 3, "a", STATUS_BUFFER_OVERFLOW},
    };
    const Counted source(u"a\u00e9b");
    for (const auto& c : cases) {
        char buffer[8];
        std::memset(buffer, '#', sizeof buffer);
        ANSI_STRING ansi{0, c.capacity, buffer};
        EXPECT_EQ(RtlUnicodeStringToAnsiString(&ansi, &source.string, FALSE), c.status) << c.name;
        EXPECT_EQ(std::string(ansi.Buffer, ansi.Length), c.expected) << c.name;
        EXPECT_EQ(buffer[ansi.Length], 0) << c.name;
        EXPECT_EQ(buffer[c.capacity], '#') << c.name << ": wrote past MaximumLength";
    }
}

TEST_F(StringsTest, AnsiToUnicode) {
    ANSI_STRING source;
    RtlInitAnsiString(&source, "COM\xC3\xA9");
    UNICODE_STRING allocated{};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&allocated, &source, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(allocated.Buffer, allocated.Length / 2), u"COM\u00e9");
    RtlFreeUnicodeString(&allocated);
    EXPECT_EQ(kernel.poolStats().outstanding, 0u);

    Counted small(u"", 4);  // four characters: no room for the terminator
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&small.string, &source, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(small.string.Length, 0);
}

TEST_F(StringsTest, IntegerToUnicodeString) {
    struct Case {
        ULONG value, base;
        size_t capacity;
        NTSTATUS status;
        std::u16string expected;
    };
    const Case cases[] = {
        {255, 16, 8, STATUS_SUCCESS, u"FF"},
        {0, 0, 8, STATUS_SUCCESS, u"0"},
        {5, 2, 8, STATUS_SUCCESS, u"101"},
        {8, 8, 8, STATUS_SUCCESS, u"10"},
        {4294967295u, 10, 11, STATUS_SUCCESS, u"4294967295"},
        {4294967295u, 10, 10, STATUS_BUFFER_OVERFLOW, u""},  // no room for the terminator
        {10, 3, 8, STATUS_INVALID_PARAMETER, u""},
    };
    for (const auto& c : cases) {
        Counted s(u"", c.capacity);
        EXPECT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &s.string), c.status) << c.value;
        EXPECT_EQ(s.text(), c.expected) << c.value;
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(s.buffer[c.expected.size()], 0);
        }
    }
}

TEST_F(StringsTest, UnicodeStringToInteger) {
    struct Case {
        std::u16string text;
        ULONG base;
        NTSTATUS status;
        ULONG expected;
    };
    const Case cases[] = {
        {u"  42", 0, STATUS_SUCCESS, 42},        {u"-1", 10, STATUS_SUCCESS, 0xFFFFFFFF},
        {u"+7", 10, STATUS_SUCCESS, 7},          {u"0x1F", 0, STATUS_SUCCESS, 31},
        {u"0x1f", 16, STATUS_SUCCESS, 31},       {u"1F", 16, STATUS_SUCCESS, 31},
        {u"0b101", 0, STATUS_SUCCESS, 5},        {u"0o17", 0, STATUS_SUCCESS, 15},
        {u"12ab", 10, STATUS_SUCCESS, 12},       {u"", 10, STATUS_SUCCESS, 0},
        {u"777", 8, STATUS_SUCCESS, 511},        {u"19", 8, STATUS_SUCCESS, 1},
        {u"5", 7, STATUS_INVALID_PARAMETER, 99},
    };
    for (const auto& c : cases) {
        const Counted s(c.text);
        ULONG value = 99;
        EXPECT_EQ(RtlUnicodeStringToInteger(&s.string, c.base, &value), c.status)
            << testing::PrintToString(c.text);
        EXPECT_EQ(value, c.expected) << testing::PrintToString(c.text);
    }
    // Only Length counts: the digits after it are not part of the string.
    Counted partial(u"123");
    partial.string.Length = 4;
    ULONG value = 0;
    EXPECT_EQ(RtlUnicodeStringToInteger(&partial.string, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 12u);
}

// ----- Bounded functions ---------------------------------------------------------------------

constexpr size_t kTooLarge = size_t{2147483647} + 1;

TEST_F(StringsTest, BoundedPrintfTruncatesTerminatedAndRejectsBadSizes) {
    WCHAR buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 4, u"%d", 12345), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buffer), u"123");
    EXPECT_EQ(buffer[4], u'#');

    EXPECT_EQ(RtlStringCchPrintfW(buffer, 6, u"%d", 12345), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"12345");
    // An odd byte count rounds down to whole characters.
    EXPECT_EQ(RtlStringCbPrintfW(buffer, 7, u"%s", u"abcd"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buffer), u"ab");

    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 0, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbPrintfW(buffer, 1, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchPrintfW(buffer, kTooLarge, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], u'#') << "an invalid size must leave the destination alone";

    char narrow[6];
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof narrow, "%s-%d", "COM", 17),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "COM-1");
    EXPECT_EQ(RtlStringCbPrintfA(narrow, 0, "x"), STATUS_INVALID_PARAMETER);
}

TEST_F(StringsTest, BoundedCopyAndCat) {
    struct Case {
        const char* name;
        bool cat;
        std::u16string initial;  // placed at the start of a '#'-filled buffer, terminated
        size_t chars;
        std::u16string source;
        NTSTATUS status;
        std::u16string expected;
    };
    const Case cases[] = {
        {"copy fits", false, u"", 6, u"COM7", STATUS_SUCCESS, u"COM7"},
        {"copy exact", false, u"", 5, u"COM7", STATUS_SUCCESS, u"COM7"},
        {"copy truncated", false, u"", 4, u"COM7", STATUS_BUFFER_OVERFLOW, u"COM"},
        {"cat fits", true, u"\\Dos", 12, u"Devices", STATUS_SUCCESS, u"\\DosDevices"},
        {"cat truncated", true, u"ab", 5, u"cdef", STATUS_BUFFER_OVERFLOW, u"abcd"},
        {"cat full", true, u"abcd", 5, u"e", STATUS_BUFFER_OVERFLOW, u"abcd"},
    };
    for (const auto& c : cases) {
        for (bool bytes : {false, true}) {
            std::u16string buffer(16, u'#');
            buffer.replace(0, c.initial.size() + 1, c.initial + u'\0');
            const size_t size = bytes ? c.chars * sizeof(WCHAR) : c.chars;
            NTSTATUS status;
            if (c.cat) {
                status = bytes ? RtlStringCbCatW(buffer.data(), size, c.source.c_str())
                               : RtlStringCchCatW(buffer.data(), size, c.source.c_str());
            } else {
                status = bytes ? RtlStringCbCopyW(buffer.data(), size, c.source.c_str())
                               : RtlStringCchCopyW(buffer.data(), size, c.source.c_str());
            }
            EXPECT_EQ(status, c.status) << c.name << (bytes ? " (Cb)" : " (Cch)");
            EXPECT_EQ(std::u16string(buffer.c_str()), c.expected) << c.name;
            EXPECT_EQ(buffer[c.chars], u'#') << c.name << ": wrote past the destination";
        }
    }
    // A destination without a terminator inside its size cannot be appended to.
    WCHAR full[3] = {u'a', u'b', u'c'};
    EXPECT_EQ(RtlStringCchCatW(full, 3, u"d"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchCopyW(full, 0, u"d"), STATUS_INVALID_PARAMETER);
}

TEST_F(StringsTest, BoundedLength) {
    const WCHAR text[] = u"abc";
    SIZE_T length = 99;
    EXPECT_EQ(RtlStringCchLengthW(text, 4, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(RtlStringCbLengthW(text, 8, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 6u);
    // The terminator must lie inside the maximum.
    EXPECT_EQ(RtlStringCchLengthW(text, 3, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(RtlStringCbLengthW(text, 7, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchLengthW(nullptr, 4, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchLengthW(text, kTooLarge, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(StringsTest, CountedDestinationsFillToMaximumWithoutTerminator) {
    Counted destination(u"", 5);
    destination.string.MaximumLength = 8;  // four characters; the fifth is a guard
    EXPECT_EQ(RtlUnicodeStringPrintf(&destination.string, u"%s%d", u"COM", 7), STATUS_SUCCESS);
    EXPECT_EQ(destination.text(), u"COM7");
    EXPECT_EQ(destination.buffer[4], u'#');

    EXPECT_EQ(RtlUnicodeStringPrintf(&destination.string, u"%s", u"COM17"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(destination.text(), u"COM1");

    const Counted source(u"ab");
    EXPECT_EQ(RtlUnicodeStringCopy(&destination.string, &source.string), STATUS_SUCCESS);
    EXPECT_EQ(destination.text(), u"ab");
    EXPECT_EQ(RtlUnicodeStringCat(&destination.string, &source.string), STATUS_SUCCESS);
    EXPECT_EQ(destination.text(), u"abab");
    EXPECT_EQ(RtlUnicodeStringCat(&destination.string, &source.string), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(destination.text(), u"abab");
    EXPECT_EQ(destination.buffer[4], u'#');

    struct Bad {
        const char* name;
        USHORT length, maximum;
        bool nullBuffer;
    };
    const Bad bad[] = {
        {"odd length", 1, 8, false},
        {"odd maximum", 0, 7, false},
        {"length over maximum", 10, 8, false},
        {"no buffer", 0, 8, true},
    };
    for (const auto& b : bad) {
        WCHAR storage[8];
        UNICODE_STRING s{b.length, b.maximum, b.nullBuffer ? nullptr : storage};
        EXPECT_EQ(RtlUnicodeStringPrintf(&s, u"x"), STATUS_INVALID_PARAMETER) << b.name;
        EXPECT_EQ(RtlUnicodeStringCopy(&destination.string, &s), STATUS_INVALID_PARAMETER)
            << b.name;
    }
}

}  // namespace
}  // namespace vel::kernel::test
