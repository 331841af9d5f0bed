// The parent's life: restart, removal, unplug, and two parent objects of one handset (the same
// instance number) handing the children over when the first is cleaned up.
#include "bus_fixture.h"

namespace vel::bus::test {
namespace {

// A restarted parent is already in the collection of live parents: it must neither wait for
// itself nor join twice, so it enumerates its children again at every start.
TEST_F(BusTest, RestartEnumeratesTheChildrenAgain) {
    plugPreset("union-hs");
    ASSERT_EQ(children().size(), 3u);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        restart();
        EXPECT_EQ(parent().state, pnp::DeviceState::Started);
        EXPECT_EQ(children().size(), 3u);
        EXPECT_EQ(ProbeWorld::current->deviceCount(), 3u);
    }
    // The strings and descriptors are fetched anew at each start.
    size_t configurationReads = 0;
    for (const usb::RequestRecord& r : hc().requests(1)) {
        if (r.setup.bRequest == USB_REQUEST_GET_DESCRIPTOR && r.setup.wValue >> 8 == 3 &&
            (r.setup.wValue & 0xFF) == 3) {
            ++configurationReads;
        }
    }
    EXPECT_GE(configurationReads, 4u);
}

TEST_F(BusTest, RemovalAndUnplugLeaveNothingBehind) {
    plugPreset("iad-hs");
    ASSERT_EQ(children().size(), 3u);
    EXPECT_EQ(pnp().remove(hc().pdo(1)), STATUS_SUCCESS);
    settle();
    EXPECT_EQ(ProbeWorld::current->deviceCount(), 0u);
    EXPECT_EQ(hc().detach(1), STATUS_SUCCESS);
    settle();
    plugPreset("union-fs", "0123456789", 2);
    EXPECT_EQ(children(2).size(), 3u);
    EXPECT_EQ(hc().detach(2), STATUS_SUCCESS);
    settle();
    EXPECT_EQ(ProbeWorld::current->deviceCount(), 0u);
}

// Every handset installed with the same "InstanceNumber": two live parents of "one handset".
class SharedInstanceTest : public BusTest {
  protected:
    pnp::DriverPackage busPackage() override {
        pnp::DriverPackage package = BusTest::busPackage();
        package.hardwareValues = {{"InstanceNumber", kernel::RegValue::dword(5)}};
        return package;
    }
};

TEST_F(SharedInstanceTest, SecondParentWaitsAndTakesOverAtCleanup) {
    plugPreset("union-hs", "FIRST", 1);
    ASSERT_EQ(children(1).size(), 3u);
    plugPreset("union-hs", "SECOND", 2);
    EXPECT_EQ(parent(2).state, pnp::DeviceState::Started);
    EXPECT_TRUE(children(2).empty()) << "the second parent waits for the first";

    ASSERT_EQ(hc().detach(1), STATUS_SUCCESS);
    settle();
    std::vector<pnp::DeviceInfo> kids = children(2);
    ASSERT_EQ(kids.size(), 3u);
    EXPECT_EQ(kids[0].instanceId, "SECOND_00");
    EXPECT_EQ(ProbeWorld::current->deviceCount(), 3u);
}

TEST_F(SharedInstanceTest, RestartOfTheWaitingParentKeepsWaiting) {
    plugPreset("union-hs", "FIRST", 1);
    plugPreset("union-hs", "SECOND", 2);
    restart(2);
    EXPECT_TRUE(children(2).empty());
    EXPECT_EQ(children(1).size(), 3u);
    ASSERT_EQ(hc().detach(1), STATUS_SUCCESS);
    settle();
    EXPECT_EQ(children(2).size(), 3u);
}

}  // namespace
}  // namespace vel::bus::test
