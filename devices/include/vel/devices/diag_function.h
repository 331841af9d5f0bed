// The diagnostic function: one interface with a bulk OUT and a bulk IN endpoint (OUT and IN
// firstEndpoint), either
//   - Mdlm: a CDC mobile direct line model interface (class 0x02, subclass 0x0A) carrying a
//     header, an MDLM functional descriptor with the model's GUID and an MDLM detail
//     descriptor; the bulk endpoints sit on this interface itself, which is where the port
//     driver looks for them; or
//   - Vendor: a vendor-specific interface (0xFF/0xFF/0xFF), as in download mode.
//
// Protocol, in frames (diag_frame.h). A request is a command byte and its arguments; the
// response is the command byte, a status byte and the answer:
//   0x00 version    "<model> <revision>" as text
//   0x01 echo       the arguments
//   0x02 serial     the serial number as text
//   0x10 loopback   no data; once the response is sent the function is in loopback mode
//   other           status 0x01 (unknown command), no data
// A frame whose CRC does not match, or that is too short to carry one, is answered with
// command 0xFF and status 0x02 (bad frame).
//
// In loopback mode every OUT byte comes back on IN unchanged, frames or not, until the
// function is reset (SET_CONFIGURATION) or setLoopback(false).
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "vel/devices/diag_frame.h"
#include "vel/devices/function.h"
#include "vel/devices/identity.h"
#include "vel/devices/packet_queue.h"

namespace vel::dev {

namespace diag {
inline constexpr uint8_t kVersion = 0x00;
inline constexpr uint8_t kEcho = 0x01;
inline constexpr uint8_t kSerial = 0x02;
inline constexpr uint8_t kLoopback = 0x10;
inline constexpr uint8_t kBadFrame = 0xFF;  // the command of a bad-frame response

inline constexpr uint8_t kStatusOk = 0x00;
inline constexpr uint8_t kStatusUnknownCommand = 0x01;
inline constexpr uint8_t kStatusBadFrame = 0x02;
}  // namespace diag

enum class DiagMode { Mdlm, Vendor };

class DiagFunction : public Function {
  public:
    DiagFunction(const FunctionSlot& slot, DiagMode mode, const GuidBytes& guid,
                 ProductIdentity identity);

    uint8_t interfaceNumber() const { return slot_.firstInterface; }
    uint8_t bulkOutEndpoint() const { return slot_.firstEndpoint; }
    uint8_t bulkInEndpoint() const { return 0x80 | slot_.firstEndpoint; }

    void setLoopback(bool on);
    bool loopback() const;

    void describe(ConfigurationBuilder& config) const override;
    void reset() override;
    usb::Handshake out(uint8_t endpointAddress, std::span<const uint8_t> packet) override;
    usb::InAnswer in(uint8_t endpointAddress, uint16_t maxPacketSize) override;

  private:
    Bytes answer(const DecodedFrame& request);

    const FunctionSlot slot_;
    const DiagMode mode_;
    const GuidBytes guid_;
    const ProductIdentity identity_;

    mutable std::mutex mutex_;
    FrameDecoder decoder_;
    PacketQueue toHost_;
    bool loopback_ = false;
    bool outNaked_ = false;
};

}  // namespace vel::dev
