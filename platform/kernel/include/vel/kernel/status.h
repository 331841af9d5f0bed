// Names of NTSTATUS values ("STATUS_SUCCESS"), for traces, reports and the command line.
#pragma once

#include <string>

#include "vel_nt.h"

namespace vel::kernel {

// The status's name, or "0x%08X" for a value without one.
std::string statusName(NTSTATUS status);

}  // namespace vel::kernel
