#include <cstdio>

#include "vel/kernel/status.h"

namespace vel::kernel {

std::string statusName(NTSTATUS status) {
    switch (static_cast<uint32_t>(status)) {
#define VEL_STATUS_CASE(name, value) \
    case value##u:                   \
        return #name;
        VEL_NTSTATUS_LIST(VEL_STATUS_CASE)
#undef VEL_STATUS_CASE
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

}  // namespace vel::kernel
