// What the framework reports of its devices to the rest of the platform.
#include "device.h"
#include "device_pnp.h"
#include "vel/wdf/device.h"

namespace vel::wdf {

WDFDEVICE findDevice(const DEVICE_OBJECT* device) {
    Device* found = Device::fromWdm(device);
    return found != nullptr ? static_cast<WDFDEVICE>(found->handle()) : nullptr;
}

std::optional<DeviceStatus> deviceStatus(const DEVICE_OBJECT* device) {
    Device* found = Device::fromWdm(device);
    if (found == nullptr) {
        return std::nullopt;
    }
    DeviceStatus status;
    status.pdo = found->isPdo();
    status.pnpState = toString(found->pnp().state());
    status.inD0 = found->inD0();
    status.systemPowerAction = found->systemPowerAction();
    status.name = found->name();
    status.sddl = found->init().sddl;
    status.symbolicLink = found->pnp().symbolicLink();
    status.enabledInterfaces = found->pnp().interfaceLinks();
    return status;
}

}  // namespace vel::wdf
