// Start, stop, restart, sleep, wake and removal under many scheduler seeds, with two
// automatically serialised periodic timers of a device whose synchronisation scope is the
// device: their callbacks never overlap, every cycle gives the same callbacks in the same
// order, and no run leaves a verifier violation.
#include <atomic>

#include "device_fixture.h"

namespace vel::test {
namespace {

using Log = std::vector<std::string>;

std::atomic<int> inside{0};
std::atomic<int> overlaps{0};
std::atomic<int> ticks{0};
WDFSPINLOCK probe = nullptr;

VOID OnTick(WDFTIMER) {
    if (inside.fetch_add(1) != 0) {
        ++overlaps;
    }
    // A scheduling point inside the callback, where another one could slip in.
    WdfSpinLockAcquire(probe);
    WdfSpinLockRelease(probe);
    ++ticks;
    inside.fetch_sub(1);
}

class DeviceSeedTest : public DeviceTest, public ::testing::WithParamInterface<uint64_t> {
  protected:
    DeviceSeedTest() : DeviceTest(GetParam()) {}
};

TEST_P(DeviceSeedTest, LifecycleWithSerialisedTimers) {
    inside = 0;
    overlaps = 0;
    ticks = 0;
    deviceAttributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    afterCreate = [](WDFDEVICE device) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device;
        ASSERT_EQ(WdfSpinLockCreate(&attributes, &probe), STATUS_SUCCESS);
        for (int i = 0; i < 2; ++i) {
            WDF_TIMER_CONFIG config;
            WDF_TIMER_CONFIG_INIT_PERIODIC(&config, OnTick, 1);
            WDFTIMER timer = nullptr;
            ASSERT_EQ(WdfTimerCreate(&config, &attributes, &timer), STATUS_SUCCESS);
            WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(1));
        }
    };
    DEVICE_OBJECT* pdo = plug();
    EXPECT_EQ(takeLog(), (Log{"prepare", "d0entry D3Final", "smio init"}));
    for (int cycle = 0; cycle < 2; ++cycle) {
        ASSERT_EQ(pnp().stop(pdo), STATUS_SUCCESS);
        rt::delay(3 * rt::kTicksPerMs);
        ASSERT_EQ(pnp().start(pdo), STATUS_SUCCESS);
        ASSERT_EQ(pnp().setSystemPower(pnp::PowerAction::Sleep), STATUS_SUCCESS);
        rt::delay(3 * rt::kTicksPerMs);
        ASSERT_EQ(pnp().wake(), STATUS_SUCCESS);
        EXPECT_EQ(takeLog(), (Log{"query stop", "smio suspend", "d0exit D3Final", "release",
                                  "prepare", "d0entry D3Final", "smio restart", "smio suspend",
                                  "d0exit D3", "d0entry D3", "smio restart"}));
    }
    ASSERT_EQ(pnp().remove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(takeLog(), (Log{"query remove", "smio suspend", "d0exit D3Final", "release",
                              "smio flush", "smio cleanup", "device cleanup"}));
    EXPECT_GT(ticks.load(), 0);
    EXPECT_EQ(overlaps.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, DeviceSeedTest, ::testing::Range<uint64_t>(1, 51));

}  // namespace
}  // namespace vel::test
