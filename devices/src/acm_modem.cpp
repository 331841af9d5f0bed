#include "vel/devices/acm_modem.h"

#include <algorithm>
#include <utility>

#include "vel_usb_cdc.h"

namespace vel::dev {
namespace {

constexpr uint16_t kErrorBits = USB_CDC_SERIAL_STATE_BREAK | USB_CDC_SERIAL_STATE_FRAMING |
                                USB_CDC_SERIAL_STATE_PARITY | USB_CDC_SERIAL_STATE_OVERRUN;
// Data the host has not read yet beyond which the modem stops taking OUT packets.
constexpr size_t kBacklogLimit = 4096;
constexpr uint8_t kInterruptPacketSize = 16;

}  // namespace

AcmModem::AcmModem(const FunctionSlot& slot, ProductIdentity identity)
    : Function({slot.firstInterface, static_cast<uint8_t>(slot.firstInterface + 1)},
               {static_cast<uint8_t>(0x80 | slot.firstEndpoint),
                static_cast<uint8_t>(slot.firstEndpoint + 1),
                static_cast<uint8_t>(0x80 | (slot.firstEndpoint + 1))}),
      slot_(slot),
      at_(std::move(identity)) {}

void AcmModem::describe(ConfigurationBuilder& config) const {
    const uint8_t comm = commInterface();
    const uint8_t data[] = {dataInterface()};
    if (slot_.grouping == Grouping::Association) {
        config.association({.firstInterface = comm,
                            .interfaceCount = 2,
                            .functionClass = USB_DEVICE_CLASS_COMMUNICATIONS,
                            .functionSubClass = USB_CDC_SUBCLASS_ACM,
                            .functionProtocol = USB_CDC_PROTOCOL_AT_V250,
                            .stringIndex = slot_.stringIndex});
    }
    // An interrupt interval of 16 ms: frames at full speed, 2^(n-1) microframes at high speed.
    const uint8_t interval = slot_.speed == usb::Speed::High ? 8 : 16;
    config
        .interface({.number = comm,
                    .interfaceClass = USB_DEVICE_CLASS_COMMUNICATIONS,
                    .subClass = USB_CDC_SUBCLASS_ACM,
                    .protocol = USB_CDC_PROTOCOL_AT_V250,
                    .stringIndex = slot_.stringIndex})
        .cdcHeader()
        .cdcCallManagement(USB_CDC_CALL_MGMT_HANDLES_CALLS | USB_CDC_CALL_MGMT_OVER_DATA,
                           dataInterface())
        .cdcAcm(USB_CDC_ACM_LINE | USB_CDC_ACM_SEND_BREAK)
        .cdcUnion(comm, data)
        .endpoint({.address = notifyEndpoint(),
                   .type = EndpointType::Interrupt,
                   .maxPacketSize = kInterruptPacketSize,
                   .interval = interval})
        .interface({.number = dataInterface(), .interfaceClass = USB_DEVICE_CLASS_CDC_DATA})
        .endpoint({.address = bulkOutEndpoint(), .maxPacketSize = slot_.bulkPacketSize()})
        .endpoint({.address = bulkInEndpoint(), .maxPacketSize = slot_.bulkPacketSize()});
}

void AcmModem::reset() {
    std::lock_guard lock(mutex_);
    at_.reset();
    coding_ = {};
    lines_ = 0;
    reported_ = 0;
    notifications_.clear();
    toHost_.clear();
}

uint16_t AcmModem::levels() const {
    uint16_t state = 0;
    if (lines_ & USB_CDC_CONTROL_LINE_DTR) {
        state |= USB_CDC_SERIAL_STATE_DSR;
    }
    if (at_.online()) {
        state |= USB_CDC_SERIAL_STATE_DCD;
    }
    return state;
}

void AcmModem::report(uint16_t events, Wakeups& wake) {
    const uint16_t state = levels();
    if (state == reported_ && events == 0) {
        return;
    }
    reported_ = state;
    const uint16_t bits = state | events;
    const uint8_t iface = commInterface();
    notifications_.push_back({0xA1, USB_CDC_NOTIFY_SERIAL_STATE, 0, 0, iface, 0, 2, 0,
                              static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8)});
    wake.notify = wake.notify || std::exchange(notifyNaked_, false);
}

void AcmModem::queueData(const Bytes& bytes, Wakeups& wake) {
    wake.dataIn = toHost_.push(bytes) || wake.dataIn;
}

void AcmModem::wakeUp(const Wakeups& wake) const {
    if (wake.notify) {
        notifyReady(notifyEndpoint());
    }
    if (wake.dataIn) {
        notifyReady(bulkInEndpoint());
    }
    if (wake.dataOut) {
        notifyReady(bulkOutEndpoint());
    }
}

void AcmModem::ring() {
    Wakeups wake;
    {
        std::lock_guard lock(mutex_);
        Bytes text;
        at_.ring(text);
        queueData(text, wake);
        report(USB_CDC_SERIAL_STATE_RING, wake);
    }
    wakeUp(wake);
}

