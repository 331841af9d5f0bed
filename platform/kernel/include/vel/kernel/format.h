// The kernel's printf engine, shared by DbgPrint, the bounded string functions and the
// framework's driver trace. It follows the kernel's conversions rather than the C library's:
//   %s / %c   text of the format's own width;  %S / %C  the other width
//   %hs %hc   narrow;  %ls %lc %ws %wc  wide (UTF-16)
//   %Z        PANSI_STRING;  %wZ  PUNICODE_STRING (counted, need not be terminated)
//   %d %i %u %x %X %o  with flags - + 0 space #, width, precision, '*' for either
//   length    hh h (char, short), l (32-bit, as ULONG), ll I64 (64-bit), I z t (pointer-sized),
//             I32 (32-bit), j (intmax)
//   %p        the pointer in upper-case hex, zero-padded to the pointer's width;  %%
// Narrow text is UTF-8 (the platform's ANSI code page). A NULL string argument prints "(null)".
// A conversion the engine does not know is copied to the output unchanged and consumes no
// argument.
#pragma once

#include <cstdarg>
#include <string>

namespace vel::kernel {

std::string vformatText(const char* format, va_list args);
std::u16string vformatText(const char16_t* format, va_list args);

}  // namespace vel::kernel
