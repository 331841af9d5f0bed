#include "test_device.h"

#include <cstdio>

namespace vel::usb::test {

namespace {

void put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

Bytes stringBytes(const std::u16string& text) {
    Bytes b{static_cast<uint8_t>(2 + 2 * text.size()), 0x03};
    for (char16_t c : text) {
        put16(b, c);
    }
    return b;
}

}  // namespace

Bytes deviceDescriptorOf(const DeviceLayout& layout) {
    Bytes b{18, 0x01};
    put16(b, 0x0200);
    b.insert(b.end(), {layout.cls, layout.subClass, layout.protocol, layout.maxPacket0});
    put16(b, layout.vendor);
    put16(b, layout.product);
    put16(b, layout.release);
    b.insert(b.end(), {1, 2, static_cast<uint8_t>(layout.serial.empty() ? 0 : 3), 1});
    return b;
}

Bytes configurationOf(const DeviceLayout& layout, std::optional<uint16_t> totalLength) {
    Bytes b{9, 0x02, 0, 0, 0, 1, 0, layout.attributes, 50};
    uint8_t interfaces = 0;
    for (const InterfaceLayout& i : layout.interfaces) {
        if (i.alternate == 0) {
            ++interfaces;
        }
        b.insert(b.end(), {9, 0x04, i.number, i.alternate, static_cast<uint8_t>(i.endpoints.size()),
                           i.cls, i.subClass, i.protocol, 0});
        for (const EndpointLayout& e : i.endpoints) {
            b.insert(b.end(), {7, 0x05, e.address, e.type});
            put16(b, e.maxPacket);
            b.push_back(e.interval);
        }
    }
    b[4] = interfaces;
    const uint16_t total = totalLength.value_or(static_cast<uint16_t>(b.size()));
    b[2] = static_cast<uint8_t>(total);
    b[3] = static_cast<uint8_t>(total >> 8);
    return b;
}

DeviceLayout twoInterfaceLayout(uint16_t bulkPacket, uint8_t interval) {
    DeviceLayout layout;
    layout.interfaces = {
        {0, 0, 0x02, 0x02, 0x01, {{0x81, 3, 16, interval}}},
        {1, 0, 0x0A, 0x00, 0x00, {{0x82, 2, bulkPacket}, {0x02, 2, bulkPacket}}},
        {1, 1, 0x0A, 0x00, 0x00, {{0x83, 2, bulkPacket}}},
    };
    return layout;
}

void TestDevice::pushIn(uint8_t endpoint, Bytes packet) {
    DeviceHost* host;
    {
        std::lock_guard lock(mutex_);
        in_[endpoint].push_back(std::move(packet));
        host = host_;
    }
    if (host != nullptr) {
        host->endpointReady(endpoint);
    }
}

void TestDevice::streamIn(uint8_t endpoint) {
    DeviceHost* host;
    {
        std::lock_guard lock(mutex_);
        stream_[endpoint] = 0;
        host = host_;
    }
    if (host != nullptr) {
        host->endpointReady(endpoint);
    }
}

uint64_t TestDevice::streamed(uint8_t endpoint) const {
    std::lock_guard lock(mutex_);
    auto it = stream_.find(endpoint);
    return it != stream_.end() ? it->second : 0;
}

std::vector<Bytes> TestDevice::outPackets(uint8_t endpoint) const {
    std::lock_guard lock(mutex_);
    auto it = out_.find(endpoint);
    return it != out_.end() ? it->second : std::vector<Bytes>{};
}

std::vector<std::string> TestDevice::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

void TestDevice::attached(DeviceHost& host, Speed) {
    std::lock_guard lock(mutex_);
    host_ = &host;
}

void TestDevice::detached() {
    std::lock_guard lock(mutex_);
    host_ = nullptr;
    events_.push_back("detached");
}

Bytes TestDevice::deviceDescriptor() const {
    return deviceDescriptorOf(layout_);
}

Bytes TestDevice::configurationDescriptor(uint8_t index) const {
    if (index != 0) {
        return {};
    }
    if (onConfiguration) {
        return onConfiguration();
    }
    return configurationBytes.empty() ? configurationOf(layout_) : configurationBytes;
}

std::optional<Bytes> TestDevice::stringDescriptor(uint8_t index, uint16_t languageId) const {
    if (index == 0) {
        return Bytes{4, 0x03, 0x09, 0x04};
    }
    if (languageId != 0x0409) {
        return std::nullopt;
    }
    switch (index) {
        case 1:
            return stringBytes(layout_.manufacturer);
        case 2:
            return stringBytes(layout_.product_name);
        case 3:
            if (!layout_.serial.empty()) {
                return stringBytes(layout_.serial);
            }
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

void TestDevice::configurationSelected(uint8_t value) {
    std::lock_guard lock(mutex_);
    events_.push_back("config " + std::to_string(value));
}

void TestDevice::interfaceSelected(uint8_t interfaceNumber, uint8_t alternateSetting) {
    std::lock_guard lock(mutex_);
    events_.push_back("interface " + std::to_string(interfaceNumber) + "/" +
                      std::to_string(alternateSetting));
}

ControlAnswer TestDevice::control(const SetupPacket& setup, std::span<const uint8_t> dataOut) {
    if (onControl) {
        return onControl(setup, dataOut);
    }
    return {Handshake::Stall, {}};
}

Handshake TestDevice::out(uint8_t endpointAddress, std::span<const uint8_t> packet) {
    std::lock_guard lock(mutex_);
    out_[endpointAddress].emplace_back(packet.begin(), packet.end());
    return Handshake::Ack;
}

InAnswer TestDevice::in(uint8_t endpointAddress, uint16_t maxPacketSize) {
    std::lock_guard lock(mutex_);
    if (auto s = stream_.find(endpointAddress); s != stream_.end()) {
        InAnswer answer{Handshake::Ack, Bytes(maxPacketSize)};
        for (uint8_t& byte : answer.packet) {
            byte = static_cast<uint8_t>(s->second++);
        }
        return answer;
    }
    std::deque<Bytes>& queue = in_[endpointAddress];
    if (queue.empty()) {
        return {Handshake::Nak, {}};
    }
    InAnswer answer{Handshake::Ack, std::move(queue.front())};
    queue.pop_front();
    return answer;
}

void TestDevice::endpointReset(uint8_t endpointAddress) {
    char text[16];
    std::snprintf(text, sizeof text, "reset %02x", endpointAddress);
    std::lock_guard lock(mutex_);
    events_.push_back(text);
}

}  // namespace vel::usb::test
