// The capture writer's file, read back field by field, and (when tshark is installed) decoded
// by Wireshark's own dissector.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "vel/devices/descriptor_builder.h"
#include "vel/usb/capture.h"

namespace {

using vel::usb::CaptureTarget;
using vel::usb::CaptureWriter;

uint32_t le(const std::vector<uint8_t>& b, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = v << 8 | b.at(at + i);
    }
    return static_cast<uint32_t>(v);
}

struct Record {
    uint32_t seconds, micros, includedLength, originalLength;
    uint16_t headerLength;
    uint64_t requestId;
    uint32_t status;
    uint16_t function;
    uint8_t info;
    uint16_t bus, device;
    uint8_t endpoint, transfer;
    uint32_t dataLength;
    int stage;  // -1 when the header has no control part
    std::vector<uint8_t> data;
};

std::vector<Record> readCapture(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_GE(b.size(), 24u);
    EXPECT_EQ(le(b, 0, 4), 0xA1B2C3D4u);
    EXPECT_EQ(le(b, 4, 2), 2u);
    EXPECT_EQ(le(b, 6, 2), 4u);
    EXPECT_EQ(le(b, 16, 4), 65535u);
    EXPECT_EQ(le(b, 20, 4), 249u);
    std::vector<Record> records;
    size_t pos = 24;
    while (pos < b.size()) {
        Record r{};
        r.seconds = le(b, pos, 4);
        r.micros = le(b, pos + 4, 4);
        r.includedLength = le(b, pos + 8, 4);
        r.originalLength = le(b, pos + 12, 4);
        const size_t p = pos + 16;
        r.headerLength = static_cast<uint16_t>(le(b, p, 2));
        r.requestId = le(b, p + 2, 4) | static_cast<uint64_t>(le(b, p + 6, 4)) << 32;
        r.status = le(b, p + 10, 4);
        r.function = static_cast<uint16_t>(le(b, p + 14, 2));
        r.info = b.at(p + 16);
        r.bus = static_cast<uint16_t>(le(b, p + 17, 2));
        r.device = static_cast<uint16_t>(le(b, p + 19, 2));
        r.endpoint = b.at(p + 21);
        r.transfer = b.at(p + 22);
        r.dataLength = le(b, p + 23, 4);
        r.stage = r.headerLength > 27 ? b.at(p + 27) : -1;
        const size_t data = p + r.headerLength;
        EXPECT_LE(data + r.dataLength, b.size());
        r.data.assign(b.begin() + data, b.begin() + data + r.dataLength);
        records.push_back(r);
        pos += 16 + r.includedLength;
    }
    return records;
}

