// The WDFDRIVER object: the root of a driver's object tree, created by WdfDriverCreate and
// disposed by the framework's unload routine (never by WdfObjectDelete).
#pragma once

#include <string>

#include "object.h"

namespace vel::wdf {

class Driver : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::Driver;

    Driver(Binding& binding, const WDF_DRIVER_CONFIG& config, std::u16string registryPath)
        : Object(kType, binding), config_(config), registryPath_(std::move(registryPath)) {
        setDeletable(false);
    }

    const WDF_DRIVER_CONFIG& config() const { return config_; }
    // Terminated, so WdfDriverGetRegistryPath can hand out the buffer.
    PWSTR registryPath() { return registryPath_.data(); }

  private:
    WDF_DRIVER_CONFIG config_;
    std::u16string registryPath_;
};

}  // namespace vel::wdf
