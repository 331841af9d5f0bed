// The modem function: AT dialogue, data mode and its exits, class requests, SERIAL_STATE
// notifications and the flow of data through NAK and endpointReady.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_host.h"
#include "vel/devices/acm_modem.h"
#include "vel/devices/handset_presets.h"

namespace {

using namespace vel::dev;
using namespace vel::dev::testing;
using vel::usb::Handshake;

constexpr uint8_t kSetLineCoding = 0x20;
constexpr uint8_t kGetLineCoding = 0x21;
constexpr uint8_t kSetControlLineState = 0x22;
constexpr uint8_t kSendBreak = 0x23;

class ModemTest : public ::testing::Test {
  protected:
    ModemTest() : device(handsetPreset("union-fs", "SN-42")), modem(*device->find<AcmModem>()) {
        device->attached(host, vel::usb::Speed::Full);
        device->configurationSelected(1);
    }

    std::string exchange(std::string_view input) {
        EXPECT_TRUE(sendOut(*device, modem.bulkOutEndpoint(), bytes(input), 64));
        return received();
    }
    std::string received() { return text(drainIn(*device, modem.bulkInEndpoint(), 64)); }

    Handshake setLines(uint16_t lines) {
        return device->control(classRequest(kSetControlLineState, lines, modem.commInterface()), {})
            .handshake;
    }

    // Every pending notification, each as its 16-bit state after checking the header.
    std::vector<uint16_t> notifications() {
        std::vector<uint16_t> states;
        const Bytes all = drainIn(*device, modem.notifyEndpoint(), 16);
        EXPECT_EQ(all.size() % 10, 0u);
        for (size_t i = 0; i + 10 <= all.size(); i += 10) {
            EXPECT_EQ(Bytes(all.begin() + i, all.begin() + i + 8),
                      (Bytes{0xA1, 0x20, 0, 0, modem.commInterface(), 0, 2, 0}));
            states.push_back(static_cast<uint16_t>(all[i + 8] | all[i + 9] << 8));
        }
        return states;
    }

