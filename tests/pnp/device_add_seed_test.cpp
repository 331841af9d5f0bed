// Devices of one driver arriving at the same time from different contexts, under many
// scheduler seeds: their AddDevice calls never overlap and every device starts.
#include "pnp_fixture.h"

namespace vel::pnp::test {
namespace {

class ConcurrentArrivals : public PnpTest, public ::testing::WithParamInterface<uint64_t> {
  protected:
    ConcurrentArrivals() : PnpTest(GetParam()) {}
};

TEST_P(ConcurrentArrivals, AddDeviceOfOneDriverIsSerialised) {
    addFunctionPackage("toyfn", {"ROOT\\FN"});
    constexpr int kDevices = 3;
    std::vector<DEVICE_OBJECT*> pdos(kDevices, nullptr);
    std::vector<rt::Context*> arrivals;
    for (int i = 0; i < kDevices; ++i) {
        arrivals.push_back(
            &runtime().spawn("arrival-" + std::to_string(i), rt::ContextKind::Application,
                             [this, &pdos, i] { pdos[i] = plugRoot("FN", std::to_string(i)); }));
    }
    for (rt::Context* arrival : arrivals) {
        runtime().join(*arrival);
    }
    EXPECT_EQ(world().maxAddsAtOnce(), 1);
    EXPECT_EQ(world().logWith("AddDevice").size(), static_cast<size_t>(kDevices));
    for (DEVICE_OBJECT* pdo : pdos) {
        ASSERT_NE(pdo, nullptr);
        EXPECT_EQ(stateOf(pdo), DeviceState::Started);
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ConcurrentArrivals, ::testing::Range<uint64_t>(1, 51));

}  // namespace
}  // namespace vel::pnp::test
