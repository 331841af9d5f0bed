// The bus's line rate in simulated time: a bulk-IN stream from a device that always has data
// reaches at least 90 % of the rate a (micro)frame's packet budget allows and never more, at
// both speeds, and two devices streaming at once share that rate.
#include "host_fixture.h"
#include "stream.h"

namespace vel::usb::test {
namespace {

struct RateCase {
    const char* name;
    Speed speed;
    uint16_t packet;
    double lineRate;  // bytes per second
    uint64_t bytes;
};

class Throughput : public HostTest, public ::testing::WithParamInterface<RateCase> {};

double rateOf(uint64_t bytes, rt::Ticks elapsed) {
    return static_cast<double>(bytes) * rt::kTicksPerSec / static_cast<double>(elapsed);
}

TEST_P(Throughput, BulkInStreamRunsAtTheLineRateAndNeverFaster) {
    const RateCase& c = GetParam();
    auto device = plug(1, twoInterfaceLayout(c.packet), c.speed);
    const Pipes pipes = configure(*device);
    device->streamIn(0x82);
    StreamReader reader(fdo(), pipes.bulkIn, 64 * 1024, 4);
    const rt::Ticks start = runtime().now();
    reader.start(c.bytes);
    runtime().runUntilIdle();
    ASSERT_TRUE(reader.idle());
    ASSERT_GE(reader.bytes(), c.bytes);
    const double rate = rateOf(reader.bytes(), reader.lastCompletion() - start);
    EXPECT_GE(rate, 0.9 * c.lineRate);
    EXPECT_LE(rate, c.lineRate);
}

INSTANTIATE_TEST_SUITE_P(Speeds, Throughput,
                         ::testing::Values(RateCase{"High", Speed::High, 512, 53.248e6, 8 << 20},
                                           RateCase{"Full", Speed::Full, 64, 1.216e6, 1 << 20}),
                         [](const auto& info) { return std::string(info.param.name); });

class SharedBus : public HostTest {};

TEST_F(SharedBus, TwoStreamsShareTheLineRate) {
    auto first = plug(1, twoInterfaceLayout(512), Speed::High);
    auto second = plug(2, twoInterfaceLayout(512), Speed::High);
    const Pipes a = configure(*first, 1);
    const Pipes b = configure(*second, 2);
    first->streamIn(0x82);
    second->streamIn(0x82);
    StreamReader readerA(fdo(1), a.bulkIn, 64 * 1024, 2);
    StreamReader readerB(fdo(2), b.bulkIn, 64 * 1024, 2);
    const rt::Ticks start = runtime().now();
    readerA.start(4 << 20);
    readerB.start(4 << 20);
    runtime().runUntilIdle();
    const rt::Ticks end = std::max(readerA.lastCompletion(), readerB.lastCompletion());
    const double rate = rateOf(readerA.bytes() + readerB.bytes(), end - start);
    EXPECT_LE(rate, 53.248e6);
    EXPECT_GE(rate, 0.9 * 53.248e6);
    // Round robin between the endpoints: neither stream starves.
    EXPECT_NEAR(static_cast<double>(readerA.bytes()), static_cast<double>(readerB.bytes()),
                0.1 * readerA.bytes());
}

}  // namespace
}  // namespace vel::usb::test
