#include "vel/devices/inert_functions.h"

#include <memory>

#include "vel_usb.h"

namespace vel::dev {

BulkInterfaceFunction::BulkInterfaceFunction(const FunctionSlot& slot, ClassCodes codes)
    : Function({slot.firstInterface},
               {slot.firstEndpoint, static_cast<uint8_t>(0x80 | slot.firstEndpoint)}),
      slot_(slot),
      codes_(codes) {}

void BulkInterfaceFunction::describe(ConfigurationBuilder& config) const {
    config
        .interface({.number = slot_.firstInterface,
                    .interfaceClass = codes_.interfaceClass,
                    .subClass = codes_.subClass,
                    .protocol = codes_.protocol,
                    .stringIndex = slot_.stringIndex})
        .endpoint({.address = slot_.firstEndpoint, .maxPacketSize = slot_.bulkPacketSize()})
        .endpoint({.address = static_cast<uint8_t>(0x80 | slot_.firstEndpoint),
                   .maxPacketSize = slot_.bulkPacketSize()});
}

std::unique_ptr<Function> massStorageFunction(const FunctionSlot& slot) {
    return std::make_unique<BulkInterfaceFunction>(
        slot, BulkInterfaceFunction::ClassCodes{USB_DEVICE_CLASS_STORAGE, 0x06, 0x50});
}

std::unique_ptr<Function> vendorFunction(const FunctionSlot& slot) {
    return std::make_unique<BulkInterfaceFunction>(
        slot, BulkInterfaceFunction::ClassCodes{USB_DEVICE_CLASS_VENDOR_SPECIFIC, 0xFF, 0xFF});
}

}  // namespace vel::dev
