// Bus relations that change: children that leave are surprise-removed, new ones installed;
// IoInvalidateDeviceRelations works from dispatch level; settle() waits for what it queued.
#include "pnp_fixture.h"

namespace vel::pnp::test {
namespace {

using Log = std::vector<std::string>;

const std::string kBus = "ROOT\\BUS\\0000";
const std::string kA = "TOY\\A\\1";
const std::string kB = "TOY\\B\\1";
const std::string kN = "TOY\\N\\1";

class Relations : public PnpTest {
  protected:
    DEVICE_OBJECT* plugBus(std::vector<ChildDescription> children) {
        addBusPackage("toybus", {"ROOT\\BUS"});
        addFunctionPackage("toyfn", {"TOY_A", "TOY_B", "TOY_N"});
        world().setChildren(kBus, std::move(children));
        DEVICE_OBJECT* bus = plugRoot("BUS");
        world().clearLog();
        return bus;
    }

    // As a bus driver does from its interrupt path: invalidate from a DPC, then let it run.
    void invalidateFromDpc(DEVICE_OBJECT* bus) {
        runtime().queueDpc([bus] { IoInvalidateDeviceRelations(bus, BusRelations); });
        runtime().runUntilIdle();
    }

    std::vector<std::string> childPaths(DEVICE_OBJECT* bus) {
        std::vector<std::string> paths;
        const DeviceInfo info = *pnp().device(bus);
        for (const DeviceInfo& c : info.children) {
            paths.push_back(c.instancePath + " " + toString(c.state));
        }
        return paths;
    }
};

TEST_F(Relations, ChildThatLeavesIsSurpriseRemovedAndItsSiblingStays) {
    DEVICE_OBJECT* bus = plugBus({child("A", {"TOY_A"}), child("B", {"TOY_B"})});
    world().setPresent(kBus, kA, false);
    invalidateFromDpc(bus);
    EXPECT_EQ(world().log(), (Log{kA + " SURPRISE_REMOVAL", kA + " REMOVE", kA + " pdo deleted"}));
    EXPECT_EQ(childPaths(bus), (Log{kB + " started"}));
}

TEST_F(Relations, NewChildIsInstalledAndStartedAfterItsSiblings) {
    DEVICE_OBJECT* bus = plugBus({child("A", {"TOY_A"})});
    world().setChildren(kBus, {child("A", {"TOY_A"}), child("N", {"TOY_N"})});
    invalidateFromDpc(bus);
    EXPECT_EQ(world().log(), (Log{kN + " AddDevice", kN + " START"}));
    EXPECT_EQ(childPaths(bus), (Log{kA + " started", kN + " started"}));
}

TEST_F(Relations, LeavingAndArrivingInOneEnumeration) {
    DEVICE_OBJECT* bus = plugBus({child("A", {"TOY_A"}), child("B", {"TOY_B"})});
    std::vector<ChildDescription> now = world().children(kBus);
    now[0].present = false;
    now.push_back(child("N", {"TOY_N"}));
    world().setChildren(kBus, now);
    invalidateFromDpc(bus);
    EXPECT_EQ(world().log(), (Log{kA + " SURPRISE_REMOVAL", kA + " REMOVE", kA + " pdo deleted",
                                  kN + " AddDevice", kN + " START"}));
    EXPECT_EQ(childPaths(bus), (Log{kB + " started", kN + " started"}));

    // The same child returning is a new device node with a new PDO, installed again.
    world().setPresent(kBus, kA, true);
    world().clearLog();
    invalidateFromDpc(bus);
    EXPECT_EQ(world().log(), (Log{kA + " AddDevice", kA + " START"}));
}

TEST_F(Relations, ChildWithoutADriverStaysInTheTreeAndIsRemovedWhenItLeaves) {
    DEVICE_OBJECT* bus = plugBus({child("A", {"TOY_A"}), child("X", {"TOY_UNKNOWN"})});
    EXPECT_EQ(childPaths(bus), (Log{kA + " started", "TOY\\X\\1 no driver"}));
    world().setPresent(kBus, "TOY\\X\\1", false);
    invalidateFromDpc(bus);
    // Never started: no surprise removal, only the REMOVE_DEVICE its bus deletes the PDO on.
    EXPECT_EQ(world().log(), (Log{"TOY\\X\\1 pdo deleted"}));
    EXPECT_EQ(childPaths(bus), (Log{kA + " started"}));
}

TEST_F(Relations, InvalidationIsIgnoredForDevicesNotStarted) {
    DEVICE_OBJECT* bus = plugBus({child("A", {"TOY_A"})});
    world().setPresent(kBus, kA, false);
    IoInvalidateDeviceRelations(bus, BusRelations);
    pnp().settle();
    EXPECT_EQ(world().log(),
              (Log{kA + " SURPRISE_REMOVAL", kA + " REMOVE", kA + " pdo deleted", "toyfn Unload"}));

    // A stopped bus is not asked; its children stay until it runs again.
    ASSERT_EQ(pnp().stop(bus), STATUS_SUCCESS);
    world().setPresent(kBus, kA, true);
    world().clearLog();
    IoInvalidateDeviceRelations(bus, BusRelations);
    IoInvalidateDeviceRelations(bus, RemovalRelations);
    pnp().settle();
    EXPECT_TRUE(world().log().empty());
    ASSERT_EQ(pnp().start(bus), STATUS_SUCCESS);
    EXPECT_EQ(world().log(),
              (Log{kBus + " START", "toyfn DriverEntry", kA + " AddDevice", kA + " START"}));
}

TEST_F(Relations, QueryInterfaceReachesTheBusPdoThroughTheFunctionDriver) {
    DEVICE_OBJECT* bus = plugBus({child("A", {"TOY_A"})});
    DEVICE_OBJECT* a = pnp().device(bus)->children.at(0).pdo;
    INTERFACE iface{};
    EXPECT_EQ(
        pnp().queryInterface(a, kToyInterface, sizeof iface, kToyInterfaceVersion, &iface, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(iface.Version, kToyInterfaceVersion);
    EXPECT_EQ(iface.Context, a);
    EXPECT_EQ(pnp().queryInterface(a, kToyInterface, sizeof iface, 1, &iface, nullptr),
              STATUS_INVALID_BUFFER_SIZE);
    const GUID other = {0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(pnp().queryInterface(a, other, sizeof iface, 1, &iface, nullptr),
              STATUS_NOT_SUPPORTED);
}

}  // namespace
}  // namespace vel::pnp::test
