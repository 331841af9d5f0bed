// Counted strings: initialising, copying, appending, comparing, ANSI conversion and integers.
// ANSI text is UTF-8 on this platform.
#include <algorithm>
#include <string>

#include "text.h"
#include "vel/kernel/kernel.h"
#include "vel_kernel.h"

using vel::kernel::upcase;
using vel::kernel::wideLength;

namespace {

constexpr size_t kMaxCountedBytes = 0xFFFE;  // the largest even USHORT

size_t chars(const UNICODE_STRING& s) {
    return s.Length / sizeof(WCHAR);
}

// Terminates the text when the buffer has room after it, as the kernel's copies do.
void terminateIfRoom(UNICODE_STRING& s) {
    if (s.Length + sizeof(WCHAR) <= s.MaximumLength) {
        s.Buffer[chars(s)] = 0;
    }
}

NTSTATUS append(PUNICODE_STRING destination, const WCHAR* source, size_t count) {
    const size_t bytes = count * sizeof(WCHAR);
    if (destination->Length + bytes > destination->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::copy_n(source, count, destination->Buffer + chars(*destination));
    destination->Length = static_cast<USHORT>(destination->Length + bytes);
    terminateIfRoom(*destination);
    return STATUS_SUCCESS;
}

// A prefix of `utf8` that ends on a character boundary and is at most `limit` bytes long.
size_t utf8Prefix(const std::string& utf8, size_t limit) {
    if (limit >= utf8.size()) {
        return utf8.size();
    }
    while (limit > 0 && (static_cast<unsigned char>(utf8[limit]) & 0xC0) == 0x80) {
        --limit;
    }
    return limit;
}

int digitValue(WCHAR c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (upcase(c) >= u'A' && upcase(c) <= u'Z') {
        return upcase(c) - u'A' + 10;
    }
    return 99;
}

}  // namespace

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (SourceString == nullptr) {
        *DestinationString = UNICODE_STRING{0, 0, nullptr};
        return;
    }
    const size_t bytes = std::min(wideLength(SourceString) * sizeof(WCHAR), kMaxCountedBytes - 2);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWCH>(SourceString);
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    if (SourceString == nullptr) {
        *DestinationString = ANSI_STRING{0, 0, nullptr};
        return;
    }
    const size_t bytes = std::min(std::char_traits<char>::length(SourceString), size_t{0xFFFE});
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    const size_t bytes =
        std::min<size_t>(SourceString->Length, DestinationString->MaximumLength) & ~size_t{1};
    std::copy_n(SourceString->Buffer, bytes / sizeof(WCHAR), DestinationString->Buffer);
    DestinationString->Length = static_cast<USHORT>(bytes);
    terminateIfRoom(*DestinationString);
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr) {
        return STATUS_SUCCESS;
    }
    return append(Destination, Source, wideLength(Source));
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    return append(Destination, Source->Buffer, chars(*Source));
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive) {
    const size_t n = std::min(chars(*String1), chars(*String2));
    for (size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i];
        WCHAR b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = upcase(a);
            b = upcase(b);
        }
        if (a != b) {
            return static_cast<LONG>(a) - static_cast<LONG>(b);
        }
    }
    return static_cast<LONG>(String1->Length) - static_cast<LONG>(String2->Length);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive) {
    return String1->Length == String2->Length &&
           RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

// Allocating: the buffer comes from the pool (freed with RtlFreeAnsiString). Into the caller's
// buffer: as much as fits, terminated, with STATUS_BUFFER_OVERFLOW when it did not all fit.
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    const std::string text =
        vel::kernel::toUtf8(std::u16string(SourceString->Buffer, chars(*SourceString)));
    if (AllocateDestinationString) {
        if (text.size() + 1 > 0xFFFF) {
            return STATUS_INVALID_PARAMETER_2;
        }
        auto* buffer = static_cast<PCHAR>(
            ExAllocatePoolWithTag(NonPagedPool, text.size() + 1, vel::kernel::kStringPoolTag));
        if (buffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
        std::copy(text.begin(), text.end(), buffer);
        buffer[text.size()] = 0;
        DestinationString->Buffer = buffer;
        DestinationString->Length = static_cast<USHORT>(text.size());
        DestinationString->MaximumLength = static_cast<USHORT>(text.size() + 1);
        return STATUS_SUCCESS;
    }
    if (DestinationString->MaximumLength == 0) {
        return text.empty() ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    const size_t room = DestinationString->MaximumLength - 1u;
    const size_t n = utf8Prefix(text, room);
    std::copy_n(text.begin(), n, DestinationString->Buffer);
    DestinationString->Buffer[n] = 0;
    DestinationString->Length = static_cast<USHORT>(n);
    return n < text.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString->Buffer != nullptr) {
        ExFreePool(AnsiString->Buffer);
    }
    *AnsiString = ANSI_STRING{0, 0, nullptr};
}

// Allocating as above. Into the caller's buffer the text and its terminator must fit, or
// nothing is written and the result is STATUS_BUFFER_OVERFLOW.
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    const std::u16string text =
        vel::kernel::toUtf16(std::string(SourceString->Buffer, SourceString->Length));
    const size_t bytes = text.size() * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > kMaxCountedBytes) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PWCH>(ExAllocatePoolWithTag(NonPagedPool, bytes + sizeof(WCHAR),
                                                               vel::kernel::kStringPoolTag));
        if (buffer == nullptr) {
            return STATUS_NO_MEMORY;
        }
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else if (bytes + sizeof(WCHAR) > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    std::copy(text.begin(), text.end(), DestinationString->Buffer);
    DestinationString->Buffer[text.size()] = 0;
    DestinationString->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer != nullptr) {
        ExFreePool(UnicodeString->Buffer);
    }
    *UnicodeString = UNICODE_STRING{0, 0, nullptr};
}

