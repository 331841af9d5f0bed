// A high-speed bulk-IN stream with two readers, aborted in the middle at a seeded moment, then
// reset and restarted, under many scheduler seeds: every transfer is given back exactly once,
// aborted ones as cancelled with the bytes they had, and the stream's bytes arrive in order
// with none lost or repeated.
#include "host_fixture.h"
#include "stream.h"

namespace vel::usb::test {
namespace {

class StreamAbort : public HostTest, public ::testing::WithParamInterface<uint64_t> {
  protected:
    StreamAbort() : HostTest(GetParam()) {}
};

TEST_P(StreamAbort, AbortInTheMiddleLosesNothing) {
    auto device = plug(1, twoInterfaceLayout(512), Speed::High);
    const Pipes pipes = configure(*device);
    device->streamIn(0x82);
    StreamReader reader(fdo(), pipes.bulkIn, 16 * 1024, 2);
    auto abort = pipeRequest(URB_FUNCTION_ABORT_PIPE, pipes.bulkIn);
    // Within the first 3 ms: on a microframe boundary for even seeds (racing the frame's own
    // timer), anywhere for odd ones.
    const uint64_t seed = GetParam();
    const rt::Ticks base = (runtime().now() / rt::kTicksPerMs + 1) * rt::kTicksPerMs;
    const rt::Ticks offset =
        static_cast<rt::Ticks>(seed % 2 == 0 ? seed % 16 * 1250 : seed * 797 % 19000);
    const rt::Ticks at = base + offset;
    DEVICE_OBJECT* function = fdo();
    runtime().armTimer(at, [&] {
        reader.stop();
        sendUrb(function, *abort);
    });
    reader.start(UINT64_MAX);
    runtime().runUntilIdle();
    ASSERT_TRUE(abort->done);
    EXPECT_EQ(abort->status, STATUS_SUCCESS);
    ASSERT_TRUE(reader.idle());
    EXPECT_EQ(reader.completions(), reader.submissions());
    EXPECT_GT(reader.bytes(), 0u);
    EXPECT_LE(reader.cancelled(), 2u);
    // Nothing the device sent was dropped: the reader saw every byte streamed.
    EXPECT_EQ(reader.bytes(), device->streamed(0x82));

    // Reset and read on: the stream continues where it stopped.
    ASSERT_EQ(run(*pipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipes.bulkIn)),
              STATUS_SUCCESS);
    const uint64_t before = reader.bytes();
    reader.start(before + 256 * 1024);
    runtime().runUntilIdle();
    ASSERT_TRUE(reader.idle());
    EXPECT_GE(reader.bytes(), before + 256 * 1024);
    EXPECT_EQ(reader.bytes(), device->streamed(0x82));
}

INSTANTIATE_TEST_SUITE_P(Seeds, StreamAbort, ::testing::Range<uint64_t>(1, 25));

}  // namespace
}  // namespace vel::usb::test
