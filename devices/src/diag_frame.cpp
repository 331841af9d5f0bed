#include "vel/devices/diag_frame.h"

namespace vel::dev {

uint16_t frameCrc(std::span<const uint8_t> bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0x8408)
                            : static_cast<uint16_t>(crc >> 1);
        }
    }
    return static_cast<uint16_t>(~crc);
}

Bytes encodeFrame(std::span<const uint8_t> payload) {
    const uint16_t crc = frameCrc(payload);
    Bytes plain(payload.begin(), payload.end());
    plain.push_back(static_cast<uint8_t>(crc));
    plain.push_back(static_cast<uint8_t>(crc >> 8));
    Bytes out;
    for (uint8_t b : plain) {
        if (b == kFrameFlag || b == kFrameEscape) {
            out.push_back(kFrameEscape);
            out.push_back(b ^ 0x20);
        } else {
            out.push_back(b);
        }
    }
    out.push_back(kFrameFlag);
    return out;
}

void FrameDecoder::feed(std::span<const uint8_t> bytes, std::vector<DecodedFrame>& frames) {
    for (uint8_t b : bytes) {
        if (b == kFrameFlag) {
            if (!current_.empty() || escaped_) {
                DecodedFrame frame;
                const bool dangling = escaped_;  // an escape right before the flag
                if (current_.size() >= 2) {
                    const uint16_t crc =
                        static_cast<uint16_t>(current_[current_.size() - 2] | current_.back() << 8);
                    current_.resize(current_.size() - 2);
                    frame.valid = !dangling && crc == frameCrc(current_);
                }
                frame.payload = std::move(current_);
                frames.push_back(std::move(frame));
            }
            reset();
        } else if (escaped_) {
            current_.push_back(b ^ 0x20);
            escaped_ = false;
        } else if (b == kFrameEscape) {
            escaped_ = true;
        } else {
            current_.push_back(b);
        }
    }
}

void FrameDecoder::reset() {
    current_.clear();
    escaped_ = false;
}

}  // namespace vel::dev
