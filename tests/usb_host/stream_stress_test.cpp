// The bus in wall time: the frame engine, completions and resubmissions run on real threads
// in parallel with the test's own sends (abort, reset), as under ThreadSanitizer. One transfer
// in flight keeps the completions in order.
#include "host_fixture.h"
#include "stream.h"

namespace vel::usb::test {
namespace {

class WallTimeStream : public HostTest {
  protected:
    WallTimeStream() : HostTest(1, rt::Mode::WallTime) {}
};

TEST_F(WallTimeStream, AbortResetAndUnplugWhileStreaming) {
    auto device = plug(1, twoInterfaceLayout(512), Speed::High);
    const Pipes pipes = configure(*device);
    device->streamIn(0x82);
    for (int round = 0; round < 3; ++round) {
        StreamReader reader(fdo(), pipes.bulkIn, 16 * 1024, 1);
        rt::Event running(rt::Event::Type::ManualReset, false);
        reader.notifyAt(64 * 1024, &running);
        reader.start(UINT64_MAX);
        running.wait();
        reader.stop();
        auto abort = pipeRequest(URB_FUNCTION_ABORT_PIPE, pipes.bulkIn);
        sendUrb(fdo(), *abort);
        runtime().runUntilIdle();
        ASSERT_TRUE(abort->done);
        ASSERT_TRUE(reader.idle());
        EXPECT_EQ(reader.completions(), reader.submissions());
        EXPECT_EQ(run(*pipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipes.bulkIn)),
                  STATUS_SUCCESS);
        device->streamIn(0x82);  // the next round's reader starts the counter at 0 again
    }
    // Unplugged under a running stream: the transfer in flight comes back, once.
    StreamReader reader(fdo(), pipes.bulkIn, 16 * 1024, 1);
    rt::Event running(rt::Event::Type::ManualReset, false);
    reader.notifyAt(64 * 1024, &running);
    reader.start(UINT64_MAX);
    running.wait();
    ASSERT_EQ(hc().detach(1), STATUS_SUCCESS);
    settle();
    EXPECT_TRUE(reader.idle());
    EXPECT_EQ(reader.completions(), reader.submissions());
}

}  // namespace
}  // namespace vel::usb::test