    FakeHost host;
    std::unique_ptr<FunctionDevice> device;
    AcmModem& modem;
};

TEST_F(ModemTest, AnswersAtCommands) {
    struct Step {
        std::string in;
        std::string out;
    };
    const std::string ok = "\r\nOK\r\n";
    const std::string error = "\r\nERROR\r\n";
    const std::vector<std::vector<Step>> dialogues = {
        {{"AT\r", "AT\r" + ok}},
        {{"at\r", "at\r" + ok}},
        {{"aT\n\r", "aT\n\r" + ok}},  // line feeds are ignored
        {{"ATI\r", "ATI\r\r\nVel Test Handsets VH-100 1.0\r\n" + ok}},
        {{"AT+CGMI\r", "AT+CGMI\r\r\nVel Test Handsets\r\n" + ok}},
        {{"at+cgmm\r", "at+cgmm\r\r\nVH-100\r\n" + ok}},
        {{"AT+CGSN\r", "AT+CGSN\r\r\nSN-42\r\n" + ok}},
        {{"ATH\r", "ATH\r" + ok}},
        {{"ATX\r", "ATX\r" + error}},
        {{"AT+CGMX\r", "AT+CGMX\r" + error}},
        {{"hello\r", "hello\r" + error}},
        {{"ATD\r", "ATD\r" + error}},
        {{"ATDT\r", "ATDT\r" + error}},
        {{"ATD12a\r", "ATD12a\r" + error}},
        {{"\r", "\r"}},  // an empty line says nothing
        {{"ATQ\bI\r", "ATQ\bI\r\r\nVel Test Handsets VH-100 1.0\r\n" + ok}},  // backspace
        {{"A", "A"}, {"T", "T"}, {"\r", "\r" + ok}},  // a line over several packets
        {{"AT\rAT\r", "AT\r" + ok + "AT\r" + ok}},    // two lines in one packet
        // Echo goes off after the command that switches it is echoed, and comes back.
        {{"ATE0\r", "ATE0\r" + ok}, {"AT\r", ok}, {"ATE1\r", ok}, {"AT\r", "AT\r" + ok}},
        {{"ATE\r", "ATE\r" + ok}, {"ATI\r", "\r\nVel Test Handsets VH-100 1.0\r\n" + ok}},
    };
    for (const auto& dialogue : dialogues) {
        device->configurationSelected(1);  // a fresh modem for each dialogue
        for (const Step& step : dialogue) {
            SCOPED_TRACE(::testing::PrintToString(step.in));
            EXPECT_EQ(exchange(step.in), step.out);
        }
    }
    device->configurationSelected(1);
    exchange("ATE0\r");
    EXPECT_FALSE(modem.echo());
    device->configurationSelected(1);
    EXPECT_TRUE(modem.echo());
}

TEST_F(ModemTest, DataModeEchoesUntilTheEscape) {
    // What follows the dial command in the same packet is already data.
    EXPECT_EQ(exchange("ATDT 555-1234\rhello"), "ATDT 555-1234\r\r\nCONNECT\r\nhello");
    EXPECT_TRUE(modem.online());
    EXPECT_EQ(exchange("AT\r"), "AT\r");  // commands are data now
    EXPECT_EQ(exchange("+++x"), "+++x");
    EXPECT_EQ(exchange("++"), "++");
    EXPECT_EQ(exchange("+"), "+");
    EXPECT_TRUE(modem.online());
    EXPECT_EQ(exchange("+++"), "\r\nNO CARRIER\r\n");
    EXPECT_FALSE(modem.online());
    EXPECT_EQ(exchange("+++"), "+++");  // in command mode it is just text
    EXPECT_EQ(exchange("\r"), "\r\r\nERROR\r\n");
}

TEST_F(ModemTest, ControlLinesDriveDsrAndDtrDropHangsUp) {
    EXPECT_TRUE(notifications().empty());
    EXPECT_EQ(setLines(0x0001), Handshake::Ack);  // DTR: DSR follows
    EXPECT_EQ(notifications(), std::vector<uint16_t>{0x0002});
    EXPECT_EQ(setLines(0x0003), Handshake::Ack);  // RTS alone changes no level
    EXPECT_TRUE(notifications().empty());

    EXPECT_EQ(exchange("ATD1\r"), "ATD1\r\r\nCONNECT\r\n");
    EXPECT_EQ(notifications(), std::vector<uint16_t>{0x0003});  // carrier while connected
    EXPECT_EQ(modem.serialState(), 0x0003);

    EXPECT_EQ(setLines(0x0002), Handshake::Ack);  // DTR drops: the call ends
    EXPECT_EQ(received(), "\r\nNO CARRIER\r\n");
    EXPECT_FALSE(modem.online());
    EXPECT_EQ(notifications(), std::vector<uint16_t>{0x0000});

    // Without a call, dropping DTR only lowers DSR.
    EXPECT_EQ(setLines(0x0001), Handshake::Ack);
    EXPECT_EQ(setLines(0x0000), Handshake::Ack);
    EXPECT_EQ(received(), "");
    EXPECT_EQ(notifications(), (std::vector<uint16_t>{0x0002, 0x0000}));

    // The escape ends the call too; DSR stays while DTR is up.
    setLines(0x0001);
    exchange("ATD2\r+++");  // behind the dial command in its packet, "+++" is data
    EXPECT_TRUE(modem.online());
    exchange("+++");
    EXPECT_EQ(notifications(), (std::vector<uint16_t>{0x0002, 0x0003, 0x0002}));

    EXPECT_EQ(modem.controlLineHistory(),
              (std::vector<uint16_t>{0x0001, 0x0003, 0x0002, 0x0001, 0x0000, 0x0001}));
    EXPECT_EQ(modem.controlLines(), 0x0001);
}

TEST_F(ModemTest, RingAndErrorsAreEventsOnTopOfTheLevels) {
    setLines(0x0001);
    notifications();
    modem.ring();
    EXPECT_EQ(received(), "\r\nRING\r\n");
    modem.ring();
    EXPECT_EQ(notifications(), (std::vector<uint16_t>{0x000A, 0x000A}));

    // Only break, framing, parity and overrun are errors; other bits are dropped.
    modem.signalErrors(0xFFFF);
    modem.signalErrors(0x0010);
    modem.signalErrors(0x0003);  // no error bit: nothing to report
    EXPECT_EQ(notifications(), (std::vector<uint16_t>{0x0076, 0x0012}));

    exchange("ATD3\r");
    notifications();
    modem.ring();  // while online there is no RING text, but the notification goes out
    EXPECT_EQ(received(), "");
    EXPECT_EQ(notifications(), std::vector<uint16_t>{0x000B});
}

TEST_F(ModemTest, NotificationLongerThanThePacketGoesOutInPieces) {
    setLines(0x0001);
    const auto first = device->in(modem.notifyEndpoint(), 8);
    const auto second = device->in(modem.notifyEndpoint(), 8);
    EXPECT_EQ(first.packet, (Bytes{0xA1, 0x20, 0, 0, 0, 0, 2, 0}));
    EXPECT_EQ(second.packet, (Bytes{0x02, 0x00}));
    EXPECT_EQ(device->in(modem.notifyEndpoint(), 8).handshake, Handshake::Nak);
}

TEST_F(ModemTest, LineCodingAndBreak) {
    const auto get = [&] {
        return device->control(classRequest(kGetLineCoding, 0, 0, 7, true), {});
    };
    EXPECT_EQ(get().data, (Bytes{0x00, 0xC2, 0x01, 0x00, 0, 0, 8}));  // 115200 8N1

    const Bytes coding{0x80, 0x25, 0x00, 0x00, 2, 2, 7};  // 9600, 2 stop bits, even, 7 bits
    EXPECT_EQ(device->control(classRequest(kSetLineCoding, 0, 0, 7), coding).handshake,
              Handshake::Ack);
    EXPECT_EQ(get().data, coding);
    EXPECT_EQ(modem.lineCoding(), (LineCoding{9600, 2, 2, 7}));

    EXPECT_EQ(device->control(classRequest(kSendBreak, 250, 0), {}).handshake, Handshake::Ack);
    EXPECT_EQ(device->control(classRequest(kSendBreak, 0xFFFF, 0), {}).handshake, Handshake::Ack);
    EXPECT_EQ(modem.breaks(), (std::vector<uint16_t>{250, 0xFFFF}));

    // Requests the modem does not take stall and change nothing.
    const Bytes shortCoding(coding.begin(), coding.begin() + 6);
    struct Case {
        const char* what;
        vel::usb::SetupPacket setup;
        Bytes data;
    } refused[] = {
        {"short line coding", classRequest(kSetLineCoding, 0, 0, 6), shortCoding},
        {"set in the wrong direction", classRequest(kSetLineCoding, 0, 0, 7, true), coding},
        {"get in the wrong direction", classRequest(kGetLineCoding, 0, 0, 7), {}},
        {"comm feature", classRequest(0x02, 1, 0, 2), {0, 0}},
        {"encapsulated command", classRequest(0x00, 0, 0, 2), {0, 0}},
        {"data interface", classRequest(kSetControlLineState, 1, 1), {}},
        {"vendor request", {0x41, kSetControlLineState, 1, 0, 0}, {}},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(device->control(c.setup, c.data).handshake, Handshake::Stall);
    }
    EXPECT_EQ(modem.lineCoding(), (LineCoding{9600, 2, 2, 7}));
    EXPECT_TRUE(modem.controlLineHistory().empty());

    device->configurationSelected(1);
    EXPECT_EQ(modem.lineCoding(), LineCoding{});
}

TEST(Modem, RequestsAndNotificationsNameItsOwnCommunicationInterface) {
    std::vector<std::unique_ptr<Function>> functions;
    functions.push_back(std::make_unique<AcmModem>(
        FunctionSlot{.firstInterface = 4, .firstEndpoint = 6}, ProductIdentity{}));
    FunctionDevice device(Bytes{}, {}, nullptr, std::move(functions));
    AcmModem& modem = *device.find<AcmModem>();
    EXPECT_EQ(modem.notifyEndpoint(), 0x86);
    EXPECT_EQ(modem.bulkOutEndpoint(), 0x07);
    EXPECT_EQ(modem.bulkInEndpoint(), 0x87);

    EXPECT_EQ(device.control(classRequest(kSetControlLineState, 1, 0), {}).handshake,
              Handshake::Stall);
    EXPECT_EQ(device.control(classRequest(kSetControlLineState, 1, 5), {}).handshake,
              Handshake::Stall);
    EXPECT_EQ(device.control(classRequest(kSetControlLineState, 1, 4), {}).handshake,
              Handshake::Ack);
    EXPECT_EQ(drainIn(device, 0x86, 16), (Bytes{0xA1, 0x20, 0, 0, 4, 0, 2, 0, 2, 0}));
}

TEST_F(ModemTest, NakThenEndpointReadyWhenSomethingArrives) {
    EXPECT_EQ(device->in(modem.bulkInEndpoint(), 64).handshake, Handshake::Nak);
    EXPECT_EQ(device->in(modem.notifyEndpoint(), 16).handshake, Handshake::Nak);
    EXPECT_TRUE(host.ready.empty());

    sendOut(*device, modem.bulkOutEndpoint(), bytes("AT\r"), 64);
    EXPECT_EQ(host.ready, std::vector<uint8_t>{modem.bulkInEndpoint()});
    setLines(0x0001);
    EXPECT_EQ(host.ready, (std::vector<uint8_t>{modem.bulkInEndpoint(), modem.notifyEndpoint()}));

    // Once the host has the data, it is told again only after another NAK.
    host.ready.clear();
    EXPECT_EQ(received(), "AT\r\r\nOK\r\n");
    EXPECT_EQ(notifications(), std::vector<uint16_t>{0x0002});
    modem.ring();
    std::sort(host.ready.begin(), host.ready.end());
    EXPECT_EQ(host.ready, (std::vector<uint8_t>{modem.notifyEndpoint(), modem.bulkInEndpoint()}));

    // After detaching, nothing reaches the old host.
    host.ready.clear();
    device->detached();
    received();
    modem.ring();
    EXPECT_TRUE(host.ready.empty());
}

TEST_F(ModemTest, FullPacketIsFollowedByAZeroLengthPacket) {
    exchange("ATE0\rATD1\r");
    const std::string block(64, 'z');
    sendOut(*device, modem.bulkOutEndpoint(), bytes(block), 64);
    const auto full = device->in(modem.bulkInEndpoint(), 64);
    EXPECT_EQ(text(full.packet), block);
    const auto zlp = device->in(modem.bulkInEndpoint(), 64);
    EXPECT_EQ(zlp.handshake, Handshake::Ack);
    EXPECT_TRUE(zlp.packet.empty());
    EXPECT_EQ(device->in(modem.bulkInEndpoint(), 64).handshake, Handshake::Nak);
    // A short last packet ends the transfer by itself.
    sendOut(*device, modem.bulkOutEndpoint(), bytes(block + "!"), 64);
    EXPECT_EQ(device->in(modem.bulkInEndpoint(), 64).packet.size(), 64u);
    EXPECT_EQ(text(device->in(modem.bulkInEndpoint(), 64).packet), "!");
    EXPECT_EQ(device->in(modem.bulkInEndpoint(), 64).handshake, Handshake::Nak);
}

TEST_F(ModemTest, UnreadDataHoldsBackTheHostUntilItIsRead) {
    exchange("ATE0\rATD1\r");
    const Bytes packet(64, 'd');
    int accepted = 0;
    while (device->out(modem.bulkOutEndpoint(), packet) == Handshake::Ack) {
        ASSERT_LT(++accepted, 1000);
    }
    EXPECT_GE(accepted * 64, 4096);
    // The IN endpoint had been drained to a NAK before the data came.
    EXPECT_EQ(host.ready, std::vector<uint8_t>{modem.bulkInEndpoint()});
    // The first packet the host reads makes room: the refused OUT endpoint is woken.
    const auto first = device->in(modem.bulkInEndpoint(), 64);
    EXPECT_EQ(host.ready, (std::vector<uint8_t>{modem.bulkInEndpoint(), modem.bulkOutEndpoint()}));
    EXPECT_EQ(device->out(modem.bulkOutEndpoint(), packet), Handshake::Ack);
    // Nothing was lost or duplicated on the way.
    const size_t total = first.packet.size() + drainIn(*device, modem.bulkInEndpoint(), 64).size();
    EXPECT_EQ(total, static_cast<size_t>(accepted + 1) * 64);
}

}  // namespace
