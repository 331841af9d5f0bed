// What a simulated USB device is to the host controller: its descriptors, its answers to
// control requests, and its endpoints' packets. The host controller runs the bus (frames,
// packet sizes, timing, faults, cancellation); a model only says what the device does.
//
// Models never block. The host controller calls them from its own context; a model that has
// new IN data (or can take OUT data again) after answering NAK tells the host through
// DeviceHost::endpointReady, so that idle endpoints cost nothing while virtual time jumps.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace vel::usb {

using Bytes = std::vector<uint8_t>;

enum class Speed { Full, High };

struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;

    bool deviceToHost() const { return (bmRequestType & 0x80) != 0; }
    uint8_t type() const { return (bmRequestType >> 5) & 0x3; }  // 0 standard, 1 class, 2 vendor
    uint8_t recipient() const { return bmRequestType & 0x1F; }
};

// How a device answers a transaction.
enum class Handshake {
    Ack,    // accepted (OUT) or data returned (IN)
    Nak,    // not now: the host retries once the model calls endpointReady
    Stall,  // the endpoint (or the control request) is halted
};

struct ControlAnswer {
    Handshake handshake = Handshake::Ack;  // Nak: answered later through the host
    Bytes data;                            // IN data stage (the host truncates to wLength)
};

struct InAnswer {
    Handshake handshake = Handshake::Nak;
    Bytes packet;  // at most the endpoint's maximum packet size; shorter ends the transfer
};

// The host side a model talks to.
class DeviceHost {
  public:
    virtual ~DeviceHost() = default;
    // The endpoint (address with direction bit) has something new: retry its pending transfer.
    virtual void endpointReady(uint8_t endpointAddress) = 0;
    // A control request answered with Nak is now answered.
    virtual void controlReady(ControlAnswer answer) = 0;
    // Runs `action` on the host's context after `delay` ticks of virtual (or real) time.
    virtual void schedule(int64_t delayTicks, std::function<void()> action) = 0;
    virtual int64_t now() const = 0;
};

class DeviceModel {
  public:
    virtual ~DeviceModel() = default;

    // Called on attach and detach; `host` stays valid until detached().
    virtual void attached(DeviceHost& host, Speed speed) = 0;
    virtual void detached() = 0;

    // Descriptors, as bytes exactly as the device would send them (possibly malformed).
    virtual Bytes deviceDescriptor() const = 0;
    virtual Bytes configurationDescriptor(uint8_t index) const = 0;
    // String descriptor `index` in language `languageId`; nullopt when the device stalls.
    virtual std::optional<Bytes> stringDescriptor(uint8_t index, uint16_t languageId) const = 0;

    // Standard requests the host handles from the descriptors (GET_DESCRIPTOR, GET_STATUS,
    // SET_ADDRESS) never reach the model; SET_CONFIGURATION and SET_INTERFACE are told here.
    virtual void configurationSelected(uint8_t configurationValue) = 0;
    virtual void interfaceSelected(uint8_t interfaceNumber, uint8_t alternateSetting) = 0;
    // Class and vendor requests, and standard requests other than the ones above.
    virtual ControlAnswer control(const SetupPacket& setup, std::span<const uint8_t> dataOut) = 0;

    // One packet of an OUT transfer (a zero-length packet has an empty span).
    virtual Handshake out(uint8_t endpointAddress, std::span<const uint8_t> packet) = 0;
    // One packet of an IN transfer, at most `maxPacketSize` bytes.
    virtual InAnswer in(uint8_t endpointAddress, uint16_t maxPacketSize) = 0;
    // CLEAR_FEATURE(ENDPOINT_HALT) or a pipe reset reached the endpoint.
    virtual void endpointReset(uint8_t endpointAddress) = 0;
};

}  // namespace vel::usb
