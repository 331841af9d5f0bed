// System power transitions as a device sees them: the D0 exit target and the power action of
// the transition, through D0 entry on wake, then back to no action.
#include "device_fixture.h"

namespace vel::test {
namespace {

using Log = std::vector<std::string>;

struct PowerCase {
    const char* label;
    pnp::PowerAction action;
    Log down;
    Log up;  // empty: the system does not come back
};

using DevicePowerTest = DeviceTest;

TEST_F(DevicePowerTest, SystemTransitionsGiveTheTargetStateAndTheAction) {
    const PowerCase cases[] = {
        {"sleep",
         pnp::PowerAction::Sleep,
         {"smio suspend", "d0exit D3", "action 2"},
         {"d0entry D3", "action 2", "smio restart"}},
        {"hibernate",
         pnp::PowerAction::Hibernate,
         {"smio suspend", "d0exit PrepareForHibernation", "action 3"},
         {"d0entry PrepareForHibernation", "action 3", "smio restart"}},
        {"shutdown",
         pnp::PowerAction::Shutdown,
         {"smio suspend", "d0exit D3Final", "action 4"},
         {}},
    };
    int n = 0;
    for (const PowerCase& c : cases) {
        SCOPED_TRACE(c.label);
        inCallback = [&](const std::string& entry, WDFDEVICE device) {
            if (entry.rfind("d0", 0) == 0) {
                log("action " + std::to_string(WdfDeviceGetSystemPowerAction(device)));
            }
        };
        DEVICE_OBJECT* pdo = plug("000" + std::to_string(n++));
        // The first start is no system transition.
        EXPECT_EQ(takeLog(), (Log{"prepare", "d0entry D3Final", "action 0", "smio init"}));
        WDFDEVICE dev = device();

        ASSERT_EQ(pnp().setSystemPower(c.action), STATUS_SUCCESS);
        EXPECT_EQ(takeLog(), c.down);
        if (!c.up.empty()) {
            ASSERT_EQ(pnp().wake(), STATUS_SUCCESS);
            EXPECT_EQ(takeLog(), c.up);
            EXPECT_EQ(WdfDeviceGetSystemPowerAction(dev), PowerActionNone);
            ASSERT_EQ(pnp().remove(pdo), STATUS_SUCCESS);
        } else {
            // Nothing comes back from a shutdown; the teardown removes the device.
            EXPECT_EQ(pnp().wake(), STATUS_INVALID_DEVICE_STATE);
            restartPnp();
        }
        inCallback = nullptr;
        takeLog();
    }
}

}  // namespace
}  // namespace vel::test
