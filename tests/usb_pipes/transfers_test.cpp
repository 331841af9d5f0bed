// The pipe calls through the framework, down the stack as URBs to a simulated device: pipe
// information, reads and writes with offsets and their completion parameters, zero-length
// writes, the packet-size check, refused directions and types, abort, reset after a STALL,
// cancellation, unplug during a transfer and sends to a stopped pipe.
#include "pipe_fixture.h"

namespace vel::usbpipe::test {
namespace {

class PipeCalls : public PipeTest {
  protected:
    void SetUp() override {
        PipeTest::SetUp();
        device_ = plug();
    }

    WDFMEMORY memory(size_t size, uint8_t fill = 0) {
        WDFMEMORY m = nullptr;
        void* buffer = nullptr;
        EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0, size, &m, &buffer),
                  STATUS_SUCCESS);
        std::memset(buffer, fill, size);
        return m;
    }
    static uint8_t* bytesOf(WDFMEMORY m) {
        return static_cast<uint8_t*>(WdfMemoryGetBuffer(m, nullptr));
    }

    std::shared_ptr<TestDevice> device_;
};

TEST_F(PipeCalls, InformationDirectionAndTypeOfEachPipe) {
    struct Case {
        WDFUSBPIPE pipe;
        UCHAR address;
        WDF_USB_PIPE_TYPE type;
        ULONG packet;
    };
    const DriverState& d = driver();
    for (const Case& c : {Case{d.interruptIn, 0x81, WdfUsbPipeTypeInterrupt, 16},
                          Case{d.bulkIn, 0x82, WdfUsbPipeTypeBulk, 64},
                          Case{d.bulkOut, 0x02, WdfUsbPipeTypeBulk, 64}}) {
        SCOPED_TRACE(c.address);
        ASSERT_NE(c.pipe, nullptr);
        WDF_USB_PIPE_INFORMATION info;
        WDF_USB_PIPE_INFORMATION_INIT(&info);
        WdfUsbTargetPipeGetInformation(c.pipe, &info);
        EXPECT_EQ(info.EndpointAddress, c.address);
        EXPECT_EQ(info.PipeType, c.type);
        EXPECT_EQ(info.MaximumPacketSize, c.packet);
        EXPECT_EQ(WdfUsbTargetPipeGetType(c.pipe), c.type);
        const bool in = (c.address & 0x80) != 0;
        EXPECT_EQ(WdfUsbTargetPipeIsInEndpoint(c.pipe), in);
        EXPECT_EQ(WdfUsbTargetPipeIsOutEndpoint(c.pipe), !in);
        EXPECT_NE(WdfUsbTargetPipeWdmGetPipeHandle(c.pipe), nullptr);
    }
}

TEST_F(PipeCalls, WritesWithOffsetsAndZeroLengthReachTheDevice) {
    const DriverState& d = driver();
    // Synchronously from a buffer.
    uint8_t bytes[100];
    for (int i = 0; i < 100; ++i) {
        bytes[i] = static_cast<uint8_t>(i);
    }
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, bytes, sizeof bytes);
    ULONG written = 0;
    EXPECT_EQ(
        WdfUsbTargetPipeWriteSynchronously(d.bulkOut, nullptr, nullptr, &descriptor, &written),
        STATUS_SUCCESS);
    EXPECT_EQ(written, 100u);

    // Formatted from a memory object at an offset, then zero-length (no memory).
    WDFMEMORY m = memory(32, 0xAB);
    bytesOf(m)[8] = 0x11;
    WDFMEMORY_OFFSET offsets{8, 5};
    AsyncSend send;
    ASSERT_TRUE(sendAsync(d.bulkOut, send, [&](WDFREQUEST r) {
        return WdfUsbTargetPipeFormatRequestForWrite(d.bulkOut, r, m, &offsets);
    }));
    settle();
    ASSERT_TRUE(send.done);
    EXPECT_EQ(send.status, STATUS_SUCCESS);
    EXPECT_EQ(send.params.Type, WdfRequestTypeUsb);
    EXPECT_EQ(send.usb.Type, WdfUsbRequestTypePipeWrite);
    EXPECT_EQ(send.usb.UsbdStatus, USBD_STATUS_SUCCESS);
    EXPECT_EQ(send.usb.Parameters.PipeWrite.Buffer, m);
    EXPECT_EQ(send.usb.Parameters.PipeWrite.Offset, 8u);
    EXPECT_EQ(send.usb.Parameters.PipeWrite.Length, 5u);

    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    EXPECT_EQ(WdfRequestReuse(send.request, &reuse), STATUS_SUCCESS);
    ASSERT_TRUE(sendAsync(d.bulkOut, send, [&](WDFREQUEST r) {
        return WdfUsbTargetPipeFormatRequestForWrite(d.bulkOut, r, nullptr, nullptr);
    }));
    settle();
    EXPECT_EQ(send.status, STATUS_SUCCESS);
    EXPECT_EQ(send.usb.Parameters.PipeWrite.Length, 0u);

    // 100 bytes: a full packet and a short one; then 5 bytes; then a zero-length packet.
    const std::vector<Bytes> packets = device_->outPackets(0x02);
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_EQ(packets[0].size(), 64u);
    EXPECT_EQ(packets[1].size(), 36u);
    EXPECT_EQ(packets[2], (Bytes{0x11, 0xAB, 0xAB, 0xAB, 0xAB}));
    EXPECT_TRUE(packets[3].empty());
    WdfObjectDelete(send.request);
    WdfObjectDelete(m);
}

