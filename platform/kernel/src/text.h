// Text helpers shared by the kernel's string calls, formatting and registry.
#pragma once

#include <cstddef>
#include <string>

namespace vel::kernel {

// Upper case as the kernel's case-insensitive comparisons see it: ASCII and Latin-1 letters.
char16_t upcase(char16_t c);

// The key under which a case-insensitive name is stored (UTF-8 in, UTF-8 out).
std::string foldCase(const std::string& name);

// Length of a terminated UTF-16 string.
size_t wideLength(const char16_t* text);

}  // namespace vel::kernel
