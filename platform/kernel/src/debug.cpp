// Debug output and configuration information.
#include <cstdarg>

#include "kernel_impl.h"
#include "vel/kernel/format.h"

extern "C" {

ULONG DbgPrint(PCSTR Format, ...) {
    auto& kernel = vel::kernel::requireKernel("DbgPrint");
    va_list args;
    va_start(args, Format);
    std::string text = vel::kernel::vformatText(Format, args);
    va_end(args);
    kernel.appendDebugOutput(std::move(text));
    return STATUS_SUCCESS;
}

// The record lives as long as the Kernel, like the kernel's own; drivers read SerialCount and
// may bump it when they create a port.
PCONFIGURATION_INFORMATION IoGetConfigurationInformation(VOID) {
    return &vel::kernel::requireKernel("IoGetConfigurationInformation").impl().configuration;
}

}  // extern "C"
