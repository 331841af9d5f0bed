#include "vel/devices/function.h"

namespace vel::dev {

uint16_t FunctionSlot::bulkPacketSize() const {
    return speed == usb::Speed::High ? 512 : 64;
}

Function::Function(std::vector<uint8_t> interfaces, std::vector<uint8_t> endpoints)
    : interfaces_(std::move(interfaces)), endpoints_(std::move(endpoints)) {}

void Function::describe(ConfigurationBuilder&) const {}

void Function::interfaceSelected(uint8_t, uint8_t) {}

usb::ControlAnswer Function::control(const usb::SetupPacket&, std::span<const uint8_t>) {
    return stall();
}

usb::Handshake Function::out(uint8_t, std::span<const uint8_t>) {
    return usb::Handshake::Nak;
}

usb::InAnswer Function::in(uint8_t, uint16_t) {
    return {usb::Handshake::Nak, {}};
}

void Function::endpointReset(uint8_t) {}

void Function::notifyReady(uint8_t endpointAddress) const {
    if (usb::DeviceHost* host = host_.load()) {
        host->endpointReady(endpointAddress);
    }
}

usb::ControlAnswer stall() {
    return {usb::Handshake::Stall, {}};
}

}  // namespace vel::dev
