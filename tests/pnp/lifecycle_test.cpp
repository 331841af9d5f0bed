// State changes of started devices: start, stop and restart, query vetoes, orderly removal and
// surprise removal of subtrees, failed starts.
#include "pnp_fixture.h"

namespace vel::pnp::test {
namespace {

using Log = std::vector<std::string>;

const std::string kBus = "ROOT\\BUS\\0000";
const std::string kA = "TOY\\A\\1";
const std::string kB = "TOY\\B\\1";
const std::string kSub = "TOY\\SUB\\1";
const std::string kC = "TOY\\C\\1";

// ROOT\BUS with children A and B (function driver), optionally a sub-bus with child C.
class Lifecycle : public PnpTest {
  protected:
    explicit Lifecycle(rt::Mode mode = rt::Mode::Simulated) : PnpTest(1, mode) {}

    DEVICE_OBJECT* plugTree(bool withSubBus = false) {
        addBusPackage("toybus", {"ROOT\\BUS", "TOY_SUB"});
        addFunctionPackage("toyfn", {"TOY_A", "TOY_B", "TOY_C"});
        std::vector<ChildDescription> children = {child("A", {"TOY_A"}), child("B", {"TOY_B"})};
        if (withSubBus) {
            children.insert(children.begin(), child("SUB", {"TOY_SUB"}));
            world().setChildren(kSub, {child("C", {"TOY_C"})});
        }
        world().setChildren(kBus, children);
        DEVICE_OBJECT* bus = plugRoot("BUS");
        world().clearLog();
        return bus;
    }

    DEVICE_OBJECT* pdoOf(const std::string& instancePath) {
        for (const DeviceInfo& top : pnp().tree()) {
            if (DEVICE_OBJECT* pdo = find(top, instancePath)) {
                return pdo;
            }
        }
        return nullptr;
    }

