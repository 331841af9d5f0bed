// Plug, start, enumerate and remove under many scheduler seeds: the same tree every time and
// no verifier violation (TearDown checks).
#include "bus_fixture.h"

namespace vel::bus::test {
namespace {

class BusSeedTest : public BusTest, public ::testing::WithParamInterface<uint64_t> {
  protected:
    BusSeedTest() : BusTest(GetParam()) {}
};

TEST_P(BusSeedTest, PlugEnumerateRemove) {
    plugPreset("union-hs");
    EXPECT_EQ(children().size(), 3u);
    restart();
    EXPECT_EQ(children().size(), 3u);
    plugPreset("iad-fs", "OTHER", 2);
    EXPECT_EQ(children(2).size(), 3u);
    EXPECT_EQ(pnp().remove(hc().pdo(1)), STATUS_SUCCESS);
    settle();
    ASSERT_EQ(hc().detach(1), STATUS_SUCCESS);
    ASSERT_EQ(hc().detach(2), STATUS_SUCCESS);
    settle();
    EXPECT_EQ(ProbeWorld::current->deviceCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, BusSeedTest, ::testing::Range<uint64_t>(1, 51));

}  // namespace
}  // namespace vel::bus::test
