// The modem function: a CDC abstract control model with a communication interface (header,
// call management, ACM and union functional descriptors, an interrupt-IN notification
// endpoint) and a data interface (bulk OUT and IN), grouped by its union descriptor and, with
// Grouping::Association, an interface association as well.
//
// Interfaces: firstInterface (communication), firstInterface + 1 (data). Endpoints: IN
// firstEndpoint (notification), OUT and IN firstEndpoint + 1 (data).
//
// Class requests on the communication interface: SET/GET_LINE_CODING (stored; 115200 8N1 at
// power-on), SET_CONTROL_LINE_STATE (DTR bit 0, RTS bit 1; every request is kept in a history),
// SEND_BREAK (durations kept). Anything else STALLs.
//
// The data interface runs an AtInterpreter. SERIAL_STATE notifications (bmRequestType 0xA1,
// bNotification 0x20, wValue 0, wIndex the communication interface, wLength 2, then the 16-bit
// state) are queued whenever a level changes: DSR (bit 1) follows DTR, carrier (bit 0) is on
// while a call is connected. ring() and signalErrors() queue one notification carrying those
// event bits on top of the levels. Each IN transaction on the interrupt endpoint takes the
// next notification.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "vel/devices/at_interpreter.h"
#include "vel/devices/function.h"
#include "vel/devices/packet_queue.h"

namespace vel::dev {

struct LineCoding {
    uint32_t rate = 115200;
    uint8_t stopBits = 0;  // 0 = 1, 1 = 1.5, 2 = 2
    uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t dataBits = 8;

    bool operator==(const LineCoding&) const = default;
};

class AcmModem : public Function {
  public:
    AcmModem(const FunctionSlot& slot, ProductIdentity identity);

    uint8_t commInterface() const { return slot_.firstInterface; }
    uint8_t dataInterface() const { return slot_.firstInterface + 1; }
    uint8_t notifyEndpoint() const { return 0x80 | slot_.firstEndpoint; }
    uint8_t bulkOutEndpoint() const { return slot_.firstEndpoint + 1; }
    uint8_t bulkInEndpoint() const { return 0x80 | (slot_.firstEndpoint + 1); }

    // Test and tool controls.
    void ring();
    // Break (bit 2), framing (bit 4), parity (bit 5) and overrun (bit 6); other bits ignored.
    void signalErrors(uint16_t bits);

    LineCoding lineCoding() const;
    uint16_t controlLines() const;
    std::vector<uint16_t> controlLineHistory() const;
    std::vector<uint16_t> breaks() const;
    uint16_t serialState() const;  // the levels last reported
    bool online() const;
    bool echo() const;

    void describe(ConfigurationBuilder& config) const override;
    void reset() override;
    usb::ControlAnswer control(const usb::SetupPacket& setup,
                               std::span<const uint8_t> dataOut) override;
    usb::Handshake out(uint8_t endpointAddress, std::span<const uint8_t> packet) override;
    usb::InAnswer in(uint8_t endpointAddress, uint16_t maxPacketSize) override;

  private:
    // What a state change asks of the host once the lock is released.
    struct Wakeups {
        bool notify = false;
        bool dataIn = false;
        bool dataOut = false;
    };
    uint16_t levels() const;
    // Queues a notification when the levels changed or `events` are set.
    void report(uint16_t events, Wakeups& wake);
    void queueData(const Bytes& bytes, Wakeups& wake);
    void wakeUp(const Wakeups& wake) const;

    const FunctionSlot slot_;

    mutable std::mutex mutex_;
    AtInterpreter at_;
    LineCoding coding_;
    uint16_t lines_ = 0;
    std::vector<uint16_t> lineHistory_;
    std::vector<uint16_t> breaks_;
    uint16_t reported_ = 0;
    std::deque<Bytes> notifications_;
    bool notifyNaked_ = false;
    PacketQueue toHost_;
    bool outNaked_ = false;
};

}  // namespace vel::dev
