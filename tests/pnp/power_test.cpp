// System power actions: the system IRP then the device IRP to every started device, children
// before parents going down and parents before children coming back, with the action in
// ShutdownType throughout.
#include "pnp_fixture.h"

namespace vel::pnp::test {
namespace {

using Log = std::vector<std::string>;

const std::string kBus = "ROOT\\BUS\\0000";
const std::string kA = "TOY\\A\\1";

struct ActionCase {
    const char* name;
    PowerAction action;
    const char* systemState;  // as the toy driver prints it
    const char* actionName;
    SYSTEM_POWER_STATE reported;
    bool canWake;
};

class SystemPower : public PnpTest, public ::testing::WithParamInterface<ActionCase> {
  protected:
    DEVICE_OBJECT* plugBus(ChildDescription a) {
        addBusPackage("toybus", {"ROOT\\BUS"});
        addFunctionPackage("toyfn", {"TOY_A"});
        world().setChildren(kBus, {std::move(a)});
        DEVICE_OBJECT* bus = plugRoot("BUS");
        world().clearLog();
        return bus;
    }
};

TEST_P(SystemPower, DownChildrenFirstAndBackParentsFirst) {
    const ActionCase& c = GetParam();
    DEVICE_OBJECT* bus = plugBus(child("A", {"TOY_A"}));
    ASSERT_EQ(pnp().setSystemPower(c.action), STATUS_SUCCESS);
    const std::string s = c.systemState;
    const std::string act = c.actionName;
    EXPECT_EQ(world().log(),
              (Log{kA + " SET_POWER " + s + " " + act, kA + " SET_POWER D3 " + act,
                   kBus + " SET_POWER " + s + " " + act, kBus + " SET_POWER D3 " + act}));
    EXPECT_EQ(pnp().systemPowerState(), c.reported);
    EXPECT_EQ(pnp().device(bus)->power, PowerDeviceD3);
    EXPECT_EQ(pnp().setSystemPower(PowerAction::Sleep), STATUS_INVALID_DEVICE_STATE);

    world().clearLog();
    if (!c.canWake) {
        EXPECT_EQ(pnp().wake(), STATUS_INVALID_DEVICE_STATE);
        EXPECT_TRUE(world().log().empty());
        return;
    }
    ASSERT_EQ(pnp().wake(), STATUS_SUCCESS);
    EXPECT_EQ(world().log(), (Log{kBus + " SET_POWER S0 " + act, kBus + " SET_POWER D0 " + act,
                                  kA + " SET_POWER S0 " + act, kA + " SET_POWER D0 " + act}));
    EXPECT_EQ(pnp().systemPowerState(), PowerSystemWorking);
    EXPECT_EQ(pnp().device(bus)->children.at(0).power, PowerDeviceD0);
}

INSTANTIATE_TEST_SUITE_P(Actions, SystemPower,
                         ::testing::Values(ActionCase{"Sleep", PowerAction::Sleep, "S3", "sleep",
                                                      PowerSystemSleeping3, true},
                                           ActionCase{"Hibernate", PowerAction::Hibernate, "S4",
                                                      "hibernate", PowerSystemHibernate, true},
                                           ActionCase{"Shutdown", PowerAction::Shutdown, "S5",
                                                      "shutdown", PowerSystemShutdown, false}),
                         [](const auto& info) { return std::string(info.param.name); });

class DevicePower : public SystemPower {};

TEST_F(DevicePower, DeviceStateFollowsTheCapabilitiesMapping) {
    ChildDescription a = child("A", {"TOY_A"});
    a.sleepState = PowerDeviceD2;
    DEVICE_OBJECT* bus = plugBus(a);
    ASSERT_EQ(pnp().setSystemPower(PowerAction::Sleep), STATUS_SUCCESS);
    EXPECT_EQ(world().logWith(kA), (Log{kA + " SET_POWER S3 sleep", kA + " SET_POWER D2 sleep"}));
    EXPECT_EQ(pnp().device(bus)->children.at(0).power, PowerDeviceD2);
    // Hibernation is not mapped by this device: D3.
    ASSERT_EQ(pnp().wake(), STATUS_SUCCESS);
    world().clearLog();
    ASSERT_EQ(pnp().setSystemPower(PowerAction::Hibernate), STATUS_SUCCESS);
    EXPECT_EQ(world().logWith(kA),
              (Log{kA + " SET_POWER S4 hibernate", kA + " SET_POWER D3 hibernate"}));
    ASSERT_EQ(pnp().wake(), STATUS_SUCCESS);
}

TEST_F(DevicePower, OnlyStartedDevicesTakePartAndWakeIsRefusedWhileWorking) {
    DEVICE_OBJECT* bus = plugBus(child("A", {"TOY_A"}));
    EXPECT_EQ(pnp().wake(), STATUS_INVALID_DEVICE_STATE);
    DEVICE_OBJECT* a = pnp().device(bus)->children.at(0).pdo;
    ASSERT_EQ(pnp().stop(a), STATUS_SUCCESS);
    world().clearLog();
    ASSERT_EQ(pnp().setSystemPower(PowerAction::Sleep), STATUS_SUCCESS);
    ASSERT_EQ(pnp().wake(), STATUS_SUCCESS);
    EXPECT_TRUE(world().logWith(kA).empty());
    EXPECT_EQ(world().logWith("SET_POWER").size(), 4u);  // the bus: down and up
    EXPECT_EQ(stateOf(a), DeviceState::Stopped);
}

}  // namespace
}  // namespace vel::pnp::test
