// A simple device model for the host controller's tests: descriptors built from a short
// description, IN packets queued by the test (or an endless stream), OUT packets recorded,
// class/vendor requests answered by a test-supplied function, and a record of what the host
// told it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vel/usb/device_model.h"

namespace vel::usb::test {

struct EndpointLayout {
    uint8_t address;
    uint8_t type;  // 2 bulk, 3 interrupt
    uint16_t maxPacket;
    uint8_t interval = 0;
};

struct InterfaceLayout {
    uint8_t number;
    uint8_t alternate;
    uint8_t cls, subClass, protocol;
    std::vector<EndpointLayout> endpoints;
};

struct DeviceLayout {
    uint16_t vendor = 0x1234;
    uint16_t product = 0x0001;
    uint16_t release = 0x0100;
    uint8_t cls = 0, subClass = 0, protocol = 0;
    uint8_t maxPacket0 = 64;
    uint8_t attributes = 0x80;  // configuration bmAttributes
    std::u16string manufacturer = u"Test Maker";
    std::u16string product_name = u"Test Device";
    std::u16string serial;  // none when empty
    std::vector<InterfaceLayout> interfaces;
};

// Descriptor bytes of a layout. The configuration's wTotalLength can be overridden to make a
// malformed descriptor.
Bytes deviceDescriptorOf(const DeviceLayout& layout);
Bytes configurationOf(const DeviceLayout& layout, std::optional<uint16_t> totalLength = {});

// Two interfaces: 0 (interrupt IN 0x81, bInterval `interval`) and 1 (bulk IN 0x82, bulk OUT
// 0x02, `bulkPacket` bytes; alternate setting 1 has a single bulk IN 0x83).
DeviceLayout twoInterfaceLayout(uint16_t bulkPacket = 64, uint8_t interval = 8);

class TestDevice : public DeviceModel {
  public:
    explicit TestDevice(DeviceLayout layout) : layout_(std::move(layout)) {}

    // ----- Test side -----
    // Queues an IN packet (the endpoint answers NAK while none is queued) and tells the host.
    void pushIn(uint8_t endpoint, Bytes packet);
    // The endpoint always has a full packet: a running byte counter.
    void streamIn(uint8_t endpoint);
    // OUT packets received, per endpoint (a zero-length packet is an empty entry).
    std::vector<Bytes> outPackets(uint8_t endpoint) const;
    std::vector<std::string> events() const;  // "config 1", "interface 1/1", "reset 82"
    // Class and vendor requests; the default stalls.
    std::function<ControlAnswer(const SetupPacket&, std::span<const uint8_t>)> onControl;
    Bytes configurationBytes;  // what configurationDescriptor(0) answers; from the layout if empty
    // When set, answers configurationDescriptor(0) instead (a device whose answer changes).
    std::function<Bytes()> onConfiguration;
    DeviceHost* host() const { return host_; }
    uint64_t streamed(uint8_t endpoint) const;

    // ----- DeviceModel -----
    void attached(DeviceHost& host, Speed speed) override;
    void detached() override;
    Bytes deviceDescriptor() const override;
    Bytes configurationDescriptor(uint8_t index) const override;
    std::optional<Bytes> stringDescriptor(uint8_t index, uint16_t languageId) const override;
    void configurationSelected(uint8_t value) override;
    void interfaceSelected(uint8_t interfaceNumber, uint8_t alternateSetting) override;
    ControlAnswer control(const SetupPacket& setup, std::span<const uint8_t> dataOut) override;
    Handshake out(uint8_t endpointAddress, std::span<const uint8_t> packet) override;
    InAnswer in(uint8_t endpointAddress, uint16_t maxPacketSize) override;
    void endpointReset(uint8_t endpointAddress) override;

  private:
    DeviceLayout layout_;
    DeviceHost* host_ = nullptr;
    mutable std::mutex mutex_;
    std::map<uint8_t, std::deque<Bytes>> in_;
    std::map<uint8_t, uint64_t> stream_;  // streaming endpoints: bytes sent so far
    std::map<uint8_t, std::vector<Bytes>> out_;
    std::vector<std::string> events_;
};

}  // namespace vel::usb::test
