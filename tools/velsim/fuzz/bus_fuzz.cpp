// Fuzzes velbus's function discovery and child creation: each input is run as `velsim enumerate`
// runs a descriptor file (plug a device that has only descriptors, let the PnP manager start
// velbus, settle, read each child's descriptors through its stack, unplug, unload). A crash, a
// sanitizer report, a verifier violation (leaks at unload included) or a run in which velbus
// was not bound is a failure.
//
// Input: one flag byte, then the optional fields it announces, then the configuration
// descriptor as the device answers it (wTotalLength is not made to agree).
//   0x01  an 18-byte device descriptor follows; its length, type and bMaxPacketSize0 bytes
//         are forced to values the host enumerates, every other byte is the input's
//   0x02  one byte follows: the interface whose "DisableIf_%02x" value is 1
//   0x04  the lower stack reports UniqueID
//   0x08  the serial-number string is empty
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "enumerate.h"
#include "options.h"
#include "simulation.h"
#include "vel/runtime/verifier.h"

namespace {

constexpr uint8_t kDeviceDescriptor = 0x01;
constexpr uint8_t kDisable = 0x02;
constexpr uint8_t kUniqueId = 0x04;
constexpr uint8_t kEmptySerial = 0x08;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "bus_fuzz: %s\n", what.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The loader opens and closes the module at every run. Holding it open keeps it mapped,
    // so its coverage counters stay registered once and each run does not map it anew.
    if (dlopen(VEL_BUS_DRIVER, RTLD_NOW | RTLD_LOCAL) == nullptr) {
        fail(std::string("cannot load ") + VEL_BUS_DRIVER + ": " + dlerror());
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t* p = data;
    const uint8_t* end = data + size;
    const uint8_t flags = *p++;

    vel::velsim::Options options;
    options.command = vel::velsim::Command::Enumerate;
    options.serial = (flags & kEmptySerial) != 0 ? "" : "0123456789";
    options.uniqueId = (flags & kUniqueId) != 0;

    vel::velsim::EnumerateInput input;
    input.device = vel::velsim::defaultDeviceDescriptor();
    if ((flags & kDeviceDescriptor) != 0) {
        if (end - p < 18) {
            return 0;
        }
        input.device.assign(p, p + 18);
        input.device[0] = 18;
        input.device[1] = 1;
        input.device[7] = 64;
        p += 18;
    }
    if ((flags & kDisable) != 0) {
        if (p == end) {
            return 0;
        }
        options.disabled.push_back(*p++);
    }
    input.config.assign(p, end);

    const vel::velsim::EnumerateResult result =
        vel::velsim::enumerate(options, VEL_BUS_DRIVER, input);
    if (!result.systemError.empty()) {
        fail(result.systemError);
    }
    if (!result.violations.empty()) {
        fail(vel::velsim::formatViolations(result.violations));
    }
    return 0;
}
