// Fault injection: named points that a test can make fail. A point fails its Nth call, every
// call from the Nth on, or each call with a seeded probability. Platform code asks
// shouldFail("point") at each injection site and returns the failure its caller would see.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vel::rt {

class FaultInjector {
public:
    explicit FaultInjector(uint64_t seed);
    ~FaultInjector();

    // Fail only the nth call (1-based) counted from now.
    void failNth(const std::string& point, uint64_t nth);
    // Fail the nth call and every later one.
    void failFrom(const std::string& point, uint64_t nth);
    // Fail each call with the given probability (0..1), from a PRNG seeded with `seed`.
    void failWithProbability(const std::string& point, double probability, uint64_t seed);
    void clear(const std::string& point);
    void clearAll();

    // The injection site: counts the call and answers whether it must fail.
    bool shouldFail(const std::string& point);

    // Calls seen per point since construction or resetCounts() (a sweep runs a scenario once to
    // learn which points it reaches and how often, then fails each call in turn).
    std::map<std::string, uint64_t> callCounts() const;
    void resetCounts();
    // Failures injected so far, in order ("point#n").
    std::vector<std::string> injected() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Names of the injection points used across the platform, so that sweeps and tests agree.
namespace fault {
inline constexpr const char* kPoolAllocate = "pool.allocate";
inline constexpr const char* kMemoryCreate = "wdf.memory.create";
inline constexpr const char* kCollectionCreate = "wdf.collection.create";
inline constexpr const char* kCollectionAdd = "wdf.collection.add";
inline constexpr const char* kObjectCreate = "wdf.object.create";
inline constexpr const char* kStringCreate = "wdf.string.create";
inline constexpr const char* kSpinLockCreate = "wdf.spinlock.create";
inline constexpr const char* kWaitLockCreate = "wdf.waitlock.create";
inline constexpr const char* kTimerCreate = "wdf.timer.create";
inline constexpr const char* kWorkItemCreate = "wdf.workitem.create";
inline constexpr const char* kChildListAdd = "wdf.childlist.add";
inline constexpr const char* kUsbPipeSend = "wdf.usbpipe.send";
inline constexpr const char* kUsbDeviceSend = "wdf.usbdevice.send";
inline constexpr const char* kUsbPortRequest = "wdf.usbdevice.port";
inline constexpr const char* kUsbReaderAllocate = "wdf.usbpipe.reader.allocate";
inline constexpr const char* kIrpAllocate = "io.irp.allocate";
inline constexpr const char* kRegistryOpen = "registry.open";
inline constexpr const char* kRegistryRead = "registry.read";
inline constexpr const char* kRegistryWrite = "registry.write";
}  // namespace fault

}  // namespace vel::rt
