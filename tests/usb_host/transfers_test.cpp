// Bulk and interrupt transfers: packet rules, pending until the model has data, abort, reset
// after a stall, every fault kind, unplug with transfers in flight, and cancellation.
#include "host_fixture.h"

namespace vel::usb::test {
namespace {

using Strings = std::vector<std::string>;

class Transfers : public HostTest {
  protected:
    void SetUp() override {
        HostTest::SetUp();
        device = plug(1, twoInterfaceLayout());
        pipes = configure(*device);
    }
    uint32_t transferred(UrbRequest& r) {
        return r.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength;
    }

    std::shared_ptr<TestDevice> device;
    Pipes pipes{};
};

TEST_F(Transfers, InEndsOnAShortPacketAZeroLengthPacketOrAFullBuffer) {
    struct Case {
        const char* what;
        uint32_t length;
        std::vector<size_t> packets;
        bool shortOk;
        NTSTATUS status;
        USBD_STATUS usbd;
        uint32_t bytes;
        size_t left;  // packets the device still holds
    };
    const Case cases[] = {
        {"short packet", 256, {64, 10, 64}, true, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 74, 1},
        {"zero-length packet", 256, {64, 0, 64}, true, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 64, 1},
        {"full buffer", 128, {64, 64, 5}, true, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 128, 1},
        {"short without permission",
         256,
         {64, 10},
         false,
         STATUS_UNSUCCESSFUL,
         USBD_STATUS_ERROR_SHORT_TRANSFER,
         74,
         0},
        {"more than the buffer",
         100,
         {64, 64},
         true,
         STATUS_DEVICE_DATA_ERROR,
         USBD_STATUS_BUFFER_OVERRUN,
         100,
         0},
        {"packet above the maximum",
         256,
         {65},
         true,
         STATUS_DEVICE_DATA_ERROR,
         USBD_STATUS_BABBLE_DETECTED,
         0,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint8_t fill = 1;
        for (size_t size : c.packets) {
            device->pushIn(0x82, Bytes(size, fill++));
        }
        auto r = bulkRequest(pipes.bulkIn, c.length, true, c.shortOk);
        EXPECT_EQ(run(*r), c.status);
        EXPECT_EQ(r->urb()->UrbHeader.Status, c.usbd);
        EXPECT_EQ(transferred(*r), c.bytes);
        if (c.bytes >= 65) {
            EXPECT_EQ(r->data[63], 1);
            EXPECT_EQ(r->data[64], 2);
        }
        // Drain what is left for the next case; the last drain stays pending until aborted.
        size_t left = 0;
        for (;; ++left) {
            auto drain = bulkRequest(pipes.bulkIn, 64, true);
            sendUrb(fdo(), *drain);
            runtime().runUntilIdle();
            if (!drain->done) {
                run(*pipeRequest(URB_FUNCTION_ABORT_PIPE, pipes.bulkIn));
                EXPECT_EQ(drain->status, STATUS_CANCELLED);
                break;
            }
        }
        EXPECT_EQ(left, c.left);
    }
}

TEST_F(Transfers, OutIsSplitIntoMaximumSizePacketsAndAZeroLengthTransferSendsOnePacket) {
    for (uint32_t length : {150u, 128u, 0u}) {
        auto r = bulkRequest(pipes.bulkOut, length, false);
        for (uint32_t i = 0; i < length; ++i) {
            r->data[i] = static_cast<uint8_t>(i);
        }
        ASSERT_EQ(run(*r), STATUS_SUCCESS);
        EXPECT_EQ(transferred(*r), length);
    }
    std::vector<size_t> sizes;
    Bytes joined;
    for (const Bytes& packet : device->outPackets(0x02)) {
        sizes.push_back(packet.size());
        joined.insert(joined.end(), packet.begin(), packet.end());
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{64, 64, 22, 64, 64, 0}));
    EXPECT_EQ(joined[149], 149);
    EXPECT_EQ(joined[150], 0);
}

TEST_F(Transfers, InterruptInWaitsForDataWithoutRunningTheBus) {
    auto r = bulkRequest(pipes.interruptIn, 16, true);
    sendUrb(fdo(), *r);
    runtime().runUntilIdle();
    EXPECT_FALSE(r->done);
    const uint64_t frames = hc().framesRun();
    const rt::Ticks start = runtime().now();
    // The device has something after 5 s of virtual time.
    device->host()->schedule(5 * rt::kTicksPerSec, [this] {
        device->pushIn(0x81, Bytes{0xA1, 0x20});
    });
    runtime().runUntilIdle();
    ASSERT_TRUE(r->done);
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(transferred(*r), 2u);
    EXPECT_GE(r->completedAt - start, 5 * rt::kTicksPerSec);
    EXPECT_LE(r->completedAt - start, 5 * rt::kTicksPerSec + 10 * rt::kTicksPerMs);
    EXPECT_LE(hc().framesRun() - frames, 3u) << "the bus ran frames while the endpoint NAKed";
}

TEST_F(Transfers, InterruptEndpointIsPolledOncePerInterval) {
    for (int i = 0; i < 3; ++i) {
        device->pushIn(0x81, Bytes{static_cast<uint8_t>(i)});
    }
    std::vector<std::unique_ptr<UrbRequest>> requests;
    for (int i = 0; i < 3; ++i) {
        requests.push_back(bulkRequest(pipes.interruptIn, 16, true));
        sendUrb(fdo(), *requests.back());
    }
    runtime().runUntilIdle();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(requests[i]->done);
        EXPECT_EQ(requests[i]->data[0], i);
        if (i > 0) {
            // bInterval 8 at full speed: 8 ms between polls.
            EXPECT_EQ(requests[i]->completedAt - requests[i - 1]->completedAt, 8 * rt::kTicksPerMs);
        }
    }
}

TEST_F(Transfers, AbortCancelsThePipesTransfersAfterTheCall) {
    auto first = bulkRequest(pipes.bulkIn, 64, true);
    auto second = bulkRequest(pipes.bulkIn, 64, true);
    auto other = bulkRequest(pipes.interruptIn, 16, true);
    sendUrb(fdo(), *first);
    sendUrb(fdo(), *second);
    sendUrb(fdo(), *other);
    runtime().runUntilIdle();

    std::vector<std::string> order;
    first->onComplete = [&](UrbRequest&) { order.push_back("first"); };
    second->onComplete = [&](UrbRequest&) { order.push_back("second"); };
    auto abort = pipeRequest(URB_FUNCTION_ABORT_PIPE, pipes.bulkIn);
    abort->onComplete = [&](UrbRequest&) { order.push_back("abort"); };
    EXPECT_EQ(sendUrb(fdo(), *abort), STATUS_PENDING);
    EXPECT_FALSE(first->done) << "completed inside the abort call";
    runtime().runUntilIdle();
    EXPECT_EQ(order, (Strings{"first", "second", "abort"}));
    for (UrbRequest* r : {first.get(), second.get()}) {
        EXPECT_EQ(r->status, STATUS_CANCELLED);
        EXPECT_EQ(r->urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
    }
    EXPECT_EQ(abort->status, STATUS_SUCCESS);
    EXPECT_FALSE(other->done) << "another pipe's transfer was aborted";

    // The pipe still works.
    device->pushIn(0x82, Bytes(3, 7));
    auto after = bulkRequest(pipes.bulkIn, 64, true);
    EXPECT_EQ(run(*after), STATUS_SUCCESS);
    EXPECT_EQ(transferred(*after), 3u);
    run(*pipeRequest(URB_FUNCTION_ABORT_PIPE, pipes.interruptIn));
}

TEST_F(Transfers, StalledPipeFailsUntilItIsReset) {
    hc().faults(1).stallEndpoint(0x82);
    for (int i = 0; i < 2; ++i) {
        auto r = bulkRequest(pipes.bulkIn, 64, true);
        EXPECT_EQ(run(*r), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(r->urb()->UrbHeader.Status, USBD_STATUS_STALL_PID);
    }
    hc().clearRequests(1);
    auto reset = pipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipes.bulkIn);
    ASSERT_EQ(run(*reset), STATUS_SUCCESS);
    EXPECT_EQ(device->events().back(), "reset 82");
    const std::vector<RequestRecord> log = hc().requests(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].setup.bmRequestType, BMREQUEST_TO_ENDPOINT);
    EXPECT_EQ(log[0].setup.bRequest, USB_REQUEST_CLEAR_FEATURE);
    EXPECT_EQ(log[0].setup.wIndex, 0x82);

    device->pushIn(0x82, Bytes(5, 1));
    auto r = bulkRequest(pipes.bulkIn, 64, true);
    EXPECT_EQ(run(*r), STATUS_SUCCESS);

    // A model that stalls halts the endpoint the same way.
    device->onControl = nullptr;
    auto bad = pipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, nullptr);
    EXPECT_EQ(run(*bad), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bad->urb()->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(Transfers, EachFaultKind) {
    struct Case {
        const char* what;
        std::function<void(DeviceFaults&)> set;
        uint8_t endpoint;
        NTSTATUS status;
        USBD_STATUS usbd;
    };
    const Case cases[] = {
        {"stall", [](DeviceFaults& f) { f.stallEndpoint(0x02); }, 0x02, STATUS_UNSUCCESSFUL,
         USBD_STATUS_STALL_PID},
        {"crc", [](DeviceFaults& f) { f.dataError(0x02); }, 0x02, STATUS_DEVICE_DATA_ERROR,
         USBD_STATUS_CRC},
        {"no response", [](DeviceFaults& f) { f.dataError(0x82, USBD_STATUS_DEV_NOT_RESPONDING); },
         0x82, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING},
        {"chosen statuses",
         [](DeviceFaults& f) { f.failNext(0x82, STATUS_IO_TIMEOUT, USBD_STATUS_XACT_ERROR); }, 0x82,
         STATUS_IO_TIMEOUT, USBD_STATUS_XACT_ERROR},
        {"control endpoint", [](DeviceFaults& f) { f.stallEndpoint(0); }, 0, STATUS_UNSUCCESSFUL,
         USBD_STATUS_STALL_PID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeviceFaults faults = hc().faults(1);
        c.set(faults);
        device->pushIn(0x82, Bytes(4, 4));
        std::unique_ptr<UrbRequest> r =
            c.endpoint == 0 ? descriptorRequest(1, 0, 0, 18)
                            : bulkRequest(c.endpoint == 0x02 ? pipes.bulkOut : pipes.bulkIn, 64,
                                          c.endpoint == 0x82);
        EXPECT_EQ(run(*r), c.status);
        EXPECT_EQ(r->urb()->UrbHeader.Status, c.usbd);
        faults.clear(c.endpoint);
        // The fault is gone (a stalled data pipe needs its reset too).
        run(*pipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipes.bulkOut));
        std::unique_ptr<UrbRequest> again =
            c.endpoint == 0 ? descriptorRequest(1, 0, 0, 18)
                            : bulkRequest(c.endpoint == 0x02 ? pipes.bulkOut : pipes.bulkIn, 64,
                                          c.endpoint == 0x82);
        EXPECT_EQ(run(*again), STATUS_SUCCESS);
    }
}

TEST_F(Transfers, SilentEndpointKeepsTheTransferUntilItIsCancelled) {
    hc().faults(1).silenceEndpoint(0x02);
    auto r = bulkRequest(pipes.bulkOut, 10, false);
    sendUrb(fdo(), *r);
    // The sender's time-out, in virtual time.
    IRP* irp = r->irp;
    runtime().armTimer(runtime().now() + rt::kTicksPerSec, [irp] { IoCancelIrp(irp); });
    runtime().runUntilIdle();
    ASSERT_TRUE(r->done);
    EXPECT_EQ(r->status, STATUS_CANCELLED);
    EXPECT_EQ(r->urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_TRUE(device->outPackets(0x02).empty());
}

TEST_F(Transfers, CancelCompletesLaterWithCancelled) {
    auto r = bulkRequest(pipes.bulkIn, 64, true);
    sendUrb(fdo(), *r);
    runtime().runUntilIdle();
    ASSERT_FALSE(r->done);
    EXPECT_TRUE(IoCancelIrp(r->irp));
    EXPECT_FALSE(r->done) << "completed inside IoCancelIrp";
    runtime().runUntilIdle();
    ASSERT_TRUE(r->done);
    EXPECT_EQ(r->status, STATUS_CANCELLED);
    EXPECT_EQ(transferred(*r), 0u);

    // Data that arrives afterwards goes to the next transfer.
    device->pushIn(0x82, Bytes(9, 9));
    auto next = bulkRequest(pipes.bulkIn, 64, true);
    EXPECT_EQ(run(*next), STATUS_SUCCESS);
    EXPECT_EQ(transferred(*next), 9u);
}

TEST_F(Transfers, UnplugFailsTransfersInFlightAndRefusesNewOnes) {
    device->onControl = [](const SetupPacket&, std::span<const uint8_t>) {
        return ControlAnswer{Handshake::Nak, {}};  // never answered
    };
    auto in = bulkRequest(pipes.bulkIn, 64, true);
    auto control = std::make_unique<UrbRequest>(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 4);
    UsbBuildVendorRequest(control->urb(), URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), USBD_TRANSFER_DIRECTION_IN,
                          0, 1, 0, 0, control->data.data(), nullptr, 4, nullptr);
    DEVICE_OBJECT* function = fdo();
    sendUrb(function, *in);
    sendUrb(function, *control);
    runtime().runUntilIdle();
    ASSERT_FALSE(in->done);
    ASSERT_FALSE(control->done);

    // The driver sends one more request from its surprise-removal handling: refused.
    ASSERT_EQ(hc().detach(1), STATUS_SUCCESS);
    auto late = bulkRequest(pipes.bulkOut, 4, false);
    sendUrb(function, *late);
    EXPECT_TRUE(late->done);
    EXPECT_EQ(late->status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(late->urb()->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    settle();
    for (UrbRequest* r : {in.get(), control.get()}) {
        ASSERT_TRUE(r->done);
        EXPECT_EQ(r->status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(r->urb()->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    }
    EXPECT_EQ(device->events().back(), "detached");
    EXPECT_EQ(world().log(), (Strings{"add", "start", "surprise", "remove"}));
}

}  // namespace
}  // namespace vel::usb::test
