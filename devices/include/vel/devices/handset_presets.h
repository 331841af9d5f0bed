// The built-in handsets, by name. Each preset exists at full speed (name ending "-fs", bulk
// packets of 64 bytes) and high speed ("-hs", 512 bytes):
//   union-*     device class 0x02; modem (interfaces 0 and 1, grouped by its union
//               descriptor), diagnostic MDLM interface 2, mass storage interface 3
//   iad-*       device class 0xEF/0x02/0x01; modem and diagnostic each behind an interface
//               association, then a vendor-specific interface 3
//   download-*  device class 0x00; a single vendor-specific diagnostic interface
// kDefaultPreset is what the command line runs when no device is named.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vel/devices/descriptor_builder.h"
#include "vel/devices/function_device.h"

namespace vel::dev {

inline constexpr std::string_view kDefaultPreset = "union-hs";

// The GUID that certifies the diagnostic MDLM interface to its port driver (text order).
extern const GuidBytes kHandsetDiagGuid;

inline constexpr uint16_t kHandsetVendorId = 0xFA57;
inline constexpr uint16_t kHandsetProductId = 0x7A01;          // union and IAD
inline constexpr uint16_t kHandsetDownloadProductId = 0x7A0D;  // download mode

std::vector<std::string> presetNames();
// One line describing the preset; empty for an unknown name.
std::string presetDescription(std::string_view name);
// The speed the preset is plugged in at; nullopt for an unknown name.
std::optional<usb::Speed> presetSpeed(std::string_view name);
// nullptr for an unknown name.
std::unique_ptr<FunctionDevice> handsetPreset(
    std::string_view name, const std::string& serialNumber = kDefaultSerialNumber);

}  // namespace vel::dev
