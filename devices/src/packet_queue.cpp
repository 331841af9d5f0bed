#include "vel/devices/packet_queue.h"

#include <algorithm>
#include <utility>

namespace vel::dev {

bool PacketQueue::push(std::span<const uint8_t> bytes) {
    if (bytes.empty()) {
        return false;
    }
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return std::exchange(naked_, false);
}

usb::InAnswer PacketQueue::take(uint16_t maxPacketSize) {
    if (bytes_.empty()) {
        if (std::exchange(zeroLengthDue_, false)) {
            return {usb::Handshake::Ack, {}};
        }
        naked_ = true;
        return {usb::Handshake::Nak, {}};
    }
    const size_t n = std::min<size_t>(maxPacketSize, bytes_.size());
    usb::Bytes packet(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n));
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(n));
    zeroLengthDue_ = bytes_.empty() && n == maxPacketSize;
    return {usb::Handshake::Ack, std::move(packet)};
}

void PacketQueue::clear() {
    bytes_.clear();
    zeroLengthDue_ = false;
}

}  // namespace vel::dev
