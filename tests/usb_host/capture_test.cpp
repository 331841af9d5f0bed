// Every URB submission and completion goes to the capture file, with virtual timestamps, and
// the file reads back as the capture writer's format describes.
#include <unistd.h>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "host_fixture.h"

namespace vel::usb::test {
namespace {

uint64_t le(const Bytes& b, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = v << 8 | b.at(at + i);
    }
    return v;
}

struct Record {
    uint64_t timeUs;
    uint64_t requestId;
    uint32_t status;
    uint16_t function;
    bool completion;
    uint16_t bus, device;
    uint8_t endpoint, transfer;
    int stage;
    Bytes data;
};

std::vector<Record> readCapture(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(le(b, 0, 4), 0xA1B2C3D4u);
    EXPECT_EQ(le(b, 20, 4), 249u);
    std::vector<Record> records;
    for (size_t pos = 24; pos < b.size();) {
        Record r{};
        r.timeUs = le(b, pos, 4) * 1'000'000 + le(b, pos + 4, 4);
        const size_t included = le(b, pos + 8, 4);
        const size_t p = pos + 16;
        const size_t header = le(b, p, 2);
        r.requestId = le(b, p + 2, 8);
        r.status = static_cast<uint32_t>(le(b, p + 10, 4));
        r.function = static_cast<uint16_t>(le(b, p + 14, 2));
        r.completion = (b.at(p + 16) & 1) != 0;
        r.bus = static_cast<uint16_t>(le(b, p + 17, 2));
        r.device = static_cast<uint16_t>(le(b, p + 19, 2));
        r.endpoint = b.at(p + 21);
        r.transfer = b.at(p + 22);
        const size_t length = le(b, p + 23, 4);
        r.stage = header > 27 ? b.at(p + 27) : -1;
        r.data.assign(b.begin() + p + header, b.begin() + p + header + length);
        records.push_back(r);
        pos += 16 + included;
    }
    return records;
}

class Capture : public HostTest {};

TEST_F(Capture, RecordsEveryUrbWithVirtualTimestamps) {
    const std::string path =
        ::testing::TempDir() + "usb_host_capture_" + std::to_string(::getpid()) + ".pcap";
    auto device = plug(1, twoInterfaceLayout());
    ASSERT_TRUE(hc().startCapture(path));
    const Pipes pipes = configure(*device);
    auto descriptor = descriptorRequest(1, 0, 0, 18);
    ASSERT_EQ(run(*descriptor), STATUS_SUCCESS);
    auto out = bulkRequest(pipes.bulkOut, 10, false);
    for (int i = 0; i < 10; ++i) {
        out->data[i] = static_cast<uint8_t>(0xB0 + i);
    }
    ASSERT_EQ(run(*out), STATUS_SUCCESS);
    device->pushIn(0x82, Bytes{1, 2, 3, 4, 5});
    auto in = bulkRequest(pipes.bulkIn, 64, true);
    ASSERT_EQ(run(*in), STATUS_SUCCESS);
    auto bad = bulkRequest(nullptr, 4, true);
    EXPECT_EQ(run(*bad), STATUS_INVALID_PARAMETER);
    hc().stopCapture();
    auto after = descriptorRequest(1, 0, 0, 18);
    run(*after);

    const std::vector<Record> records = readCapture(path);
    std::remove(path.c_str());
    ASSERT_EQ(records.size(), 10u);
    for (size_t i = 0; i < records.size(); i += 2) {
        SCOPED_TRACE(i);
        const Record& submit = records[i];
        const Record& done = records[i + 1];
        EXPECT_FALSE(submit.completion);
        EXPECT_TRUE(done.completion);
        EXPECT_EQ(submit.requestId, done.requestId);
        EXPECT_EQ(submit.function, done.function);
        EXPECT_EQ(submit.bus, 1);
        EXPECT_EQ(submit.device, 1);
        EXPECT_LE(submit.timeUs, done.timeUs);
        if (i > 0) {
            EXPECT_LE(records[i - 1].timeUs, submit.timeUs);
        }
    }
    // Selection: request information only.
    EXPECT_EQ(records[0].function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(records[0].transfer, 0xFE);
    // Descriptor read: setup stage with the eight setup bytes, complete stage with the data.
    EXPECT_EQ(records[2].transfer, 2);
    EXPECT_EQ(records[2].stage, 0);
    EXPECT_EQ(records[2].data, (Bytes{0x80, 6, 0, 1, 0, 0, 18, 0}));
    EXPECT_EQ(records[3].stage, 3);
    EXPECT_EQ(records[3].data, deviceDescriptorOf(twoInterfaceLayout()));
    // Bulk OUT carries its data on submission, bulk IN on completion, a frame later at least.
    EXPECT_EQ(records[4].endpoint, 0x02);
    EXPECT_EQ(records[4].transfer, 3);
    EXPECT_EQ(records[4].data, Bytes(out->data.begin(), out->data.begin() + 10));
    EXPECT_TRUE(records[5].data.empty());
    EXPECT_EQ(records[7].endpoint, 0x82);
    EXPECT_EQ(records[7].data, (Bytes{1, 2, 3, 4, 5}));
    EXPECT_GE(records[7].timeUs - records[6].timeUs, 1000u);
    EXPECT_EQ(records[7].status, static_cast<uint32_t>(USBD_STATUS_SUCCESS));
    // A refused URB is recorded with its status.
    EXPECT_EQ(records[9].status, static_cast<uint32_t>(USBD_STATUS_INVALID_PIPE_HANDLE));
}

TEST_F(Capture, UnwritablePathIsReported) {
    std::string error;
    EXPECT_FALSE(hc().startCapture("/nonexistent-dir/x.pcap", &error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace vel::usb::test
