// Driver trace output: DriverTrace calls land in the runtime's trace log (category Driver) when
// a test or the command line has enabled it; otherwise they cost one check.
#include <cstdio>
#include <string>

#include "vel/kernel/format.h"
#include "vel/runtime/runtime.h"
#include "vel/runtime/trace.h"
#include "vel_kernel.h"

namespace {

vel::rt::TraceLog* driverTraceLog() {
    auto* runtime = vel::rt::Runtime::current();
    if (runtime == nullptr || !runtime->trace().enabled(vel::rt::TraceCategory::Driver)) {
        return nullptr;
    }
    return &runtime->trace();
}

}  // namespace

extern "C" {

BOOLEAN VelTraceEnabled(VOID) { return driverTraceLog() != nullptr ? TRUE : FALSE; }

VOID VelTraceV(ULONG Level, ULONG Flag, PCSTR Format, va_list Arguments) {
    auto* log = driverTraceLog();
    if (log == nullptr) {
        return;
    }
    std::string text = vel::kernel::vformatText(Format, Arguments);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "[%u:%04x] ", static_cast<unsigned>(Level),
                  static_cast<unsigned>(Flag));
    log->write(vel::rt::TraceCategory::Driver, prefix + text);
}

}  // extern "C"
