// Functions that are descriptors only: the host sees their interfaces and endpoints, but they
// never answer (class requests STALL, endpoints NAK forever).
#pragma once

#include <cstdint>
#include <memory>

#include "vel/devices/function.h"

namespace vel::dev {

// One interface with a bulk OUT and a bulk IN endpoint (OUT and IN firstEndpoint).
class BulkInterfaceFunction : public Function {
  public:
    struct ClassCodes {
        uint8_t interfaceClass;
        uint8_t subClass;
        uint8_t protocol;
    };
    BulkInterfaceFunction(const FunctionSlot& slot, ClassCodes codes);

    void describe(ConfigurationBuilder& config) const override;

  private:
    const FunctionSlot slot_;
    const ClassCodes codes_;
};

// Mass storage, SCSI transparent command set, bulk-only transport (0x08/0x06/0x50).
std::unique_ptr<Function> massStorageFunction(const FunctionSlot& slot);
// Vendor-specific (0xFF/0xFF/0xFF).
std::unique_ptr<Function> vendorFunction(const FunctionSlot& slot);

}  // namespace vel::dev
