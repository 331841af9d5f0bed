#include "vel/devices/diag_function.h"

#include <utility>

#include "vel_usb_cdc.h"

namespace vel::dev {
namespace {

// Data the host has not read yet beyond which the function stops taking OUT packets.
constexpr size_t kBacklogLimit = 4096;
// MDLM detail: bGuidDescriptorType 0, then a capability byte of this model (no options).
constexpr uint8_t kMdlmDetail[] = {0x00};

Bytes text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

}  // namespace

DiagFunction::DiagFunction(const FunctionSlot& slot, DiagMode mode, const GuidBytes& guid,
                           ProductIdentity identity)
    : Function({slot.firstInterface},
               {slot.firstEndpoint, static_cast<uint8_t>(0x80 | slot.firstEndpoint)}),
      slot_(slot),
      mode_(mode),
      guid_(guid),
      identity_(std::move(identity)) {}

void DiagFunction::describe(ConfigurationBuilder& config) const {
    const uint8_t number = interfaceNumber();
    if (mode_ == DiagMode::Mdlm) {
        if (slot_.grouping == Grouping::Association) {
            config.association({.firstInterface = number,
                                .interfaceCount = 1,
                                .functionClass = USB_DEVICE_CLASS_COMMUNICATIONS,
                                .functionSubClass = USB_CDC_SUBCLASS_MDLM,
                                .functionProtocol = USB_CDC_PROTOCOL_NONE,
                                .stringIndex = slot_.stringIndex});
        }
        config
            .interface({.number = number,
                        .interfaceClass = USB_DEVICE_CLASS_COMMUNICATIONS,
                        .subClass = USB_CDC_SUBCLASS_MDLM,
                        .protocol = USB_CDC_PROTOCOL_NONE,
                        .stringIndex = slot_.stringIndex})
            .cdcHeader()
            .cdcMdlm(guid_)
            .cdcMdlmDetail(0x00, std::span<const uint8_t>(kMdlmDetail));
    } else {
        config.interface({.number = number,
                          .interfaceClass = USB_DEVICE_CLASS_VENDOR_SPECIFIC,
                          .subClass = 0xFF,
                          .protocol = 0xFF,
                          .stringIndex = slot_.stringIndex});
    }
    config.endpoint({.address = bulkOutEndpoint(), .maxPacketSize = slot_.bulkPacketSize()})
        .endpoint({.address = bulkInEndpoint(), .maxPacketSize = slot_.bulkPacketSize()});
}

void DiagFunction::setLoopback(bool on) {
    std::lock_guard lock(mutex_);
    loopback_ = on;
    decoder_.reset();
}

bool DiagFunction::loopback() const {
    std::lock_guard lock(mutex_);
    return loopback_;
}

void DiagFunction::reset() {
    std::lock_guard lock(mutex_);
    decoder_.reset();
    toHost_.clear();
    loopback_ = false;
}

Bytes DiagFunction::answer(const DecodedFrame& request) {
    if (!request.valid || request.payload.empty()) {
        return {diag::kBadFrame, diag::kStatusBadFrame};
    }
    const uint8_t command = request.payload.front();
    Bytes response{command, diag::kStatusOk};
    Bytes data;
    switch (command) {
        case diag::kVersion:
            data = text(identity_.model + " " + identity_.revision);
            break;
        case diag::kEcho:
            data.assign(request.payload.begin() + 1, request.payload.end());
            break;
        case diag::kSerial:
            data = text(identity_.serialNumber);
            break;
        case diag::kLoopback:
            loopback_ = true;
            break;
        default:
            response[1] = diag::kStatusUnknownCommand;
            break;
    }
    response.insert(response.end(), data.begin(), data.end());
    return response;
}

usb::Handshake DiagFunction::out(uint8_t endpointAddress, std::span<const uint8_t> packet) {
    if (endpointAddress != bulkOutEndpoint()) {
        return usb::Handshake::Stall;
    }
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (toHost_.size() >= kBacklogLimit) {
            outNaked_ = true;
            return usb::Handshake::Nak;
        }
        size_t used = 0;
        // Requests up to and including the one that starts loopback are framed; what follows
        // it in the same packet is already looped back.
        while (!loopback_ && used < packet.size()) {
            std::vector<DecodedFrame> frames;
            const size_t flag = [&] {
                for (size_t i = used; i < packet.size(); ++i) {
                    if (packet[i] == kFrameFlag) {
                        return i + 1;
                    }
                }
                return packet.size();
            }();
            decoder_.feed(packet.subspan(used, flag - used), frames);
            used = flag;
            for (const DecodedFrame& frame : frames) {
                wake = toHost_.push(encodeFrame(answer(frame))) || wake;
            }
        }
        if (loopback_) {
            wake = toHost_.push(packet.subspan(used)) || wake;
        }
    }
    if (wake) {
        notifyReady(bulkInEndpoint());
    }
    return usb::Handshake::Ack;
}

usb::InAnswer DiagFunction::in(uint8_t endpointAddress, uint16_t maxPacketSize) {
    if (endpointAddress != bulkInEndpoint()) {
        return {usb::Handshake::Stall, {}};
    }
    bool wakeOut = false;
    usb::InAnswer answer;
    {
        std::lock_guard lock(mutex_);
        answer = toHost_.take(maxPacketSize);
        if (toHost_.size() < kBacklogLimit) {
            wakeOut = std::exchange(outNaked_, false);
        }
    }
    if (wakeOut) {
        notifyReady(bulkOutEndpoint());
    }
    return answer;
}

}  // namespace vel::dev
