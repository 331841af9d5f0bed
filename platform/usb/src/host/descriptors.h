// What the hub reads out of descriptors: the interface settings a selection asks for, and the
// identity (IDs, texts) a device's PDO reports to the PnP manager.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bus.h"

namespace vel::usb::host {

// The interface setting `number`/`alternate` of a configuration descriptor and its endpoints
// (at most bNumEndpoints, those of at least 7 bytes), walking no further than the bytes given.
std::optional<InterfacePlan> planInterface(const Bytes& configuration, uint8_t number,
                                           uint8_t alternate);

// Bytes of a USBD_INTERFACE_INFORMATION record with `pipes` pipe records.
size_t interfaceInformationSize(size_t pipes);

struct Identity {
    std::string deviceId;
    std::string instanceId;
    std::vector<std::string> hardwareIds;
    std::vector<std::string> compatibleIds;
    std::string description;
    std::string location;
    bool uniqueId = false;  // the instance ID is the device's serial number
};

Identity identify(const DeviceModel& model, unsigned port, uint16_t busNumber);

}  // namespace vel::usb::host
