// Fuzzes everything that reads device descriptor data: the file loader, the walker and the
// USBD parse calls. Any crash, sanitizer report or out-of-bounds read is a failure.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "vel/devices/descriptor_file.h"
#include "vel/devices/descriptor_walk.h"
#include "vel_usb.h"

namespace {

void parseAll(const uint8_t* data, size_t size) {
    // A private copy of exactly `size` bytes, so that the sanitizer sees any overrun.
    auto copy = std::make_unique<uint8_t[]>(size);
    std::copy(data, data + size, copy.get());
    uint8_t* bytes = copy.get();

    vel::dev::formatWalk(vel::dev::walkDescriptors({bytes, size}));

    for (LONG type : {USB_INTERFACE_DESCRIPTOR_TYPE, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x24}) {
        PVOID position = bytes;
        while (auto* found =
                   USBD_ParseDescriptors(bytes, static_cast<ULONG>(size), position, type)) {
            position = reinterpret_cast<uint8_t*>(found) + found->bLength;
        }
    }
    // The configuration parse trusts wTotalLength, as its callers must make it true.
    if (size >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
        static_cast<size_t>(bytes[2] | bytes[3] << 8) <= size) {
        auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes);
        PVOID position = bytes;
        while (auto* found =
                   USBD_ParseConfigurationDescriptorEx(config, position, -1, -1, -1, -1, -1)) {
            position = reinterpret_cast<uint8_t*>(found) + found->bLength;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto loaded = vel::dev::parseDescriptorData({data, size}, "fuzz");
    if (loaded.ok()) {
        parseAll(loaded.value().bytes.data(), loaded.value().bytes.size());
    } else {
        loaded.error().describe();
    }
    parseAll(data, size);
    return 0;
}
