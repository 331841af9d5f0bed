// A host side for driving device models directly: it records what the model tells it and
// moves data a packet at a time the way the host controller would.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "vel/usb/device_model.h"

namespace vel::dev::testing {

class FakeHost : public usb::DeviceHost {
  public:
    void endpointReady(uint8_t endpointAddress) override { ready.push_back(endpointAddress); }
    void controlReady(usb::ControlAnswer answer) override { late.push_back(std::move(answer)); }
    void schedule(int64_t delayTicks, std::function<void()> action) override {
        scheduled.push_back({delayTicks, std::move(action)});
    }
    int64_t now() const override { return 0; }

    std::vector<uint8_t> ready;
    std::vector<usb::ControlAnswer> late;
    std::vector<std::pair<int64_t, std::function<void()>>> scheduled;
};

inline usb::Bytes bytes(std::string_view text) {
    return usb::Bytes(text.begin(), text.end());
}
inline std::string text(const usb::Bytes& b) {
    return std::string(b.begin(), b.end());
}

// Sends `data` to an OUT endpoint in packets of `packetSize`; false if any packet is refused.
inline bool sendOut(usb::DeviceModel& model, uint8_t endpoint, const usb::Bytes& data,
                    size_t packetSize = 512) {
    for (size_t pos = 0; pos < data.size(); pos += packetSize) {
        const size_t n = std::min(packetSize, data.size() - pos);
        if (model.out(endpoint, std::span(data).subspan(pos, n)) != usb::Handshake::Ack) {
            return false;
        }
    }
    return true;
}

// Reads IN packets until the endpoint NAKs; a short or zero-length packet ends nothing here,
// the whole backlog is collected.
inline usb::Bytes drainIn(usb::DeviceModel& model, uint8_t endpoint, uint16_t packetSize = 512) {
    usb::Bytes all;
    for (;;) {
        usb::InAnswer a = model.in(endpoint, packetSize);
        if (a.handshake != usb::Handshake::Ack) {
            return all;
        }
        all.insert(all.end(), a.packet.begin(), a.packet.end());
    }
}

inline usb::SetupPacket classRequest(uint8_t request, uint16_t value, uint16_t index,
                                     uint16_t length = 0, bool in = false) {
    return {static_cast<uint8_t>(in ? 0xA1 : 0x21), request, value, index, length};
}

}  // namespace vel::dev::testing
