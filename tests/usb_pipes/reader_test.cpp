// The continuous reader through the framework: configuration checks, no reads before the pipe is
// started, data in order in zeroed buffers with header and trailer space, failures (cancelled
// or stalled reads) with each answer of the readers-failed callback, stop/start cycles, a buffer
// that cannot be had, unplug, and a high-speed stream at the bus's line rate.
#include <algorithm>
#include <numeric>

#include "pipe_fixture.h"
#include "vel/runtime/faults.h"

namespace vel::usbpipe::test {
namespace {

class Reader : public PipeTest {
  protected:
    // Plugs the device with a reader of `config` on the bulk IN pipe (started at D0 entry unless
    // `start` is false).
    std::shared_ptr<TestDevice> plugWithReader(WDF_USB_CONTINUOUS_READER_CONFIG config,
                                               bool start = true, uint16_t packet = 64,
                                               Speed speed = Speed::Full) {
        DriverState& d = driver();
        d.readerPipe = &d.bulkIn;
        d.readerConfig = config;
        d.startAtD0 = start;
        auto device = plug(packet, speed);
        EXPECT_EQ(d.readerStatus, STATUS_SUCCESS);
        return device;
    }
    static std::vector<ReadRecord> reads() {
        std::lock_guard lock(driver().mutex);
        return driver().reads;
    }
    static std::vector<DriverState::Failure> failures() {
        std::lock_guard lock(driver().mutex);
        return driver().failures;
    }
    // The data of every read so far, in delivery order.
    static Bytes received(size_t header = 0) {
        Bytes all;
        for (const ReadRecord& r : reads()) {
            all.insert(all.end(), r.whole.begin() + header, r.whole.begin() + header + r.length);
        }
        return all;
    }
    void stopPipe() {
        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(driver().bulkIn), WdfIoTargetCancelSentIo);
    }
    void startPipe() {
        EXPECT_EQ(WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(driver().bulkIn)), STATUS_SUCCESS);
        settle();
    }
};

TEST_F(Reader, ConfigurationIsChecked) {
    plug();
    const DriverState& d = driver();
    struct Case {
        const char* name;
        WDFUSBPIPE pipe;
        std::function<void(WDF_USB_CONTINUOUS_READER_CONFIG&)> change;
        NTSTATUS expected;
    };
    WDF_OBJECT_ATTRIBUTES parented;
    WDF_OBJECT_ATTRIBUTES_INIT(&parented);
    parented.ParentObject = d.device;
    const Case cases[] = {
        {"size", d.bulkIn, [](auto& c) { c.Size -= 1; }, STATUS_INFO_LENGTH_MISMATCH},
        {"no callback", d.bulkIn, [](auto& c) { c.EvtUsbTargetPipeReadComplete = nullptr; },
         STATUS_INVALID_PARAMETER},
        {"no length", d.bulkIn, [](auto& c) { c.TransferLength = 0; }, STATUS_INVALID_PARAMETER},
        {"overflow", d.bulkIn, [](auto& c) { c.HeaderLength = SIZE_MAX - 10; },
         STATUS_INTEGER_OVERFLOW},
        {"parent", d.bulkIn, [&](auto& c) { c.BufferAttributes = &parented; },
         STATUS_WDF_PARENT_ASSIGNMENT_NOT_ALLOWED},
        {"out pipe", d.bulkOut, [](auto&) {}, STATUS_INVALID_DEVICE_REQUEST},
        {"packet size", d.bulkIn, [](auto& c) { c.TransferLength = 100; },
         STATUS_INVALID_BUFFER_SIZE},
        {"interrupt", d.interruptIn, [](auto&) {}, STATUS_SUCCESS},
        {"bulk", d.bulkIn, [](auto&) {}, STATUS_SUCCESS},
        {"twice", d.bulkIn, [](auto&) {}, STATUS_INVALID_DEVICE_STATE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WDF_USB_CONTINUOUS_READER_CONFIG config = readerConfig(64);
        c.change(config);
        EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(c.pipe, &config), c.expected);
    }
    // Configured but never started: nothing was read.
    settle();
    EXPECT_TRUE(reads().empty());
}

TEST_F(Reader, ReadsStartOnlyWhenThePipeIsStarted) {
    auto device = plugWithReader(readerConfig(64), /*start=*/false);
    device->pushIn(0x82, Bytes{1, 2, 3});
    settle();
    EXPECT_TRUE(reads().empty());
    startPipe();
    EXPECT_EQ(received(), (Bytes{1, 2, 3}));
}