  private:
    static DEVICE_OBJECT* find(const DeviceInfo& info, const std::string& instancePath) {
        if (info.instancePath == instancePath) {
            return info.pdo;
        }
        for (const DeviceInfo& c : info.children) {
            if (DEVICE_OBJECT* pdo = find(c, instancePath)) {
                return pdo;
            }
        }
        return nullptr;
    }
};

TEST_F(Lifecycle, PlugAddsAndStartsParentsBeforeTheirChildren) {
    addBusPackage("toybus", {"ROOT\\BUS"});
    addFunctionPackage("toyfn", {"TOY_A", "TOY_B"});
    world().setChildren(kBus, {child("A", {"TOY_A"}), child("B", {"TOY_B"})});
    DEVICE_OBJECT* bus = plugRoot("BUS");
    EXPECT_EQ(world().log(),
              (Log{"toybus DriverEntry", kBus + " AddDevice", kBus + " START", "toyfn DriverEntry",
                   kA + " AddDevice", kA + " START", kB + " AddDevice", kB + " START"}));
    const DeviceInfo info = *pnp().device(bus);
    ASSERT_EQ(info.children.size(), 2u);
    for (const DeviceInfo& c : info.children) {
        EXPECT_EQ(c.state, DeviceState::Started) << c.instancePath;
        EXPECT_EQ(c.power, PowerDeviceD0);
    }
}

TEST_F(Lifecycle, StopAndRestart) {
    plugTree();
    DEVICE_OBJECT* a = pdoOf(kA);
    ASSERT_EQ(pnp().stop(a), STATUS_SUCCESS);
    EXPECT_EQ(stateOf(a), DeviceState::Stopped);
    ASSERT_EQ(pnp().start(a), STATUS_SUCCESS);
    EXPECT_EQ(stateOf(a), DeviceState::Started);
    EXPECT_EQ(world().log(), (Log{kA + " QUERY_STOP", kA + " STOP", kA + " START"}));
}

TEST_F(Lifecycle, StoppingABusLeavesItsChildrenStarted) {
    DEVICE_OBJECT* bus = plugTree();
    ASSERT_EQ(pnp().stop(bus), STATUS_SUCCESS);
    EXPECT_EQ(world().log(), (Log{kBus + " QUERY_STOP", kBus + " STOP"}));
    EXPECT_EQ(stateOf(pdoOf(kA)), DeviceState::Started);
    // Restarting re-enumerates: the same children, nothing new.
    ASSERT_EQ(pnp().start(bus), STATUS_SUCCESS);
    EXPECT_EQ(world().log().back(), kBus + " START");
    EXPECT_EQ(pnp().device(bus)->children.size(), 2u);
}

TEST_F(Lifecycle, FailedQueryStopVetoesAndIsCancelled) {
    plugTree();
    DEVICE_OBJECT* a = pdoOf(kA);
    world().setFaults(kA, Faults{.queryStop = STATUS_DEVICE_BUSY});
    EXPECT_EQ(pnp().stop(a), STATUS_DEVICE_BUSY);
    EXPECT_EQ(stateOf(a), DeviceState::Started);
    EXPECT_EQ(world().log(), (Log{kA + " QUERY_STOP", kA + " CANCEL_STOP"}));
}

TEST_F(Lifecycle, CallsInTheWrongStateOrForUnknownDevicesAreRefused) {
    DEVICE_OBJECT* bus = plugTree();
    DEVICE_OBJECT* a = pdoOf(kA);
    EXPECT_EQ(pnp().start(a), STATUS_INVALID_DEVICE_STATE);  // already started
    ASSERT_EQ(pnp().stop(a), STATUS_SUCCESS);
    EXPECT_EQ(pnp().stop(a), STATUS_INVALID_DEVICE_STATE);
    for (DEVICE_OBJECT* unknown : {static_cast<DEVICE_OBJECT*>(nullptr), bus + 1}) {
        EXPECT_EQ(pnp().stop(unknown), STATUS_NO_SUCH_DEVICE);
        EXPECT_EQ(pnp().start(unknown), STATUS_NO_SUCH_DEVICE);
        EXPECT_EQ(pnp().remove(unknown), STATUS_NO_SUCH_DEVICE);
        EXPECT_EQ(pnp().unplugRootDevice(unknown), STATUS_NO_SUCH_DEVICE);
    }
    EXPECT_EQ(pnp().unplugRootDevice(a), STATUS_NO_SUCH_DEVICE);  // not a root device
    EXPECT_EQ(world().log(), (Log{kA + " QUERY_STOP", kA + " STOP"}));
}

TEST_F(Lifecycle, RemovalQueriesAndRemovesChildrenFirst) {
    DEVICE_OBJECT* bus = plugTree(/*withSubBus=*/true);
    ASSERT_EQ(pnp().remove(bus), STATUS_SUCCESS);
    EXPECT_EQ(world().log(),
              (Log{kC + " QUERY_REMOVE", kSub + " QUERY_REMOVE", kA + " QUERY_REMOVE",
                   kB + " QUERY_REMOVE", kBus + " QUERY_REMOVE",
                   // The bus drivers delete the PDOs of their children when they go themselves.
                   kC + " REMOVE", kSub + " REMOVE", kC + " pdo deleted", kA + " REMOVE",
                   kB + " REMOVE", "toyfn Unload", kBus + " REMOVE", kSub + " pdo deleted",
                   kA + " pdo deleted", kB + " pdo deleted", "toybus Unload"}));
    EXPECT_TRUE(pnp().tree().empty());
    EXPECT_FALSE(pnp().device(bus).has_value());
}

TEST_F(Lifecycle, FailedQueryRemoveVetoesAndEveryQueriedDeviceGetsTheCancel) {
    DEVICE_OBJECT* bus = plugTree();
    world().setFaults(kB, Faults{.queryRemove = STATUS_DEVICE_BUSY});
    EXPECT_EQ(pnp().remove(bus), STATUS_DEVICE_BUSY);
    EXPECT_EQ(world().log(), (Log{kA + " QUERY_REMOVE", kB + " QUERY_REMOVE", kB + " CANCEL_REMOVE",
                                  kA + " CANCEL_REMOVE"}));
    EXPECT_EQ(stateOf(bus), DeviceState::Started);
    EXPECT_EQ(stateOf(pdoOf(kB)), DeviceState::Started);
}

TEST_F(Lifecycle, RemovingOneChildLeavesItsSiblingsAndItComesBackAtTheNextEnumeration) {
    DEVICE_OBJECT* bus = plugTree();
    ASSERT_EQ(pnp().remove(pdoOf(kA)), STATUS_SUCCESS);
    EXPECT_EQ(world().log(), (Log{kA + " QUERY_REMOVE", kA + " REMOVE"}));
    EXPECT_EQ(pnp().device(bus)->children.size(), 1u);
    EXPECT_TRUE(framework().isLoaded("toyfn"));  // B still uses it

    // The bus still reports A (its PDO was kept): a new enumeration installs it again.
    world().clearLog();
    IoInvalidateDeviceRelations(bus, BusRelations);
    pnp().settle();
    EXPECT_EQ(world().log(), (Log{kA + " AddDevice", kA + " START"}));
}

TEST_F(Lifecycle, UnplugSurpriseRemovesTheSubtreeThenRemovesItChildrenFirst) {
    DEVICE_OBJECT* bus = plugTree(/*withSubBus=*/true);
    ASSERT_EQ(pnp().unplugRootDevice(bus), STATUS_SUCCESS);
    EXPECT_EQ(
        world().log(),
        (Log{kC + " SURPRISE_REMOVAL", kSub + " SURPRISE_REMOVAL", kA + " SURPRISE_REMOVAL",
             kB + " SURPRISE_REMOVAL", kBus + " SURPRISE_REMOVAL", kC + " REMOVE", kSub + " REMOVE",
             kC + " pdo deleted", kA + " REMOVE", kB + " REMOVE", "toyfn Unload", kBus + " REMOVE",
             kSub + " pdo deleted", kA + " pdo deleted", kB + " pdo deleted", "toybus Unload"}));
    EXPECT_TRUE(pnp().tree().empty());
}

TEST_F(Lifecycle, StoppedDeviceIsSurpriseRemovedToo) {
    DEVICE_OBJECT* bus = plugTree();
    ASSERT_EQ(pnp().stop(pdoOf(kA)), STATUS_SUCCESS);
    world().clearLog();
    ASSERT_EQ(pnp().unplugRootDevice(bus), STATUS_SUCCESS);
    EXPECT_EQ(
        world().logWith("SURPRISE_REMOVAL"),
        (Log{kA + " SURPRISE_REMOVAL", kB + " SURPRISE_REMOVAL", kBus + " SURPRISE_REMOVAL"}));
}

TEST_F(Lifecycle, FailedStartRemovesTheStackAndKeepsTheNodeWithItsProblem) {
    addBusPackage("toybus", {"ROOT\\BUS"});
    addFunctionPackage("toyfn", {"TOY_A"});
    world().setChildren(kBus, {child("A", {"TOY_A"})});
    world().setFaults(kA, Faults{.start = STATUS_DEVICE_POWER_FAILURE});
    DEVICE_OBJECT* bus = plugRoot("BUS");
    EXPECT_EQ(world().logWith(kA), (Log{kA + " AddDevice", kA + " START", kA + " REMOVE"}));
    const DeviceInfo a = pnp().device(bus)->children.at(0);
    EXPECT_EQ(a.state, DeviceState::StartFailed);
    EXPECT_EQ(a.problem, STATUS_DEVICE_POWER_FAILURE);
    EXPECT_FALSE(framework().isLoaded("toyfn"));
    // Its PDO is still reported and still in the tree; the stack is not started again.
    EXPECT_EQ(pnp().stop(a.pdo), STATUS_INVALID_DEVICE_STATE);
    world().clearLog();
    ASSERT_EQ(pnp().unplugRootDevice(bus), STATUS_SUCCESS);
    EXPECT_EQ(world().log(), (Log{kBus + " SURPRISE_REMOVAL", kBus + " REMOVE", kA + " pdo deleted",
                                  "toybus Unload"}));
}

TEST_F(Lifecycle, FailedBusStartEnumeratesNothing) {
    addBusPackage("toybus", {"ROOT\\BUS"});
    addFunctionPackage("toyfn", {"TOY_A"});
    world().setChildren(kBus, {child("A", {"TOY_A"})});
    world().setFaults(kBus, Faults{.start = STATUS_UNSUCCESSFUL});
    DEVICE_OBJECT* bus = plugRoot("BUS");
    EXPECT_EQ(stateOf(bus), DeviceState::StartFailed);
    EXPECT_TRUE(pnp().device(bus)->children.empty());
    EXPECT_TRUE(world().logWith(kA).empty());
}

// The same conversation with contexts on real threads: the PnP context does the work while the
// caller waits, and an invalidation queued from a DPC is picked up.
class WallTimeLifecycle : public Lifecycle {
  protected:
    WallTimeLifecycle() : Lifecycle(rt::Mode::WallTime) {}
};

TEST_F(WallTimeLifecycle, PlugChangeAndUnplug) {
    DEVICE_OBJECT* bus = plugTree(/*withSubBus=*/true);
    ASSERT_EQ(pnp().stop(pdoOf(kA)), STATUS_SUCCESS);
    ASSERT_EQ(pnp().start(pdoOf(kA)), STATUS_SUCCESS);
    world().setPresent(kBus, kB, false);
    runtime().queueDpc([bus] { IoInvalidateDeviceRelations(bus, BusRelations); });
    runtime().runUntilIdle();  // the DPC has run and queued the work
    pnp().settle();
    EXPECT_EQ(world().log(), (Log{kA + " QUERY_STOP", kA + " STOP", kA + " START",
                                  kB + " SURPRISE_REMOVAL", kB + " REMOVE", kB + " pdo deleted"}));
    ASSERT_EQ(pnp().unplugRootDevice(bus), STATUS_SUCCESS);
    EXPECT_TRUE(pnp().tree().empty());
}

}  // namespace
}  // namespace vel::pnp::test
