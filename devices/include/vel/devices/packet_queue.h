// Bytes a function holds for an IN endpoint, handed out a packet at a time. A transfer ends
// with a short packet, so when the queue runs dry right after a full packet a zero-length
// packet follows. An empty queue answers NAK and remembers it, so that the function knows
// whether the host is waiting for an endpointReady.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>

#include "vel/usb/device_model.h"

namespace vel::dev {

class PacketQueue {
  public:
    // Returns true when the host had been told NAK and must be woken.
    bool push(std::span<const uint8_t> bytes);
    usb::InAnswer take(uint16_t maxPacketSize);
    void clear();
    std::size_t size() const { return bytes_.size(); }

  private:
    std::deque<uint8_t> bytes_;
    bool zeroLengthDue_ = false;
    bool naked_ = false;
};

}  // namespace vel::dev