TEST_F(Reader, DeliversInOrderIntoZeroedBuffersWithHeaderAndTrailer) {
    auto device = plugWithReader(readerConfig(128, 3, /*header=*/6, /*trailer=*/10));
    Bytes sent;
    for (uint8_t n = 1; n <= 20; ++n) {
        // Short packets end each transfer: every read gets one packet of n bytes.
        Bytes packet(n, n);
        sent.insert(sent.end(), packet.begin(), packet.end());
        device->pushIn(0x82, packet);
    }
    settle();
    const auto got = reads();
    ASSERT_EQ(got.size(), 20u);
    for (size_t i = 0; i < got.size(); ++i) {
        const ReadRecord& r = got[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(r.whole.size(), 6u + 128u + 10u);
        EXPECT_EQ(r.length, i + 1);
        EXPECT_LE(r.irql, rt::Irql::Dispatch);
        // Everything but the data is zero: header, the rest of the transfer, trailer.
        const auto dataBegin = r.whole.begin() + 6;
        EXPECT_TRUE(std::all_of(r.whole.begin(), dataBegin, [](uint8_t b) { return b == 0; }));
        EXPECT_TRUE(
            std::all_of(dataBegin + r.length, r.whole.end(), [](uint8_t b) { return b == 0; }));
    }
    EXPECT_EQ(received(6), sent);
}

TEST_F(Reader, ABufferTheDriverKeepsOutlivesItsRead) {
    WDFMEMORY kept = nullptr;
    driver().onRead = [&](WDFMEMORY buffer) {
        if (kept == nullptr) {
            WdfObjectReference(buffer);
            kept = buffer;
        }
    };
    auto device = plugWithReader(readerConfig(64, 1));
    device->pushIn(0x82, Bytes{7, 7, 7});
    device->pushIn(0x82, Bytes{8});
    settle();
    ASSERT_EQ(reads().size(), 2u);
    ASSERT_NE(kept, nullptr);
    // The reader has moved on to other buffers; the one kept still holds the first read.
    auto* bytes = static_cast<uint8_t*>(WdfMemoryGetBuffer(kept, nullptr));
    EXPECT_EQ(Bytes(bytes, bytes + 3), (Bytes{7, 7, 7}));
    WdfObjectDereference(kept);
}

struct FailureCase {
    const char* name;
    bool stall;                     // else the read is cancelled
    std::optional<BOOLEAN> answer;  // nullopt: no readers-failed callback
};

class ReaderFailure : public Reader, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ReaderFailure, RecoversAsTheDriverAnswers) {
    const FailureCase& c = GetParam();
    WDF_USB_CONTINUOUS_READER_CONFIG config = readerConfig(64, 2);
    if (!c.answer) {
        config.EvtUsbTargetPipeReadersFailed = nullptr;
    }
    driver().readersFailedAnswer = c.answer;
    auto device = plugWithReader(config);
    device->pushIn(0x82, Bytes{1});
    settle();
    ASSERT_EQ(received(), Bytes{1});

