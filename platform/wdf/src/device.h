// What a device is before devices proper exist: the init record EvtDriverDeviceAdd receives
// and a device object that knows its driver and registry locations.
#pragma once

#include <string>

#include "object.h"
#include "vel/wdf/framework.h"

// The record behind PWDFDEVICE_INIT.
struct WDFDEVICE_INIT {
    vel::wdf::Binding* binding;
    vel::wdf::DeviceInstance instance;
};

namespace vel::wdf {

// A function device object; the framework deletes it (never the driver).
class Device : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::Device;

    Device(Binding& binding, DeviceInstance instance)
        : Object(kType, binding), instance_(std::move(instance)) {
        setDeletable(false);
    }

    const DeviceInstance& instance() const { return instance_; }

  private:
    DeviceInstance instance_;
};

// The registry path of a device's PLUGPLAY_REGKEY_DEVICE (hardware) or PLUGPLAY_REGKEY_DRIVER
// (software) key; empty for any other key type, or when the device has no such key.
std::string deviceKeyPath(const DeviceInstance& instance, ULONG keyType);

}  // namespace vel::wdf