// Base 0 means 10. Digits are upper case; the text and its terminator must fit.
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) {
        Base = 10;
    }
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string digits;
    do {
        digits.insert(digits.begin(), u"0123456789ABCDEF"[Value % Base]);
        Value /= Base;
    } while (Value != 0);
    const size_t bytes = digits.size() * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > String->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    std::copy(digits.begin(), digits.end(), String->Buffer);
    String->Buffer[digits.size()] = 0;
    String->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

// Leading white space, then an optional sign, then (with base 0) an optional prefix 0x, 0o or
// 0b choosing the base, else base 10; a prefix matching an explicit base is skipped too.
// Conversion stops at the first character that is not a digit of the base; no digits gives 0.
NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    const WCHAR* p = String->Buffer;
    const WCHAR* end = p + chars(*String);
    while (p < end && *p <= u' ') {
        ++p;
    }
    bool negative = false;
    if (p < end && (*p == u'+' || *p == u'-')) {
        negative = *p == u'-';
        ++p;
    }
    if (end - p >= 2 && p[0] == u'0') {
        const WCHAR marker = upcase(p[1]);
        const ULONG prefixBase = marker == u'X' ? 16 : marker == u'O' ? 8 : marker == u'B' ? 2 : 0;
        if (prefixBase != 0 && (Base == 0 || Base == prefixBase)) {
            Base = prefixBase;
            p += 2;
        }
    }
    if (Base == 0) {
        Base = 10;
    }
    ULONG result = 0;
    for (; p < end; ++p) {
        const int digit = digitValue(*p);
        if (digit >= static_cast<int>(Base)) {
            break;
        }
        result = result * Base + static_cast<ULONG>(digit);
    }
    *Value = negative ? 0u - result : result;
    return STATUS_SUCCESS;
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    const auto* a = static_cast<const unsigned char*>(Source1);
    const auto* b = static_cast<const unsigned char*>(Source2);
    SIZE_T n = 0;
    while (n < Length && a[n] == b[n]) {
        ++n;
    }
    return n;
}

}  // extern "C"
