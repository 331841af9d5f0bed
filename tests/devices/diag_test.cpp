// The diagnostic function: its framing, the request/response protocol, loopback, and how data
// waits for the host.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_host.h"
#include "vel/devices/diag_frame.h"
#include "vel/devices/diag_function.h"
#include "vel/devices/handset_presets.h"

namespace {

using namespace vel::dev;
using namespace vel::dev::testing;
using vel::usb::Handshake;

std::vector<DecodedFrame> decodeAll(const Bytes& stream) {
    FrameDecoder decoder;
    std::vector<DecodedFrame> frames;
    decoder.feed(stream, frames);
    return frames;
}

TEST(DiagFrame, CrcIsTheCcittReflectedCheck) {
    // The standard check value of this CRC over "123456789".
    EXPECT_EQ(frameCrc(bytes("123456789")), 0x906E);
    EXPECT_EQ(frameCrc({}), 0x0000);
}

TEST(DiagFrame, EscapesFlagAndEscapeBytesAndRoundTrips) {
    struct Case {
        Bytes payload;
        Bytes encoded;  // empty: only the round trip is checked
    } cases[] = {
        {{0x01, 0x02}, {}},
        {{0x7E}, {0x7D, 0x5E}},
        {{0x7D}, {0x7D, 0x5D}},
        {{0x5E, 0x7D, 0x7E, 0x20}, {0x5E, 0x7D, 0x5D, 0x7D, 0x5E, 0x20}},
        {{}, {}},
        {Bytes(300, 0x7E), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.payload));
        const Bytes frame = encodeFrame(c.payload);
        EXPECT_EQ(frame.back(), kFrameFlag);
        EXPECT_EQ(std::count(frame.begin(), frame.end(), kFrameFlag), 1);
        if (!c.encoded.empty()) {
            EXPECT_TRUE(std::equal(c.encoded.begin(), c.encoded.end(), frame.begin()));
        }
        const auto frames = decodeAll(frame);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_TRUE(frames[0].valid);
        EXPECT_EQ(frames[0].payload, c.payload);
    }
    // The CRC bytes are escaped as well: find a payload whose CRC holds a flag byte.
    for (uint8_t b = 0;; ++b) {
        const uint16_t crc = frameCrc(Bytes{b});
        if ((crc & 0xFF) == 0x7E || crc >> 8 == 0x7E || (crc & 0xFF) == 0x7D || crc >> 8 == 0x7D) {
            const auto frames = decodeAll(encodeFrame(Bytes{b}));
            ASSERT_EQ(frames.size(), 1u);
            EXPECT_TRUE(frames[0].valid);
            EXPECT_EQ(frames[0].payload, Bytes{b});
            break;
        }
        ASSERT_NE(b, 0xFF);
    }
}

TEST(DiagFrame, DecoderSplitsAStreamAnywhereAndFlagsDamage) {
    Bytes stream = encodeFrame(Bytes{1, 0x7E, 3});
    stream.push_back(kFrameFlag);  // an empty frame is skipped
    const Bytes second = encodeFrame(Bytes{4, 5});
    stream.insert(stream.end(), second.begin(), second.end());
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        FrameDecoder decoder;
        std::vector<DecodedFrame> frames;
        decoder.feed(std::span(stream).first(cut), frames);
        decoder.feed(std::span(stream).subspan(cut), frames);
        ASSERT_EQ(frames.size(), 2u) << cut;
        EXPECT_EQ(frames[0].payload, (Bytes{1, 0x7E, 3}));
        EXPECT_EQ(frames[1].payload, (Bytes{4, 5}));
        EXPECT_TRUE(frames[0].valid && frames[1].valid);
    }

    Bytes corrupt = encodeFrame(Bytes{1, 2, 3});
    corrupt[1] ^= 0x01;
    struct Case {
        const char* what;
        Bytes stream;
    } damaged[] = {
        {"bit error", corrupt},
        {"one byte", {0x01, kFrameFlag}},
        {"escape before the flag", {0x01, 0x02, 0x03, kFrameEscape, kFrameFlag}},
        {"only an escape", {kFrameEscape, kFrameFlag}},
    };
    for (const Case& c : damaged) {
        SCOPED_TRACE(c.what);
        const auto frames = decodeAll(c.stream);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_FALSE(frames[0].valid);
    }
}

class DiagTest : public ::testing::TestWithParam<const char*> {
  protected:
    DiagTest() : device(handsetPreset(GetParam(), "SN-42")), diag(*device->find<DiagFunction>()) {
        device->attached(host, vel::usb::Speed::High);
        device->configurationSelected(1);
    }

    void send(const Bytes& data) {
        EXPECT_TRUE(sendOut(*device, diag.bulkOutEndpoint(), data, packetSize()));
    }
    Bytes received() { return drainIn(*device, diag.bulkInEndpoint(), packetSize()); }
    uint16_t packetSize() const { return std::string_view(GetParam()).ends_with("-hs") ? 512 : 64; }

    // Sends one request frame and decodes every response frame.
    std::vector<Bytes> request(const Bytes& payload) {
        send(encodeFrame(payload));
        std::vector<Bytes> responses;
        for (const DecodedFrame& f : decodeAll(received())) {
            EXPECT_TRUE(f.valid);
            responses.push_back(f.payload);
        }
        return responses;
    }

    FakeHost host;
    std::unique_ptr<FunctionDevice> device;
    DiagFunction& diag;
};

