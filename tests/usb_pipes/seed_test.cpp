// The continuous reader under many scheduler seeds: a full-speed stream read with three reads in
// flight, stopped and started at points the seed decides. Between two stops the stream arrives
// whole and in order; a stop may lose what a cancelled read had taken from the device (the reader
// reports only successful reads), never more than the reads in flight could hold. Nothing is
// left behind (the fixture checks violations and pool blocks).
#include "pipe_fixture.h"

namespace vel::usbpipe::test {
namespace {

class ReaderSeeds : public PipeTest, public ::testing::WithParamInterface<uint64_t> {
  protected:
    ReaderSeeds() : PipeTest(GetParam()) {}
};

TEST_P(ReaderSeeds, StreamSurvivesStopsAndStartsInOrder) {
    DriverState& d = driver();
    d.readerPipe = &d.bulkIn;
    d.readerConfig = readerConfig(512, 3);
    auto device = plug();
    ASSERT_EQ(d.readerStatus, STATUS_SUCCESS);
    device->streamIn(0x82);
    const WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(d.bulkIn);
    // How many reads had been delivered at each stop.
    std::vector<size_t> stops;
    auto stop = [&] {
        WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
        settle();
        std::lock_guard lock(d.mutex);
        stops.push_back(d.reads.size());
    };
    for (int cycle = 0; cycle < 3; ++cycle) {
        // Between 2 and 9 ms of streaming, then a stop that cancels reads in flight.
        const rt::Ticks run = (2 + (GetParam() * 7 + cycle * 3) % 8) * rt::kTicksPerSec / 1000;
        runtime().runUntilIdle(runtime().now() + run);
        stop();
        ASSERT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
    }
    runtime().runUntilIdle(runtime().now() + rt::kTicksPerSec / 1000);
    stop();

    std::lock_guard lock(d.mutex);
    EXPECT_TRUE(d.failures.empty());
    uint64_t bytes = 0;
    size_t from = 0;
    for (size_t segment = 0; segment < stops.size(); ++segment) {
        SCOPED_TRACE(testing::Message() << "run " << segment);
        ASSERT_GT(stops[segment], from) << "nothing read between a start and a stop";
        // The stream starts at 0; after a stop it goes on wherever the device got to.
        uint8_t next = segment == 0 ? 0 : d.reads[from].whole[0];
        for (size_t n = from; n < stops[segment]; ++n) {
            const ReadRecord& r = d.reads[n];
            ASSERT_LE(r.length, 512u);
            for (size_t i = 0; i < r.length; ++i, ++next) {
                ASSERT_EQ(r.whole[i], next) << "read " << n << " byte " << i;
            }
            bytes += r.length;
        }
        from = stops[segment];
    }
    const uint64_t streamed = device->streamed(0x82);
    EXPECT_LE(bytes, streamed);
    EXPECT_GE(bytes + stops.size() * 3 * 512, streamed) << "more lost than was in flight";
}

INSTANTIATE_TEST_SUITE_P(Seeds, ReaderSeeds, ::testing::Range<uint64_t>(1, 51));

}  // namespace
}  // namespace vel::usbpipe::test
