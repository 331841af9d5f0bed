// Declarations of the platform's implementation of every framework call, one per entry of
// wdf_functions.inc, in namespace vel::wdf::ddi. function_table.cpp checks each against the
// driver-side pointer type PFN_<name>.
#pragma once

#include "vel_wdf.h"

namespace vel::wdf::ddi {

#define WDF_FUNCTION(r, n, p, a) r n VEL_WDF_PARAMS p;
#define WDF_FUNCTION0(r, n) r n(PWDF_DRIVER_GLOBALS DriverGlobals);
#include "wdf_functions.inc"
#undef WDF_FUNCTION
#undef WDF_FUNCTION0

}  // namespace vel::wdf::ddi
