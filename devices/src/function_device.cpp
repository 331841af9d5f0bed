#include "vel/devices/function_device.h"

#include <stdexcept>
#include <string>

#include "vel_usb.h"

namespace vel::dev {
namespace {

void claim(std::map<uint8_t, Function*>& owners, uint8_t key, Function* function,
           const char* what) {
    if (!owners.emplace(key, function).second) {
        throw std::invalid_argument(std::string("two functions claim ") + what + " " +
                                    std::to_string(key));
    }
}

}  // namespace

StringSource stringsFrom(StringTable table) {
    return [table = std::move(table)](uint8_t index, uint16_t langId) {
        return table.descriptor(index, langId);
    };
}

FunctionDevice::FunctionDevice(Bytes deviceDescriptor, std::vector<Bytes> configurations,
                               StringSource strings,
                               std::vector<std::unique_ptr<Function>> functions)
    : deviceDescriptor_(std::move(deviceDescriptor)),
      configurations_(std::move(configurations)),
      strings_(std::move(strings)),
      functions_(std::move(functions)) {
    for (const auto& f : functions_) {
        for (uint8_t number : f->interfaces()) {
            claim(byInterface_, number, f.get(), "interface");
        }
        for (uint8_t address : f->endpoints()) {
            claim(byEndpoint_, address, f.get(), "endpoint");
        }
    }
}

uint8_t FunctionDevice::configurationValue() const {
    std::lock_guard lock(mutex_);
    return configuration_;
}

std::optional<uint8_t> FunctionDevice::alternateSetting(uint8_t interfaceNumber) const {
    std::lock_guard lock(mutex_);
    const auto it = alternates_.find(interfaceNumber);
    if (it == alternates_.end()) {
        return std::nullopt;
    }
    return it->second;
}

void FunctionDevice::attached(usb::DeviceHost& host, usb::Speed) {
    for (const auto& f : functions_) {
        f->attach(&host);
    }
}

void FunctionDevice::detached() {
    for (const auto& f : functions_) {
        f->attach(nullptr);
        f->reset();
    }
    std::lock_guard lock(mutex_);
    configuration_ = 0;
    alternates_.clear();
}

usb::Bytes FunctionDevice::configurationDescriptor(uint8_t index) const {
    return index < configurations_.size() ? configurations_[index] : usb::Bytes{};
}

std::optional<usb::Bytes> FunctionDevice::stringDescriptor(uint8_t index,
                                                           uint16_t languageId) const {
    return strings_ ? strings_(index, languageId) : std::nullopt;
}

void FunctionDevice::configurationSelected(uint8_t configurationValue) {
    {
        std::lock_guard lock(mutex_);
        configuration_ = configurationValue;
        alternates_.clear();
    }
    for (const auto& f : functions_) {
        f->reset();
    }
}

void FunctionDevice::interfaceSelected(uint8_t interfaceNumber, uint8_t alternateSetting) {
    {
        std::lock_guard lock(mutex_);
        alternates_[interfaceNumber] = alternateSetting;
    }
    if (Function* f = ownerOfInterface(interfaceNumber)) {
        f->interfaceSelected(interfaceNumber, alternateSetting);
    }
}

Function* FunctionDevice::ownerOfInterface(uint8_t number) const {
    const auto it = byInterface_.find(number);
    return it == byInterface_.end() ? nullptr : it->second;
}

Function* FunctionDevice::ownerOfEndpoint(uint8_t address) const {
    const auto it = byEndpoint_.find(address);
    return it == byEndpoint_.end() ? nullptr : it->second;
}

// The standard requests the host leaves to the device: the selection it made.
std::optional<usb::ControlAnswer> FunctionDevice::standard(const usb::SetupPacket& setup) const {
    std::lock_guard lock(mutex_);
    if (setup.bRequest == USB_REQUEST_GET_CONFIGURATION &&
        setup.recipient() == BMREQUEST_TO_DEVICE) {
        return usb::ControlAnswer{usb::Handshake::Ack, {configuration_}};
    }
    if (setup.bRequest == USB_REQUEST_GET_INTERFACE &&
        setup.recipient() == BMREQUEST_TO_INTERFACE && configuration_ != 0) {
        const auto it = alternates_.find(static_cast<uint8_t>(setup.wIndex));
        return usb::ControlAnswer{usb::Handshake::Ack,
                                  {it == alternates_.end() ? uint8_t{0} : it->second}};
    }
    return std::nullopt;
}

usb::ControlAnswer FunctionDevice::control(const usb::SetupPacket& setup,
                                           std::span<const uint8_t> dataOut) {
    if (setup.type() == BMREQUEST_STANDARD) {
        return standard(setup).value_or(stall());
    }
    Function* owner = nullptr;
    if (setup.recipient() == BMREQUEST_TO_INTERFACE) {
        owner = ownerOfInterface(static_cast<uint8_t>(setup.wIndex));
    } else if (setup.recipient() == BMREQUEST_TO_ENDPOINT) {
        owner = ownerOfEndpoint(static_cast<uint8_t>(setup.wIndex));
    }
    return owner != nullptr ? owner->control(setup, dataOut) : stall();
}

usb::Handshake FunctionDevice::out(uint8_t endpointAddress, std::span<const uint8_t> packet) {
    Function* owner = ownerOfEndpoint(endpointAddress);
    return owner != nullptr ? owner->out(endpointAddress, packet) : usb::Handshake::Stall;
}

usb::InAnswer FunctionDevice::in(uint8_t endpointAddress, uint16_t maxPacketSize) {
    Function* owner = ownerOfEndpoint(endpointAddress);
    return owner != nullptr ? owner->in(endpointAddress, maxPacketSize)
                            : usb::InAnswer{usb::Handshake::Stall, {}};
}

void FunctionDevice::endpointReset(uint8_t endpointAddress) {
    if (Function* owner = ownerOfEndpoint(endpointAddress)) {
        owner->endpointReset(endpointAddress);
    }
}

}  // namespace vel::dev