// A control GET_DESCRIPTOR(device), then a bulk OUT and a bulk IN transfer on device 3 of bus 1.
class CaptureFile : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = ::testing::TempDir() + "vel_capture_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".pcap";
        std::string error;
        auto writer = CaptureWriter::createFile(path_, &error);
        ASSERT_NE(writer, nullptr) << error;

        const CaptureTarget control{1, 3, 0x00, UsbdPipeTypeControl};
        const CaptureTarget bulkOut{1, 3, 0x02, UsbdPipeTypeBulk};
        const CaptureTarget bulkIn{1, 3, 0x81, UsbdPipeTypeBulk};

        URB urb{};
        uint8_t buffer[64] = {};
        UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, 64,
                                     nullptr);
        writer->urbSubmitted(1'000'001'000, 0x1000, control, urb);
        std::copy(device_.begin(), device_.end(), buffer);
        urb.UrbControlDescriptorRequest.TransferBufferLength = 18;
        urb.UrbHeader.Status = USBD_STATUS_SUCCESS;
        writer->urbCompleted(1'000'250'000, 0x1000, control, urb);

        uint8_t out[] = {'h', 'e', 'l', 'l', 'o'};
        urb = {};
        UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                               nullptr, out, nullptr, 5, 0, nullptr);
        writer->urbSubmitted(2'000'000'000, 0x2000, bulkOut, urb);
        writer->urbCompleted(2'000'125'000, 0x2000, bulkOut, urb);

        uint8_t in[64] = {};
        urb = {};
        UsbBuildInterruptOrBulkTransferRequest(
            &urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), nullptr, in, nullptr, 64,
            USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
        writer->urbSubmitted(3'000'000'000, 0x3000, bulkIn, urb);
        in[0] = 'a', in[1] = 'b', in[2] = 'c';
        urb.UrbBulkOrInterruptTransfer.TransferBufferLength = 3;
        urb.UrbHeader.Status = USBD_STATUS_SUCCESS;
        writer->urbCompleted(3'000'500'000, 0x3000, bulkIn, urb);

        // A failed IN transfer: no data, the USBD status recorded.
        urb.UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        urb.UrbHeader.Status = USBD_STATUS_STALL_PID;
        writer->urbSubmitted(4'000'000'000, 0x4000, bulkIn, urb);
        writer->urbCompleted(4'000'000'001, 0x4000, bulkIn, urb);
        EXPECT_TRUE(writer->good());
    }

    void TearDown() override { std::remove(path_.c_str()); }

    std::string path_;
    const vel::dev::Bytes device_ = vel::dev::deviceDescriptor(
        {.deviceClass = 2, .vendorId = 0x1234, .productId = 0x5678, .numConfigurations = 1});
};

TEST_F(CaptureFile, EveryHeaderFieldReadsBack) {
    const std::vector<uint8_t> setup = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x40, 0x00};
    const std::vector<uint8_t> hello = {'h', 'e', 'l', 'l', 'o'};
    const std::vector<uint8_t> abc = {'a', 'b', 'c'};
    struct Expected {
        uint32_t seconds, micros;
        uint64_t id;
        uint32_t status;
        uint16_t function;
        uint8_t info, endpoint, transfer;
        int stage;
        std::vector<uint8_t> data;
    };
    const uint32_t stall = static_cast<uint32_t>(USBD_STATUS_STALL_PID);
    const Expected expected[] = {
        {1, 1, 0x1000, 0, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0, 0x80, 2, 0, setup},
        {1, 250, 0x1000, 0, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 1, 0x80, 2, 3, device_},
        {2, 0, 0x2000, 0, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0, 0x02, 3, -1, hello},
        {2, 125, 0x2000, 0, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 1, 0x02, 3, -1, {}},
        {3, 0, 0x3000, 0, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0, 0x81, 3, -1, {}},
        {3, 500, 0x3000, 0, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 1, 0x81, 3, -1, abc},
        {4, 0, 0x4000, 0, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0, 0x81, 3, -1, {}},
        {4, 0, 0x4000, stall, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 1, 0x81, 3, -1, {}},
    };
    const auto records = readCapture(path_);
    ASSERT_EQ(records.size(), std::size(expected));
    for (size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(i);
        const Record& r = records[i];
        const Expected& e = expected[i];
        EXPECT_EQ(r.seconds, e.seconds);
        EXPECT_EQ(r.micros, e.micros);
        EXPECT_EQ(r.includedLength, r.originalLength);
        EXPECT_EQ(r.includedLength, r.headerLength + r.dataLength);
        EXPECT_EQ(r.headerLength, e.stage < 0 ? 27 : 28);
        EXPECT_EQ(r.requestId, e.id);
        EXPECT_EQ(r.status, e.status);
        EXPECT_EQ(r.function, e.function);
        EXPECT_EQ(r.info, e.info);
        EXPECT_EQ(r.bus, 1);
        EXPECT_EQ(r.device, 3);
        EXPECT_EQ(r.endpoint, e.endpoint);
        EXPECT_EQ(r.transfer, e.transfer);
        EXPECT_EQ(r.stage, e.stage);
        EXPECT_EQ(r.data, e.data);
    }
}

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    char buffer[512];
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr) {
        out += buffer;
    }
    pclose(pipe);
    return out;
}

TEST_F(CaptureFile, WiresharkDecodesIt) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "tshark is not installed";
    }
    const std::string fields =
        run("tshark -r '" + path_ +
            "' -T fields -E separator=, -e usb.irp_id -e usb.transfer_type "
            "-e usb.endpoint_address -e usb.irp_info.direction -e usb.control_stage "
            "-e usb.data_len -e usb.usbd_status -e usb.idVendor -e usb.capdata 2>/dev/null");
    // Setup and complete stages pair up, so Wireshark decodes the device descriptor that the
    // completion carries.
    EXPECT_EQ(fields,
              "0x0000000000001000,0x02,0x80,0x00,0,8,0x00000000,,\n"
              "0x0000000000001000,0x02,0x80,0x01,3,18,0x00000000,0x1234,\n"
              "0x0000000000002000,0x03,0x02,0x00,,5,0x00000000,,68656c6c6f\n"
              "0x0000000000002000,0x03,0x02,0x01,,0,0x00000000,,\n"
              "0x0000000000003000,0x03,0x81,0x00,,0,0x00000000,,\n"
              "0x0000000000003000,0x03,0x81,0x01,,3,0x00000000,,616263\n"
              "0x0000000000004000,0x03,0x81,0x00,,0,0x00000000,,\n"
              "0x0000000000004000,0x03,0x81,0x01,,0,0xc0000004,,\n");
}

}  // namespace
