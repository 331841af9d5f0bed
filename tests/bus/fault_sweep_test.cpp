// Fault-injection sweep over one enumeration of a handset with strings (union-hs: modem, MDLM
// diagnostic and mass storage). A clean run counts how often each injection point is called
// from the plug until the children are up; then every call of every point is failed alone, on a
// fresh platform each time, and the run is checked: no crash, no verifier violation, no pool
// block or framework object left at removal and unload, and the outcome of the start is the
// one velbus must give for that failure.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "vel/devices/handset_presets.h"
#include "vel/kernel/kernel.h"
#include "vel/kernel/status.h"
#include "vel/pnp/pnp_manager.h"
#include "vel/runtime/faults.h"
#include "vel/runtime/runtime.h"
#include "vel/runtime/verifier.h"
#include "vel/usb/host_controller.h"
#include "vel/wdf/framework.h"

namespace vel::bus::test {
namespace {

namespace fault = rt::fault;

// What one run ended with.
struct Outcome {
    pnp::DeviceState state = pnp::DeviceState::NoDriver;
    NTSTATUS status = STATUS_SUCCESS;  // the add's or the start's failure
    size_t children = 0;

    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
    out << pnp::toString(o.state);
    if (!NT_SUCCESS(o.status)) {
        out << " " << kernel::statusName(o.status);
    }
    return out << ", " << o.children << " children";
}

struct SweepRun {
    Outcome outcome;
    std::map<std::string, uint64_t> calls;  // per point, from the plug to the settled tree
    std::vector<std::string> injected;
    std::vector<std::string> problems;  // violations and leaks found at teardown
};

// Plugs union-hs into a fresh platform with only velbus installed, fails the nth call of
// `point` (none when `point` is empty), waits for the tree, then unplugs and tears everything
// down in order.
SweepRun enumerateOnce(const std::string& point = {}, uint64_t nth = 0) {
    SweepRun run;
    auto runtime = std::make_unique<rt::Runtime>();
    auto kernel = std::make_unique<kernel::Kernel>();
    auto framework = std::make_unique<wdf::Framework>();
    auto pnp = std::make_unique<pnp::PnpManager>();
    pnp::DriverPackage bus;
    bus.service = "velbus";
    bus.modulePath = VEL_BUS_DRIVER;
    bus.ids = {"USB\\VID_FA57&PID_7A01"};
    pnp->addDriverPackage(std::move(bus));
    auto hc = std::make_unique<usb::HostController>();
    auto settle = [&] {
        pnp->settle();
        runtime->runUntilIdle();
    };

    rt::FaultInjector& faults = runtime->faults();
    faults.resetCounts();
    if (!point.empty()) {
        faults.failNth(point, nth);
    }
    EXPECT_EQ(hc->attach(1, dev::handsetPreset("union-hs"), usb::Speed::High), STATUS_SUCCESS);
    settle();
    run.calls = faults.callCounts();
    run.injected = faults.injected();
    faults.clearAll();
    if (std::optional<pnp::DeviceInfo> parent = pnp->device(hc->pdo(1))) {
        run.outcome.state = parent->state;
        run.outcome.status = parent->problem;
        run.outcome.children = parent->children.size();
    }

    hc->detach(1);
    settle();
    hc.reset();
    pnp.reset();
    framework.reset();
    if (const uint64_t blocks = kernel->poolStats().outstanding; blocks != 0) {
        run.problems.push_back(std::to_string(blocks) + " pool block(s) left behind");
    }
    kernel.reset();
    for (const rt::Violation& v : runtime->verifier().take()) {
        run.problems.push_back(v.toString());
    }
    return run;
}

Outcome started(size_t children) {
    return {pnp::DeviceState::Started, STATUS_SUCCESS, children};
}
Outcome startFailed(NTSTATUS status) {
    return {pnp::DeviceState::StartFailed, status, 0};
}
Outcome addFailed(NTSTATUS status) {
    return {pnp::DeviceState::InstallFailed, status, 0};
}

// The outcome of failing each call of a point, in call order: `count` calls in a row give
// `outcome`; a count of 0 covers every remaining call.
struct Segment {
    uint64_t count;
    Outcome outcome;
};

// Calls in the order velbus makes them. IRPs: the capabilities query's own, then those of the
// framework's USB requests (strings, configuration, selection; the device information query is
// ignored), then the functions' string reads. Memory: the location property (ignored), the
// language, product and serial strings and the configuration, then the functions'
// descriptors. Registry opens: the trace settings and the hardware key's instance number
// (ignored: the counter is used instead), the driver's counter (fails the add), the hardware
// key to store the number (fails the add), then each function's "DisableIf_%02x" (ignored).
// Every read finds nothing or is ignored. Child list adds: a failed one is skipped, but the
// last add's status is the enumeration's. The pool is shared with the platform's own
// allocations and is only swept for crashes, leaks and violations.
const std::map<std::string, std::vector<Segment>> kExpected = {
    {fault::kIrpAllocate,
     {{1, startFailed(STATUS_UNSUCCESSFUL)},
      {3, startFailed(STATUS_INSUFFICIENT_RESOURCES)},
      {1, started(3)},
      {10, startFailed(STATUS_INSUFFICIENT_RESOURCES)},
      {0, startFailed(STATUS_DEVICE_ENUMERATION_ERROR)}}},
    {fault::kMemoryCreate,
     {{1, started(3)},
      {4, startFailed(STATUS_INSUFFICIENT_RESOURCES)},
      {0, startFailed(STATUS_DEVICE_ENUMERATION_ERROR)}}},
    {fault::kCollectionCreate,
     {{1, addFailed(STATUS_INSUFFICIENT_RESOURCES)},
      {1, startFailed(STATUS_INSUFFICIENT_RESOURCES)}}},
    {fault::kCollectionAdd,
     {{1, startFailed(STATUS_UNSUCCESSFUL)}, {0, startFailed(STATUS_DEVICE_ENUMERATION_ERROR)}}},
    {fault::kChildListAdd, {{2, started(2)}, {1, startFailed(STATUS_INSUFFICIENT_RESOURCES)}}},
    {fault::kRegistryOpen,
     {{2, started(3)},
      {1, addFailed(STATUS_INSUFFICIENT_RESOURCES)},
      {1, addFailed(STATUS_UNSUCCESSFUL)},
      {0, started(3)}}},
    {fault::kRegistryRead, {{0, started(3)}}},
    {fault::kRegistryWrite,
     {{1, addFailed(STATUS_INSUFFICIENT_RESOURCES)}, {1, addFailed(STATUS_UNSUCCESSFUL)}}},
};

std::optional<Outcome> expectedOutcome(const std::string& point, uint64_t nth) {
    auto it = kExpected.find(point);
    if (it == kExpected.end()) {
        return std::nullopt;
    }
    uint64_t first = 1;
    for (const Segment& segment : it->second) {
        if (segment.count == 0 || nth < first + segment.count) {
            return segment.outcome;
        }
        first += segment.count;
    }
    ADD_FAILURE() << point << " has more calls than its expectations: " << nth;
    return std::nullopt;
}

TEST(BusFaultSweep, EveryCallOfEveryPointFailedAloneGivesItsOutcome) {
    const SweepRun clean = enumerateOnce();
    ASSERT_TRUE(clean.problems.empty()) << clean.problems.front();
    ASSERT_EQ(clean.outcome, started(3));
    for (const auto& [point, segments] : kExpected) {
        EXPECT_GT(clean.calls.count(point), 0u) << point << " is never called";
    }
    for (const auto& [point, count] : clean.calls) {
        for (uint64_t nth = 1; nth <= count; ++nth) {
            SCOPED_TRACE(point + "#" + std::to_string(nth));
            const SweepRun run = enumerateOnce(point, nth);
            EXPECT_EQ(run.injected, std::vector<std::string>{point + "#" + std::to_string(nth)});
            for (const std::string& problem : run.problems) {
                ADD_FAILURE() << problem;
            }
            if (std::optional<Outcome> expected = expectedOutcome(point, nth)) {
                EXPECT_EQ(run.outcome, *expected);
            }
        }
    }
}

}  // namespace
}  // namespace vel::bus::test
