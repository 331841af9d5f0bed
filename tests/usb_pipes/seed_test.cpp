// The continuous reader under many scheduler seeds: a full-speed stream read with three reads in
// flight, stopped and started at points the seed decides, must arrive whole and in order, with
// nothing left behind (the fixture checks violations and pool blocks).
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
    for (int cycle = 0; cycle < 3; ++cycle) {
        // Between 2 and 9 ms of streaming, then a stop that cancels reads in flight.
        const rt::Ticks run = (2 + (GetParam() * 7 + cycle * 3) % 8) * rt::kTicksPerSec / 1000;
        runtime().runUntilIdle(runtime().now() + run);
        WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
        settle();
        ASSERT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
    }
    runtime().runUntilIdle(runtime().now() + rt::kTicksPerSec / 1000);
    WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
    settle();

    std::lock_guard lock(d.mutex);
    ASSERT_FALSE(d.reads.empty());
    EXPECT_TRUE(d.failures.empty());
    uint64_t bytes = 0;
    for (const ReadRecord& r : d.reads) {
        for (size_t i = 0; i < r.length; ++i) {
            ASSERT_EQ(r.whole[i], static_cast<uint8_t>(bytes + i)) << "stream byte " << bytes + i;
        }
        bytes += r.length;
    }
    // Whatever a cancelled read had taken from the device was not delivered: the reader reports
    // only successful reads, so what arrived is a prefix of what the device sent.
    EXPECT_LE(bytes, device->streamed(0x82));
}

INSTANTIATE_TEST_SUITE_P(Seeds, ReaderSeeds, ::testing::Range<uint64_t>(1, 51));

}  // namespace
}  // namespace vel::usbpipe::test
