// The framework's table of calls, in the order of wdf_functions.inc, padded with reserved
// entries to the 396 entries of KMDF 1.9. Binding copies it into each driver module.
#pragma once

#include <array>

#include "vel_wdf.h"

namespace vel::wdf {

using FunctionTable = std::array<WDFFUNC, WdfFunctionTableNumEntries>;

const FunctionTable& functionTable();

}  // namespace vel::wdf
