#include <set>
#include <string>

#include "vel/devices/descriptor_walk.h"
#include "vel/devices/function_device.h"
#include "vel_usb.h"

namespace vel::dev {

std::unique_ptr<FunctionDevice> descriptorOnlyDevice(Bytes deviceDescriptor,
                                                     std::vector<Bytes> configurations,
                                                     std::string serialNumber) {
    // Every interface and endpoint any configuration names belongs to one silent function.
    std::set<uint8_t> interfaces, endpoints;
    for (const Bytes& config : configurations) {
        for (const DescriptorInfo& d : walkDescriptors(config).descriptors) {
            if (d.length < 3) {
                continue;
            }
            if (d.type == USB_INTERFACE_DESCRIPTOR_TYPE) {
                interfaces.insert(config[d.offset + 2]);
            } else if (d.type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
                endpoints.insert(config[d.offset + 2]);
            }
        }
    }
    std::vector<std::unique_ptr<Function>> functions;
    functions.push_back(
        std::make_unique<Function>(std::vector<uint8_t>(interfaces.begin(), interfaces.end()),
                                   std::vector<uint8_t>(endpoints.begin(), endpoints.end())));

    const uint8_t serialIndex =
        deviceDescriptor.size() > offsetof(USB_DEVICE_DESCRIPTOR, iSerialNumber)
            ? deviceDescriptor[offsetof(USB_DEVICE_DESCRIPTOR, iSerialNumber)]
            : 0;
    StringSource strings = [serialIndex, serial = std::move(serialNumber)](
                               uint8_t index, uint16_t) -> std::optional<Bytes> {
        if (index == 0) {
            return stringDescriptor(std::u16string{kLangEnglishUS});
        }
        // A string descriptor holds at most 126 characters.
        const std::string text =
            (index == serialIndex ? serial : "String " + std::to_string(index)).substr(0, 126);
        return stringDescriptor(std::u16string(text.begin(), text.end()));
    };
    return std::make_unique<FunctionDevice>(std::move(deviceDescriptor), std::move(configurations),
                                            std::move(strings), std::move(functions));
}

}  // namespace vel::dev