void AcmModem::signalErrors(uint16_t bits) {
    bits &= kErrorBits;
    if (bits == 0) {
        return;
    }
    Wakeups wake;
    {
        std::lock_guard lock(mutex_);
        report(bits, wake);
    }
    wakeUp(wake);
}

usb::ControlAnswer AcmModem::control(const usb::SetupPacket& setup,
                                     std::span<const uint8_t> dataOut) {
    if (setup.type() != BMREQUEST_CLASS || setup.recipient() != BMREQUEST_TO_INTERFACE ||
        static_cast<uint8_t>(setup.wIndex) != commInterface()) {
        return stall();
    }
    Wakeups wake;
    usb::ControlAnswer answer;
    {
        std::lock_guard lock(mutex_);
        switch (setup.bRequest) {
            case USB_CDC_SET_LINE_CODING:
                if (setup.deviceToHost() || dataOut.size() < sizeof(USB_CDC_LINE_CODING)) {
                    return stall();
                }
                coding_ = {static_cast<uint32_t>(dataOut[0] | dataOut[1] << 8 | dataOut[2] << 16 |
                                                 dataOut[3] << 24),
                           dataOut[4], dataOut[5], dataOut[6]};
                break;
            case USB_CDC_GET_LINE_CODING:
                if (!setup.deviceToHost()) {
                    return stall();
                }
                answer.data = {static_cast<uint8_t>(coding_.rate),
                               static_cast<uint8_t>(coding_.rate >> 8),
                               static_cast<uint8_t>(coding_.rate >> 16),
                               static_cast<uint8_t>(coding_.rate >> 24),
                               coding_.stopBits,
                               coding_.parity,
                               coding_.dataBits};
                break;
            case USB_CDC_SET_CONTROL_LINE_STATE: {
                if (setup.deviceToHost()) {
                    return stall();
                }
                const bool dtrDropped = (lines_ & USB_CDC_CONTROL_LINE_DTR) &&
                                        !(setup.wValue & USB_CDC_CONTROL_LINE_DTR);
                lines_ = setup.wValue & (USB_CDC_CONTROL_LINE_DTR | USB_CDC_CONTROL_LINE_RTS);
                lineHistory_.push_back(setup.wValue);
                if (dtrDropped) {
                    Bytes text;
                    at_.hangUp(text);
                    queueData(text, wake);
                }
                report(0, wake);
                break;
            }
            case USB_CDC_SEND_BREAK:
                if (setup.deviceToHost()) {
                    return stall();
                }
                breaks_.push_back(setup.wValue);
                break;
            default:
                return stall();
        }
    }
    wakeUp(wake);
    return answer;
}

usb::Handshake AcmModem::out(uint8_t endpointAddress, std::span<const uint8_t> packet) {
    if (endpointAddress != bulkOutEndpoint()) {
        return usb::Handshake::Stall;
    }
    Wakeups wake;
    {
        std::lock_guard lock(mutex_);
        if (toHost_.size() >= kBacklogLimit) {
            outNaked_ = true;
            return usb::Handshake::Nak;
        }
        Bytes reply;
        at_.receive(packet, reply);
        queueData(reply, wake);
        report(0, wake);
    }
    wakeUp(wake);
    return usb::Handshake::Ack;
}

usb::InAnswer AcmModem::in(uint8_t endpointAddress, uint16_t maxPacketSize) {
    Wakeups wake;
    usb::InAnswer answer;
    {
        std::lock_guard lock(mutex_);
        if (endpointAddress == notifyEndpoint()) {
            if (notifications_.empty()) {
                notifyNaked_ = true;
                return {usb::Handshake::Nak, {}};
            }
            // A notification longer than the packet goes out in pieces.
            Bytes& next = notifications_.front();
            const size_t n = std::min<size_t>(maxPacketSize, next.size());
            answer = {usb::Handshake::Ack, Bytes(next.begin(), next.begin() + n)};
            next.erase(next.begin(), next.begin() + n);
            if (next.empty()) {
                notifications_.pop_front();
            }
            return answer;
        }
        if (endpointAddress != bulkInEndpoint()) {
            return {usb::Handshake::Stall, {}};
        }
        answer = toHost_.take(maxPacketSize);
        if (toHost_.size() < kBacklogLimit) {
            wake.dataOut = std::exchange(outNaked_, false);
        }
    }
    wakeUp(wake);
    return answer;
}

LineCoding AcmModem::lineCoding() const {
    std::lock_guard lock(mutex_);
    return coding_;
}

uint16_t AcmModem::controlLines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<uint16_t> AcmModem::controlLineHistory() const {
    std::lock_guard lock(mutex_);
    return lineHistory_;
}

std::vector<uint16_t> AcmModem::breaks() const {
    std::lock_guard lock(mutex_);
    return breaks_;
}

uint16_t AcmModem::serialState() const {
    std::lock_guard lock(mutex_);
    return reported_;
}

bool AcmModem::online() const {
    std::lock_guard lock(mutex_);
    return at_.online();
}

bool AcmModem::echo() const {
    std::lock_guard lock(mutex_);
    return at_.echo();
}

}  // namespace vel::dev
