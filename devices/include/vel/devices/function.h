// A function of a simulated device: the interfaces and endpoints it owns, the descriptors it
// adds to a configuration and its behaviour. FunctionDevice routes class and vendor requests
// and endpoint packets to the function that owns the interface or endpoint.
//
// The default behaviour is a function that never answers: control requests STALL, endpoints
// NAK forever. Functions keep their state under their own lock and call the host only after
// releasing it, since the host may call back into the model from endpointReady.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "vel/devices/descriptor_builder.h"
#include "vel/usb/device_model.h"

namespace vel::dev {

// How a multi-interface function is grouped in the configuration.
enum class Grouping {
    Union,        // CDC union functional descriptor only
    Association,  // an interface association descriptor in front of the function as well
};

// Where a function sits in its configuration. A function numbers its interfaces from
// firstInterface and its endpoints from firstEndpoint on (each function says how many it uses).
struct FunctionSlot {
    uint8_t firstInterface = 0;
    uint8_t firstEndpoint = 1;
    usb::Speed speed = usb::Speed::High;
    Grouping grouping = Grouping::Union;
    uint8_t stringIndex = 0;  // iInterface / iFunction

    // 64 bytes at full speed, 512 at high speed.
    uint16_t bulkPacketSize() const;
};

class Function {
  public:
    Function(std::vector<uint8_t> interfaces, std::vector<uint8_t> endpoints);
    virtual ~Function() = default;
    Function(const Function&) = delete;
    Function& operator=(const Function&) = delete;

    const std::vector<uint8_t>& interfaces() const { return interfaces_; }
    // Endpoint addresses, bit 7 set for IN.
    const std::vector<uint8_t>& endpoints() const { return endpoints_; }

    // Appends the function's interface, functional and endpoint descriptors.
    virtual void describe(ConfigurationBuilder& config) const;

    void attach(usb::DeviceHost* host) { host_.store(host); }
    // SET_CONFIGURATION: any value returns the function to its power-on state.
    virtual void reset() {}
    virtual void interfaceSelected(uint8_t interfaceNumber, uint8_t alternateSetting);

    virtual usb::ControlAnswer control(const usb::SetupPacket& setup,
                                       std::span<const uint8_t> dataOut);
    virtual usb::Handshake out(uint8_t endpointAddress, std::span<const uint8_t> packet);
    virtual usb::InAnswer in(uint8_t endpointAddress, uint16_t maxPacketSize);
    virtual void endpointReset(uint8_t endpointAddress);

  protected:
    // Tells the host that an endpoint that answered NAK can make progress now. Never call it
    // while holding the function's lock.
    void notifyReady(uint8_t endpointAddress) const;

  private:
    std::vector<uint8_t> interfaces_;
    std::vector<uint8_t> endpoints_;
    std::atomic<usb::DeviceHost*> host_ = nullptr;
};

usb::ControlAnswer stall();

}  // namespace vel::dev
