// The kernel: owns the registry, the configuration information, the debug output and the pool
// allocations of a run. The innermost live Kernel is the one the kernel calls of the drivers
// reach (Kernel::current()). It needs a live vel::rt::Runtime.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vel/kernel/registry.h"

namespace vel::kernel {

// The tag of pool blocks that string calls allocate for the caller (RtlUnicodeStringToAnsiString
// and RtlAnsiStringToUnicodeString with allocation), freed with RtlFree*String.
inline constexpr uint32_t kStringPoolTag = 0x53727453;  // "StrS" in memory

struct PoolStats {
    uint64_t allocations = 0;
    uint64_t frees = 0;
    uint64_t outstanding = 0;  // allocations not yet freed
    std::map<uint32_t, uint64_t> outstandingByTag;
};

class IoManager;

class Kernel {
  public:
    Kernel();
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    static Kernel* current();

    Registry& registry();

    // The serial-port count reported by IoGetConfigurationInformation (SerialCount).
    void setSerialCount(uint32_t count);
    uint32_t serialCount() const;

    // Everything DbgPrint wrote, one entry per call, formatted.
    std::vector<std::string> debugOutput() const;
    void clearDebugOutput();
    void appendDebugOutput(std::string text);

    PoolStats poolStats() const;

    // The I/O manager: device objects, IRPs, the object namespace (vel/kernel/io.h).
    IoManager& io();

    struct Impl;
    Impl& impl();

  private:
    std::unique_ptr<Impl> impl_;
};

// Converts between the platform's UTF-8 strings and the drivers' UTF-16 text.
std::string toUtf8(const std::u16string& text);
std::u16string toUtf16(const std::string& text);

}  // namespace vel::kernel