TEST_F(PipeCalls, ReadLandsAtItsOffsetAndReportsItsLength) {
    const DriverState& d = driver();
    device_->pushIn(0x82, Bytes{1, 2, 3, 4, 5, 6, 7});
    WDFMEMORY m = memory(200, 0xEE);
    WDFMEMORY_OFFSET offsets{10, 128};
    AsyncSend send;
    ASSERT_TRUE(sendAsync(d.bulkIn, send, [&](WDFREQUEST r) {
        return WdfUsbTargetPipeFormatRequestForRead(d.bulkIn, r, m, &offsets);
    }));
    settle();
    ASSERT_TRUE(send.done);
    EXPECT_EQ(send.status, STATUS_SUCCESS);
    EXPECT_EQ(send.usb.Type, WdfUsbRequestTypePipeRead);
    EXPECT_EQ(send.usb.Parameters.PipeRead.Length, 7u);
    EXPECT_EQ(send.usb.Parameters.PipeRead.Offset, 10u);
    EXPECT_EQ(send.usb.Parameters.PipeRead.Buffer, m);
    EXPECT_EQ(bytesOf(m)[9], 0xEE);
    EXPECT_EQ(Bytes(bytesOf(m) + 10, bytesOf(m) + 17), (Bytes{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(bytesOf(m)[17], 0xEE);

    // Synchronously, with the byte count.
    device_->pushIn(0x82, Bytes{9, 9});
    uint8_t buffer[64] = {};
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, buffer, sizeof buffer);
    ULONG read = 0;
    EXPECT_EQ(WdfUsbTargetPipeReadSynchronously(d.bulkIn, nullptr, nullptr, &descriptor, &read),
              STATUS_SUCCESS);
    EXPECT_EQ(read, 2u);
    EXPECT_EQ(buffer[1], 9);
    WdfObjectDelete(send.request);
    WdfObjectDelete(m);
}

TEST_F(PipeCalls, PacketSizeCheckAppliesToReadsUntilTurnedOff) {
    const DriverState& d = driver();
    struct Case {
        WDFUSBPIPE pipe;
        bool read;
        size_t length;
        bool checkOff;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {d.bulkIn, true, 100, false, STATUS_INVALID_BUFFER_SIZE},
        {d.bulkIn, true, 128, false, STATUS_SUCCESS},
        {d.bulkOut, false, 100, false, STATUS_SUCCESS},  // writes are never checked
        {d.interruptIn, true, 10, false, STATUS_INVALID_BUFFER_SIZE},
        {d.bulkIn, true, 100, true, STATUS_SUCCESS},
    };
    WDFREQUEST request = nullptr;
    ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, nullptr, &request), STATUS_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "length " << c.length << " read " << c.read);
        if (c.checkOff) {
            WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(c.pipe);
        }
        WDFMEMORY m = memory(c.length);
        EXPECT_EQ(c.read ? WdfUsbTargetPipeFormatRequestForRead(c.pipe, request, m, nullptr)
                         : WdfUsbTargetPipeFormatRequestForWrite(c.pipe, request, m, nullptr),
                  c.expected);
        WdfObjectDelete(m);
    }
    // The synchronous read checks the same.
    uint8_t buffer[100];
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, buffer, 10);
    EXPECT_EQ(
        WdfUsbTargetPipeReadSynchronously(d.interruptIn, nullptr, nullptr, &descriptor, nullptr),
        STATUS_INVALID_BUFFER_SIZE);
    WdfObjectDelete(request);
}

