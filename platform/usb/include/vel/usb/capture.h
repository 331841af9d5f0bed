// USB traffic capture in the pcap format with link type 249 (USBPcap), readable by Wireshark.
//
// File layout (all fields little-endian):
//   global header, 24 bytes: magic 0xA1B2C3D4, version 2.4, zone 0, accuracy 0, snap length
//   65535, link type 249;
//   per packet: record header (seconds, microseconds, captured length, original length), then
//   the packet, which starts with a 27-byte byte-packed pseudo-header:
//     0  u16  header length, this pseudo-header plus any transfer-specific part
//     2  u64  request id: the same value on submission and completion, to pair them
//     10 u32  USBD status (meaningful on completion)
//     14 u16  URB function
//     16 u8   info: bit 0 set when the request travels back up (completion)
//     17 u16  bus (root hub) number
//     19 u16  device address
//     21 u8   endpoint address, bit 7 set for IN
//     22 u8   transfer type: 0 isochronous, 1 interrupt, 2 control, 3 bulk, 0xFE request info
//     23 u32  length of the data that follows the header
//   Control transfers add one byte, the stage (0 setup, 1 data, 2 status, 3 complete), giving a
//   28-byte header. A control request is recorded as a setup-stage packet carrying the eight
//   setup bytes and any OUT data when it is submitted, and a complete-stage packet carrying any
//   IN data when it completes. Bulk and interrupt transfers carry OUT data on submission and IN
//   data on completion.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <span>
#include <string>

#include "vel_usb.h"

namespace vel::usb {

enum class CaptureTransfer : uint8_t {
    Isochronous = 0,
    Interrupt = 1,
    Control = 2,
    Bulk = 3,
    RequestInfo = 0xFE,  // a request that moves no data (select configuration, pipe reset, ...)
};

enum class ControlStage : uint8_t { Setup = 0, Data = 1, Status = 2, Complete = 3 };

inline constexpr uint32_t kPcapLinkTypeUsbPcap = 249;
inline constexpr uint16_t kCaptureHeaderLength = 27;
inline constexpr uint16_t kCaptureControlHeaderLength = 28;

// One record of the capture.
struct CapturePacket {
    uint64_t timeNs = 0;  // virtual time of the event
    uint64_t requestId = 0;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    uint16_t function = 0;
    bool completion = false;
    uint16_t bus = 0;
    uint16_t device = 0;
    uint8_t endpoint = 0;
    CaptureTransfer transfer = CaptureTransfer::Bulk;
    ControlStage stage = ControlStage::Setup;  // control transfers only
    std::span<const uint8_t> data = {};
};

// Where a URB goes: the device and, for pipe transfers, the pipe's endpoint.
struct CaptureTarget {
    uint16_t bus = 0;
    uint16_t device = 0;
    uint8_t endpointAddress = 0;  // of the pipe; control requests use endpoint 0
    USBD_PIPE_TYPE pipeType = UsbdPipeTypeControl;
};

// Writes a capture to a stream. Safe to call from several contexts at once; each packet is
// written whole and flushed, so a run that stops abruptly leaves a readable file.
class CaptureWriter {
  public:
    // The global header is written at once.
    explicit CaptureWriter(std::unique_ptr<std::ostream> out);
    // nullptr, with a message in `error`, when the file cannot be created.
    static std::unique_ptr<CaptureWriter> createFile(const std::string& path,
                                                     std::string* error = nullptr);

    void write(const CapturePacket& packet);

    // A URB handed to the bus, and the same URB given back with its status and data.
    void urbSubmitted(uint64_t timeNs, uint64_t requestId, const CaptureTarget& target,
                      const URB& urb);
    void urbCompleted(uint64_t timeNs, uint64_t requestId, const CaptureTarget& target,
                      const URB& urb);

    // False once a write has failed.
    bool good() const;

  private:
    void urbEvent(uint64_t timeNs, uint64_t requestId, const CaptureTarget& target, const URB& urb,
                  bool completion);

    mutable std::mutex mutex_;
    std::unique_ptr<std::ostream> out_;
};

}  // namespace vel::usb