    if (c.stall) {
        hc().faults(1).stallEndpoint(0x82);
    } else {
        hc().faults(1).failNext(0x82, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    }
    device->pushIn(0x82, Bytes{2});
    settle();
    const auto failed = failures();
    const bool restarts = !c.stall || c.answer.value_or(TRUE);
    if (!c.stall) {
        // A cancelled read is not a failure; the other read goes on.
        EXPECT_TRUE(failed.empty());
    } else if (c.answer) {
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_EQ(failed[0].status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(failed[0].usbdStatus, USBD_STATUS_STALL_PID);
        EXPECT_EQ(failed[0].irql, rt::Irql::Passive);
    }
    const auto events = device->events();
    const bool reset = std::find(events.begin(), events.end(), "reset 82") != events.end();
    EXPECT_EQ(reset, c.stall && restarts);
    device->pushIn(0x82, Bytes{3});
    settle();
    EXPECT_EQ(received(), restarts ? (Bytes{1, 2, 3}) : (Bytes{1}));

    if (!restarts) {
        // Stopped until the next stop and start (after the driver cleared the stall).
        EXPECT_EQ(WdfUsbTargetPipeResetSynchronously(driver().bulkIn, nullptr, nullptr),
                  STATUS_SUCCESS);
        stopPipe();
        startPipe();
        EXPECT_EQ(received(), (Bytes{1, 2, 3}));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ReaderFailure,
                         ::testing::Values(FailureCase{"CancelledTrue", false, TRUE},
                                           FailureCase{"CancelledFalse", false, FALSE},
                                           FailureCase{"CancelledAbsent", false, std::nullopt},
                                           FailureCase{"StallTrue", true, TRUE},
                                           FailureCase{"StallFalse", true, FALSE},
                                           FailureCase{"StallAbsent", true, std::nullopt}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Reader, StopAndStartCyclesLoseNothingAndReadNothingWhileStopped) {
    auto device = plugWithReader(readerConfig(64, 3));
    Bytes sent;
    for (uint8_t cycle = 0; cycle < 3; ++cycle) {
        stopPipe();
        EXPECT_EQ(WdfIoTargetGetState(WdfUsbTargetPipeGetIoTarget(driver().bulkIn)),
                  WdfIoTargetStopped);
        const Bytes packet{cycle, static_cast<uint8_t>(cycle + 10)};
        device->pushIn(0x82, packet);
        sent.insert(sent.end(), packet.begin(), packet.end());
        settle();
        EXPECT_EQ(received().size(), sent.size() - packet.size()) << "read while stopped";
        startPipe();
        EXPECT_EQ(received(), sent);
    }
}

// The stop would wait for the recovery it is called from: reported, and it does not hang.
TEST_F(Reader, StoppingThePipeFromReadersFailedIsReported) {
    driver().onFailed = [this] { stopPipe(); };
    driver().readersFailedAnswer = FALSE;
    auto device = plugWithReader(readerConfig(64, 2));
    hc().faults(1).stallEndpoint(0x82);
    device->pushIn(0x82, Bytes{1});
    settle();
    ASSERT_EQ(failures().size(), 1u);
    expectViolations({rt::Rule::ContractViolation});
    EXPECT_EQ(WdfIoTargetGetState(WdfUsbTargetPipeGetIoTarget(driver().bulkIn)),
              WdfIoTargetStopped);
    EXPECT_TRUE(reads().empty());
}

TEST_F(Reader, ABufferThatCannotBeHadRecoversLikeAFailedRead) {
    runtime().faults().failNth(rt::fault::kUsbReaderAllocate, 1);
    auto device = plugWithReader(readerConfig(64, 1));
    const auto failed = failures();
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].status, STATUS_INSUFFICIENT_RESOURCES);
    device->pushIn(0x82, Bytes{4, 2});
    settle();
    EXPECT_EQ(received(), (Bytes{4, 2}));
}

TEST_F(Reader, FailedSendRecoversLikeAFailedRead) {
    runtime().faults().failNth(rt::fault::kUsbPipeSend, 1);
    auto device = plugWithReader(readerConfig(64, 1));
    ASSERT_EQ(failures().size(), 1u);
    device->pushIn(0x82, Bytes{6});
    settle();
    EXPECT_EQ(received(), Bytes{6});
}

TEST_F(Reader, UnplugEndsTheReadsWithoutARestart) {
    auto device = plugWithReader(readerConfig(64, 2));
    device->pushIn(0x82, Bytes{1});
    settle();
    unplug();
    EXPECT_EQ(received(), Bytes{1});
    // The reads in flight fail as the device leaves; the driver hears of it at most once (the
    // removal may stop the pipe first).
    const auto failed = failures();
    ASSERT_LE(failed.size(), 1u);
    for (const auto& f : failed) {
        EXPECT_EQ(f.status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(f.usbdStatus, USBD_STATUS_DEVICE_GONE);
    }
    const auto events = device->events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "reset 82"), 0);
}

// A simulated-time figure, not a timing: the reader keeps the bus as busy as the host's own
// readers do.
TEST_F(Reader, HighSpeedStreamReachesTheLineRate) {
    constexpr double kLineRate = 53.248e6;  // 13 packets of 512 bytes per 125 us microframe
    auto device = plugWithReader(readerConfig(64 * 1024, 4), /*start=*/false, 512, Speed::High);
    device->streamIn(0x82);
    const rt::Ticks start = runtime().now();
    EXPECT_EQ(WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(driver().bulkIn)), STATUS_SUCCESS);
    runtime().runUntilIdle(start + 200 * rt::kTicksPerSec / 1000);
    stopPipe();
    settle();
    const auto got = reads();
    ASSERT_GT(got.size(), 10u);
    uint64_t bytes = 0;
    for (const ReadRecord& r : got) {
        for (size_t i = 0; i < r.length; ++i) {
            if (r.whole[i] != static_cast<uint8_t>(bytes + i)) {
                FAIL() << "stream byte " << bytes + i << " out of order";
            }
        }
        bytes += r.length;
    }
    const double rate = static_cast<double>(bytes) * rt::kTicksPerSec /
                        static_cast<double>(got.back().time - start);
    EXPECT_GE(rate, 0.9 * kLineRate);
    EXPECT_LE(rate, kLineRate);
}

}  // namespace
}  // namespace vel::usbpipe::test