TEST_F(PipeCalls, WrongDirectionIsRefused) {
    const DriverState& d = driver();
    WDFREQUEST request = nullptr;
    ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, nullptr, &request), STATUS_SUCCESS);
    WDFMEMORY m = memory(64);
    EXPECT_EQ(WdfUsbTargetPipeFormatRequestForRead(d.bulkOut, request, m, nullptr),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(WdfUsbTargetPipeFormatRequestForWrite(d.bulkIn, request, m, nullptr),
              STATUS_INVALID_DEVICE_REQUEST);
    uint8_t buffer[64];
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, buffer, sizeof buffer);
    EXPECT_EQ(
        WdfUsbTargetPipeWriteSynchronously(d.interruptIn, nullptr, nullptr, &descriptor, nullptr),
        STATUS_INVALID_DEVICE_REQUEST);
    // An offset range outside the memory.
    WDFMEMORY_OFFSET outside{32, 64};
    EXPECT_EQ(WdfUsbTargetPipeFormatRequestForRead(d.bulkIn, request, m, &outside),
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(device_->outPackets(0x02).empty());
    WdfObjectDelete(m);
    WdfObjectDelete(request);
}

TEST_F(PipeCalls, AbortCancelsPendingReadsWhichCompleteLater) {
    const DriverState& d = driver();
    WDFMEMORY m = memory(128);
    AsyncSend reads[2];
    for (AsyncSend& send : reads) {
        ASSERT_TRUE(sendAsync(d.bulkIn, send, [&](WDFREQUEST r) {
            return WdfUsbTargetPipeFormatRequestForRead(d.bulkIn, r, m, nullptr);
        }));
    }
    settle();
    EXPECT_FALSE(reads[0].done);
    EXPECT_EQ(WdfUsbTargetPipeAbortSynchronously(d.bulkIn, nullptr, nullptr), STATUS_SUCCESS);
    settle();
    for (AsyncSend& send : reads) {
        EXPECT_TRUE(send.done);
        EXPECT_EQ(send.status, STATUS_CANCELLED);
        EXPECT_EQ(send.usb.UsbdStatus, USBD_STATUS_CANCELED);
        WdfObjectDelete(send.request);
    }
    // The pipe works on.
    device_->pushIn(0x82, Bytes{42});
    AsyncSend again;
    ASSERT_TRUE(sendAsync(d.bulkIn, again, [&](WDFREQUEST r) {
        return WdfUsbTargetPipeFormatRequestForRead(d.bulkIn, r, m, nullptr);
    }));
    settle();
    EXPECT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_EQ(again.usb.Parameters.PipeRead.Length, 1u);
    WdfObjectDelete(again.request);
    WdfObjectDelete(m);
}

TEST_F(PipeCalls, ResetClearsAStall) {
    const DriverState& d = driver();
    hc().faults(1).stallEndpoint(0x82);
    uint8_t buffer[64];
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, buffer, sizeof buffer);
    EXPECT_EQ(WdfUsbTargetPipeReadSynchronously(d.bulkIn, nullptr, nullptr, &descriptor, nullptr),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(WdfUsbTargetPipeResetSynchronously(d.bulkIn, nullptr, nullptr), STATUS_SUCCESS);
    const auto events = device_->events();
    EXPECT_NE(std::find(events.begin(), events.end(), "reset 82"), events.end());
    device_->pushIn(0x82, Bytes{5, 6});
    ULONG read = 0;
    EXPECT_EQ(WdfUsbTargetPipeReadSynchronously(d.bulkIn, nullptr, nullptr, &descriptor, &read),
              STATUS_SUCCESS);
    EXPECT_EQ(read, 2u);
}

