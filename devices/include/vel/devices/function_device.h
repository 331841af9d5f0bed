// A device made of functions: a device descriptor, its configurations and string descriptors
// as bytes, and the functions that give interfaces and endpoints a behaviour.
//
// Class and vendor requests go to the function owning the interface (recipient interface,
// low byte of wIndex) or the endpoint (recipient endpoint); endpoint packets go to the function
// owning the endpoint. Requests nobody owns, and packets for endpoints nobody owns, STALL.
// GET_CONFIGURATION and GET_INTERFACE are answered from what the host selected.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vel/devices/function.h"
#include "vel/devices/string_table.h"
#include "vel/usb/device_model.h"

namespace vel::dev {

// What GET_DESCRIPTOR(STRING, index, langId) returns; nullopt stalls.
using StringSource = std::function<std::optional<Bytes>(uint8_t index, uint16_t langId)>;
StringSource stringsFrom(StringTable table);

class FunctionDevice : public usb::DeviceModel {
  public:
    // Throws std::invalid_argument when two functions claim the same interface or endpoint.
    FunctionDevice(Bytes deviceDescriptor, std::vector<Bytes> configurations, StringSource strings,
                   std::vector<std::unique_ptr<Function>> functions);

    // The first function of type F, or nullptr.
    template <typename F>
    F* find() const {
        for (const auto& f : functions_) {
            if (auto* match = dynamic_cast<F*>(f.get())) {
                return match;
            }
        }
        return nullptr;
    }

    // What the host selected: the configuration value (0 before SET_CONFIGURATION) and the
    // alternate setting of an interface (nullopt when never set since the configuration).
    uint8_t configurationValue() const;
    std::optional<uint8_t> alternateSetting(uint8_t interfaceNumber) const;
    std::size_t configurationCount() const { return configurations_.size(); }

    void attached(usb::DeviceHost& host, usb::Speed speed) override;
    void detached() override;
    usb::Bytes deviceDescriptor() const override { return deviceDescriptor_; }
    usb::Bytes configurationDescriptor(uint8_t index) const override;
    std::optional<usb::Bytes> stringDescriptor(uint8_t index, uint16_t languageId) const override;
    void configurationSelected(uint8_t configurationValue) override;
    void interfaceSelected(uint8_t interfaceNumber, uint8_t alternateSetting) override;
    usb::ControlAnswer control(const usb::SetupPacket& setup,
                               std::span<const uint8_t> dataOut) override;
    usb::Handshake out(uint8_t endpointAddress, std::span<const uint8_t> packet) override;
    usb::InAnswer in(uint8_t endpointAddress, uint16_t maxPacketSize) override;
    void endpointReset(uint8_t endpointAddress) override;

  private:
    Function* ownerOfInterface(uint8_t number) const;
    Function* ownerOfEndpoint(uint8_t address) const;
    std::optional<usb::ControlAnswer> standard(const usb::SetupPacket& setup) const;

    Bytes deviceDescriptor_;
    std::vector<Bytes> configurations_;
    StringSource strings_;
    std::vector<std::unique_ptr<Function>> functions_;
    std::map<uint8_t, Function*> byInterface_;
    std::map<uint8_t, Function*> byEndpoint_;

    mutable std::mutex mutex_;  // guards the selection below
    uint8_t configuration_ = 0;
    std::map<uint8_t, uint8_t> alternates_;
};

inline constexpr const char* kDefaultSerialNumber = "0123456789";

// A device that only has descriptors, as loaded from files: every interface and endpoint of its
// configurations belongs to a function that never answers (class requests STALL, endpoints NAK
// forever). String 0 lists language 0x0409; the device descriptor's serial-number index reads
// `serialNumber`, every other index a generated text ("String <index>"), in any language.
std::unique_ptr<FunctionDevice> descriptorOnlyDevice(
    Bytes deviceDescriptor, std::vector<Bytes> configurations,
    std::string serialNumber = kDefaultSerialNumber);

}  // namespace vel::dev
