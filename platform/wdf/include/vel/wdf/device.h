// Framework devices as the PnP manager, tools and tests see them: the WDFDEVICE behind a
// device object and what the framework knows of its state.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "vel_wdf.h"

namespace vel::wdf {

struct DeviceStatus {
    bool pdo = false;      // a PDO a child list created (else an FDO)
    std::string pnpState;  // "added", "started", "stopped", "surprise removed"...
    bool inD0 = false;
    POWER_ACTION systemPowerAction = PowerActionNone;
    std::u16string name;          // the device object's name; empty when unnamed
    std::u16string sddl;          // WdfDeviceInitAssignSDDLString; empty when none
    std::u16string symbolicLink;  // WdfDeviceCreateSymbolicLink; empty when none
    std::vector<std::u16string> enabledInterfaces;  // symbolic links of enabled interfaces
};

// The framework device of a device object (the framework driver's own device object), or
// nullptr for any other device object.
WDFDEVICE findDevice(const DEVICE_OBJECT* device);
// The state of the framework device of a device object; nullopt when it has none.
std::optional<DeviceStatus> deviceStatus(const DEVICE_OBJECT* device);

}  // namespace vel::wdf