TEST_F(PipeCalls, StalledReadReportsTheUsbdStatus) {
    const DriverState& d = driver();
    hc().faults(1).stallEndpoint(0x82);
    WDFMEMORY m = memory(64);
    AsyncSend send;
    ASSERT_TRUE(sendAsync(d.bulkIn, send, [&](WDFREQUEST r) {
        return WdfUsbTargetPipeFormatRequestForRead(d.bulkIn, r, m, nullptr);
    }));
    settle();
    EXPECT_EQ(send.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(send.usb.UsbdStatus, USBD_STATUS_STALL_PID);
    EXPECT_EQ(send.usb.Parameters.PipeRead.Length, 0u);
    WdfObjectDelete(send.request);
    WdfObjectDelete(m);
}

TEST_F(PipeCalls, CancelledReadCompletesCancelled) {
    const DriverState& d = driver();
    WDFMEMORY m = memory(64);
    AsyncSend send;
    ASSERT_TRUE(sendAsync(d.bulkIn, send, [&](WDFREQUEST r) {
        return WdfUsbTargetPipeFormatRequestForRead(d.bulkIn, r, m, nullptr);
    }));
    settle();
    EXPECT_TRUE(WdfRequestCancelSentRequest(send.request));
    settle();
    EXPECT_EQ(send.status, STATUS_CANCELLED);
    WdfObjectDelete(send.request);
    WdfObjectDelete(m);
}

TEST_F(PipeCalls, StoppedPipeRefusesSendsButCanBeReset) {
    const DriverState& d = driver();
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(d.bulkOut), WdfIoTargetCancelSentIo);
    uint8_t bytes[4] = {1, 2, 3, 4};
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, bytes, sizeof bytes);
    ULONG written = 7;
    EXPECT_EQ(
        WdfUsbTargetPipeWriteSynchronously(d.bulkOut, nullptr, nullptr, &descriptor, &written),
        STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(WdfUsbTargetPipeAbortSynchronously(d.bulkOut, nullptr, nullptr),
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(WdfUsbTargetPipeResetSynchronously(d.bulkOut, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(device_->outPackets(0x02).empty());
    EXPECT_EQ(WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(d.bulkOut)), STATUS_SUCCESS);
    EXPECT_EQ(
        WdfUsbTargetPipeWriteSynchronously(d.bulkOut, nullptr, nullptr, &descriptor, &written),
        STATUS_SUCCESS);
    EXPECT_EQ(written, 4u);
}

// A transfer in flight at the unplug fails as the device leaves; one sent after it, before the
// PnP manager has acted, never reaches a device. The driver's objects go with its unload.
TEST_F(PipeCalls, UnplugFailsTransfersInFlightAndAfter) {
    const DriverState& d = driver();
    WDFMEMORY m = memory(64);
    AsyncSend send;
    ASSERT_TRUE(sendAsync(d.bulkIn, send, [&](WDFREQUEST r) {
        return WdfUsbTargetPipeFormatRequestForRead(d.bulkIn, r, m, nullptr);
    }));
    settle();
    ASSERT_FALSE(send.done);
    ASSERT_EQ(hc().detach(1), STATUS_SUCCESS);
    uint8_t bytes[4] = {1, 2, 3, 4};
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, bytes, sizeof bytes);
    EXPECT_EQ(WdfUsbTargetPipeWriteSynchronously(d.bulkOut, nullptr, nullptr, &descriptor, nullptr),
              STATUS_NO_SUCH_DEVICE);
    settle();
    ASSERT_TRUE(send.done);
    EXPECT_EQ(send.status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(send.usb.UsbdStatus, USBD_STATUS_DEVICE_GONE);
    EXPECT_TRUE(device_->outPackets(0x02).empty());
}

TEST_F(PipeCalls, DriverUrbsGoDownThePipe) {
    const DriverState& d = driver();
    device_->pushIn(0x82, Bytes{3, 1, 4});
    uint8_t buffer[64] = {};
    _URB_BULK_OR_INTERRUPT_TRANSFER urb{};
    UsbBuildInterruptOrBulkTransferRequest(
        reinterpret_cast<URB*>(&urb), sizeof urb, WdfUsbTargetPipeWdmGetPipeHandle(d.bulkIn),
        buffer, nullptr, sizeof buffer, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
        nullptr);
    EXPECT_EQ(WdfUsbTargetPipeSendUrbSynchronously(d.bulkIn, nullptr, nullptr,
                                                   reinterpret_cast<URB*>(&urb)),
              STATUS_SUCCESS);
    EXPECT_EQ(urb.TransferBufferLength, 3u);
    EXPECT_EQ(buffer[2], 4);

    // An abort formatted on a request of the driver's.
    AsyncSend send;
    ASSERT_TRUE(sendAsync(d.bulkIn, send, [&](WDFREQUEST r) {
        return WdfUsbTargetPipeFormatRequestForAbort(d.bulkIn, r);
    }));
    settle();
    EXPECT_EQ(send.status, STATUS_SUCCESS);
    EXPECT_EQ(send.usb.Type, WdfUsbRequestTypePipeAbort);
    WdfObjectDelete(send.request);
}

}  // namespace
}  // namespace vel::usbpipe::test
