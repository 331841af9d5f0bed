// Bounded string functions: the destination's size is checked first (zero or larger than the
// maximum is STATUS_INVALID_PARAMETER and leaves it untouched); text that does not fit is
// truncated, still terminated, and reported as STATUS_BUFFER_OVERFLOW. Counted destinations
// (the RtlUnicodeString* calls) are filled up to MaximumLength and never terminated.
#include <algorithm>
#include <cstdarg>
#include <string>

#include "text.h"
#include "vel/kernel/format.h"
#include "vel_kernel.h"

using vel::kernel::wideLength;

namespace {

constexpr size_t kMaxChars = 2147483647;    // the bound of the Cb/Cch functions
constexpr size_t kMaxCountedChars = 32767;  // the bound of a UNICODE_STRING

bool validSize(size_t chars) {
    return chars != 0 && chars <= kMaxChars;
}

// Copies as much of `text` as fits in `room` characters plus a terminator.
template <typename C>
NTSTATUS putTerminated(C* destination, size_t room, const C* text, size_t length) {
    const size_t n = std::min(length, room - 1);
    std::copy_n(text, n, destination);
    destination[n] = 0;
    return n < length ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS printfTerminated(PWSTR destination, size_t chars, PCWSTR format, va_list args) {
    if (destination == nullptr || !validSize(chars)) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::u16string text = vel::kernel::vformatText(format, args);
    return putTerminated(destination, chars, text.data(), text.size());
}

NTSTATUS copyTerminated(PWSTR destination, size_t chars, PCWSTR source) {
    if (destination == nullptr || source == nullptr || !validSize(chars)) {
        return STATUS_INVALID_PARAMETER;
    }
    return putTerminated(destination, chars, source, wideLength(source));
}

// The existing text must be terminated inside the buffer.
NTSTATUS catTerminated(PWSTR destination, size_t chars, PCWSTR source) {
    if (destination == nullptr || source == nullptr || !validSize(chars)) {
        return STATUS_INVALID_PARAMETER;
    }
    const size_t used = std::find(destination, destination + chars, 0) - destination;
    if (used == chars) {
        return STATUS_INVALID_PARAMETER;
    }
    return putTerminated(destination + used, chars - used, source, wideLength(source));
}

NTSTATUS length(PCWSTR text, size_t maxChars, size_t* result) {
    size_t n = 0;
    if (text != nullptr && maxChars <= kMaxChars) {
        n = std::find(text, text + maxChars, 0) - text;
    }
    const bool valid = text != nullptr && maxChars <= kMaxChars && n < maxChars;
    if (result != nullptr) {
        *result = valid ? n : 0;
    }
    return valid ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

bool validCounted(const UNICODE_STRING* s) {
    return s != nullptr && s->Length % 2 == 0 && s->MaximumLength % 2 == 0 &&
           s->Length <= s->MaximumLength && s->MaximumLength <= kMaxCountedChars * 2 &&
           (s->Buffer != nullptr || s->MaximumLength == 0);
}

// Writes `text` at character `offset` of a counted destination, as much as fits.
NTSTATUS putCounted(PUNICODE_STRING destination, size_t offset, const WCHAR* text, size_t count) {
    const size_t room = destination->MaximumLength / sizeof(WCHAR) - offset;
    const size_t n = std::min(count, room);
    std::copy_n(text, n, destination->Buffer + offset);
    destination->Length = static_cast<USHORT>((offset + n) * sizeof(WCHAR));
    return n < count ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

}  // namespace

extern "C" {

NTSTATUS RtlStringCbPrintfW(PWSTR Destination, SIZE_T DestinationBytes, PCWSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    const NTSTATUS status =
        printfTerminated(Destination, DestinationBytes / sizeof(WCHAR), Format, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchPrintfW(PWSTR Destination, SIZE_T DestinationChars, PCWSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    const NTSTATUS status = printfTerminated(Destination, DestinationChars, Format, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbCopyW(PWSTR Destination, SIZE_T DestinationBytes, PCWSTR Source) {
    return copyTerminated(Destination, DestinationBytes / sizeof(WCHAR), Source);
}

NTSTATUS RtlStringCchCopyW(PWSTR Destination, SIZE_T DestinationChars, PCWSTR Source) {
    return copyTerminated(Destination, DestinationChars, Source);
}

NTSTATUS RtlStringCbCatW(PWSTR Destination, SIZE_T DestinationBytes, PCWSTR Source) {
    return catTerminated(Destination, DestinationBytes / sizeof(WCHAR), Source);
}

NTSTATUS RtlStringCchCatW(PWSTR Destination, SIZE_T DestinationChars, PCWSTR Source) {
    return catTerminated(Destination, DestinationChars, Source);
}

NTSTATUS RtlStringCbLengthW(PCWSTR String, SIZE_T MaxBytes, PSIZE_T LengthBytes) {
    size_t chars = 0;
    const NTSTATUS status = length(String, MaxBytes / sizeof(WCHAR), &chars);
    if (LengthBytes != nullptr) {
        *LengthBytes = chars * sizeof(WCHAR);
    }
    return status;
}

NTSTATUS RtlStringCchLengthW(PCWSTR String, SIZE_T MaxChars, PSIZE_T LengthChars) {
    return length(String, MaxChars, LengthChars);
}

NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING Destination, PCWSTR Format, ...) {
    if (!validCounted(Destination) || Format == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    va_list args;
    va_start(args, Format);
    const std::u16string text = vel::kernel::vformatText(Format, args);
    va_end(args);
    return putCounted(Destination, 0, text.data(), text.size());
}

NTSTATUS RtlUnicodeStringCopy(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (!validCounted(Destination) || !validCounted(Source)) {
        return STATUS_INVALID_PARAMETER;
    }
    return putCounted(Destination, 0, Source->Buffer, Source->Length / sizeof(WCHAR));
}

NTSTATUS RtlUnicodeStringCat(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (!validCounted(Destination) || !validCounted(Source)) {
        return STATUS_INVALID_PARAMETER;
    }
    return putCounted(Destination, Destination->Length / sizeof(WCHAR), Source->Buffer,
                      Source->Length / sizeof(WCHAR));
}

NTSTATUS RtlStringCbPrintfA(PSTR Destination, SIZE_T DestinationBytes, PCSTR Format, ...) {
    if (Destination == nullptr || !validSize(DestinationBytes)) {
        return STATUS_INVALID_PARAMETER;
    }
    va_list args;
    va_start(args, Format);
    const std::string text = vel::kernel::vformatText(Format, args);
    va_end(args);
    return putTerminated(Destination, DestinationBytes, text.data(), text.size());
}

}  // extern "C"
