// The device tree as text, for the command line and test failure messages.
#include "vel/kernel/status.h"
#include "vel/pnp/pnp_manager.h"

namespace vel::pnp {

namespace {

std::string joined(const std::vector<std::string>& ids) {
    if (ids.empty()) {
        return "-";
    }
    std::string text;
    for (const std::string& id : ids) {
        text += (text.empty() ? "" : ", ") + id;
    }
    return text;
}

const char* powerName(DEVICE_POWER_STATE power) {
    switch (power) {
        case PowerDeviceD0:
            return "D0";
        case PowerDeviceD1:
            return "D1";
        case PowerDeviceD2:
            return "D2";
        case PowerDeviceD3:
            return "D3";
        default:
            return "-";
    }
}

void format(const DeviceInfo& device, const std::string& indent, std::string& out) {
    const std::string detail = indent + "    ";
    out += indent + (device.instancePath.empty() ? "(unidentified)" : device.instancePath) + "\n";
    out += detail + "device ID: " + (device.deviceId.empty() ? "-" : device.deviceId) + "\n";
    out += detail + "instance ID: " + (device.instanceId.empty() ? "-" : device.instanceId) + "\n";
    out += detail + "hardware IDs: " + joined(device.hardwareIds) + "\n";
    out += detail + "compatible IDs: " + joined(device.compatibleIds) + "\n";
    out +=
        detail + "description: " + (device.description.empty() ? "-" : device.description) + "\n";
    out += detail + "location: " + (device.location.empty() ? "-" : device.location) + "\n";
    out += detail + "driver: " + (device.service.empty() ? "-" : device.service) + "\n";
    std::string state = toString(device.state);
    if (device.state == DeviceState::InstallFailed || device.state == DeviceState::StartFailed) {
        state += " (" + kernel::statusName(device.problem) + ")";
    }
    out += detail + "state: " + state + ", power " + powerName(device.power) + "\n";
    for (const DeviceInfo& child : device.children) {
        format(child, indent + "  ", out);
    }
}

}  // namespace

const char* toString(DeviceState state) {
    switch (state) {
        case DeviceState::NoDriver:
            return "no driver";
        case DeviceState::InstallFailed:
            return "install failed";
        case DeviceState::Started:
            return "started";
        case DeviceState::StartFailed:
            return "start failed";
        case DeviceState::Stopped:
            return "stopped";
        case DeviceState::SurpriseRemoved:
            return "surprise-removed";
        case DeviceState::Removed:
            return "removed";
    }
    return "?";
}

std::string formatTree(const std::vector<DeviceInfo>& roots) {
    std::string out;
    for (const DeviceInfo& device : roots) {
        format(device, "", out);
    }
    return out;
}

}  // namespace vel::pnp
