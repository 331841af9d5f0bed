// The Kernel's state, shared by the files that implement the kernel calls. Each part has its
// own lock; none is held while calling into the runtime (fault injector, trace log, verifier,
// scheduler), since in a simulated run that call may pass the baton to another context.
#pragma once

#include <cstddef>
#include <mutex>
#include <unordered_map>

#include "vel/kernel/io.h"
#include "vel/kernel/kernel.h"
#include "vel_kernel.h"

namespace vel::kernel {

struct Kernel::Impl {
    Kernel* previous = nullptr;  // the Kernel that was current before this one
    Registry registry;

    mutable std::mutex configMutex;
    CONFIGURATION_INFORMATION configuration{};

    mutable std::mutex debugMutex;
    std::vector<std::string> debugOutput;

    mutable std::mutex poolMutex;
    std::unordered_map<void*, uint32_t> blocks;  // live block -> its tag
    PoolStats pool;

    // Last, so that it goes first: its teardown report still has the rest of the Kernel.
    IoManager io;
};

// The innermost live Kernel; a kernel call made without one is a harness bug and aborts with a
// message naming the call.
Kernel& requireKernel(const char* call);

}  // namespace vel::kernel
