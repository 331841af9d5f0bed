// Framing of the diagnostic protocol, in the manner of asynchronous HDLC:
//   frame   = escape(payload ++ crc) ++ 0x7E
//   crc     = CRC-16 over the payload (reflected polynomial 0x8408, initial 0xFFFF, final
//             complement), low byte first
//   escape  = 0x7E and 0x7D become 0x7D followed by the byte XOR 0x20
// A frame ends at its 0x7E; bytes between frames belong to the next one, and empty frames
// (0x7E 0x7E) are skipped.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "vel/devices/descriptor_builder.h"

namespace vel::dev {

inline constexpr uint8_t kFrameFlag = 0x7E;
inline constexpr uint8_t kFrameEscape = 0x7D;

uint16_t frameCrc(std::span<const uint8_t> bytes);
Bytes encodeFrame(std::span<const uint8_t> payload);

struct DecodedFrame {
    Bytes payload;       // without the CRC
    bool valid = false;  // at least the two CRC bytes, matching CRC, no dangling escape
};

// Collects frames from a byte stream that may split them anywhere.
class FrameDecoder {
  public:
    // Appends every frame completed by `bytes` to `frames`.
    void feed(std::span<const uint8_t> bytes, std::vector<DecodedFrame>& frames);
    void reset();

  private:
    Bytes current_;
    bool escaped_ = false;
};

}  // namespace vel::dev