TEST_P(DiagTest, AnswersRequests) {
    struct Case {
        Bytes request;
        Bytes response;
    } cases[] = {
        {{diag::kVersion}, Bytes{0x00, 0x00, 'V', 'H', '-', '1', '0', '0', ' ', '1', '.', '0'}},
        {{diag::kEcho, 0x7E, 0x7D, 0x00}, {0x01, 0x00, 0x7E, 0x7D, 0x00}},
        {{diag::kEcho}, {0x01, 0x00}},
        {{diag::kSerial}, {0x02, 0x00, 'S', 'N', '-', '4', '2'}},
        {{0x33, 1, 2}, {0x33, diag::kStatusUnknownCommand}},
        {{0xFF}, {0xFF, diag::kStatusUnknownCommand}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.request));
        EXPECT_EQ(request(c.request), std::vector<Bytes>{c.response});
    }
    EXPECT_FALSE(diag.loopback());
}

TEST_P(DiagTest, AnswersDamagedFramesWithBadFrame) {
    Bytes corrupt = encodeFrame(Bytes{diag::kEcho, 9});
    corrupt[1] ^= 0x40;
    send(corrupt);
    send({0x42, kFrameFlag});
    const auto frames = decodeAll(received());
    ASSERT_EQ(frames.size(), 2u);
    for (const DecodedFrame& f : frames) {
        EXPECT_TRUE(f.valid);
        EXPECT_EQ(f.payload, (Bytes{diag::kBadFrame, diag::kStatusBadFrame}));
    }
    // The stream recovers at the next frame.
    EXPECT_EQ(request({diag::kEcho, 7}), (std::vector<Bytes>{{0x01, 0x00, 7}}));
}

TEST_P(DiagTest, RequestsSplitOverPacketsAndSeveralInOnePacket) {
    Bytes stream = encodeFrame(Bytes{diag::kEcho, 1});
    const Bytes second = encodeFrame(Bytes{diag::kEcho, 2});
    stream.insert(stream.end(), second.begin(), second.end());
    EXPECT_TRUE(sendOut(*device, diag.bulkOutEndpoint(), stream, 3));
    const auto frames = decodeAll(received());
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].payload, (Bytes{0x01, 0x00, 1}));
    EXPECT_EQ(frames[1].payload, (Bytes{0x01, 0x00, 2}));
}

TEST_P(DiagTest, LoopbackReturnsEveryByteUntilReset) {
    // The bytes behind the loopback request in the same packet already come back raw.
    Bytes packet = encodeFrame(Bytes{diag::kLoopback});
    const Bytes raw{0x7E, 0x00, 0x7D, 0xFF, 'x'};
    packet.insert(packet.end(), raw.begin(), raw.end());
    send(packet);
    Bytes expected = encodeFrame(Bytes{diag::kLoopback, diag::kStatusOk});
    expected.insert(expected.end(), raw.begin(), raw.end());
    EXPECT_EQ(received(), expected);
    EXPECT_TRUE(diag.loopback());

    const Bytes frame = encodeFrame(Bytes{diag::kVersion});
    send(frame);
    EXPECT_EQ(received(), frame);  // requests are data now
    Bytes big(3000);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(i * 7);
    }
    send(big);
    EXPECT_EQ(received(), big);

    device->configurationSelected(1);
    EXPECT_FALSE(diag.loopback());
    EXPECT_EQ(request({diag::kEcho, 5}), (std::vector<Bytes>{{0x01, 0x00, 5}}));

    diag.setLoopback(true);
    send({1, 2, 3});
    EXPECT_EQ(received(), (Bytes{1, 2, 3}));
    diag.setLoopback(false);
    EXPECT_EQ(request({diag::kEcho, 6}), (std::vector<Bytes>{{0x01, 0x00, 6}}));
}

TEST_P(DiagTest, NakThenEndpointReadyAndBackPressure) {
    EXPECT_EQ(device->in(diag.bulkInEndpoint(), packetSize()).handshake, Handshake::Nak);
    // Half a frame produces nothing yet.
    const Bytes frame = encodeFrame(Bytes{diag::kSerial});
    send(Bytes(frame.begin(), frame.end() - 1));
    EXPECT_TRUE(host.ready.empty());
    send(Bytes{kFrameFlag});
    EXPECT_EQ(host.ready, std::vector<uint8_t>{diag.bulkInEndpoint()});

    // In loopback, an unread backlog makes the function refuse OUT data until the host reads.
    received();
    host.ready.clear();
    diag.setLoopback(true);
    const Bytes packet(packetSize(), 0x55);
    int accepted = 0;
    while (device->out(diag.bulkOutEndpoint(), packet) == Handshake::Ack) {
        ASSERT_LT(++accepted, 1000);
    }
    EXPECT_GE(accepted * packetSize(), 4096);
    EXPECT_EQ(host.ready, std::vector<uint8_t>{diag.bulkInEndpoint()});
    const size_t drained = received().size();
    EXPECT_EQ(drained, static_cast<size_t>(accepted) * packetSize());
    EXPECT_EQ(host.ready, (std::vector<uint8_t>{diag.bulkInEndpoint(), diag.bulkOutEndpoint()}));
    EXPECT_EQ(device->out(diag.bulkOutEndpoint(), packet), Handshake::Ack);
}

TEST_P(DiagTest, StallsClassRequestsAndForeignEndpoints) {
    EXPECT_EQ(device->control(classRequest(0x22, 1, diag.interfaceNumber()), {}).handshake,
              Handshake::Stall);
    EXPECT_EQ(device->control({0xC1, 0x01, 0, diag.interfaceNumber(), 4}, {}).handshake,
              Handshake::Stall);
}

INSTANTIATE_TEST_SUITE_P(Presets, DiagTest,
                         ::testing::Values("union-hs", "iad-fs", "download-hs", "download-fs"),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
