#include "vel/devices/handset_presets.h"

#include <functional>

#include "vel/devices/acm_modem.h"
#include "vel/devices/diag_function.h"
#include "vel/devices/inert_functions.h"
#include "vel_usb.h"

namespace vel::dev {

const GuidBytes kHandsetDiagGuid = *parseGuid("C2299FCC-D489-4066-892B-10C341DD98A9");

namespace {

enum class Kind { Union, Association, Download };

// String indices.
constexpr uint8_t kManufacturer = 1;
constexpr uint8_t kProduct = 2;
constexpr uint8_t kSerial = 3;
constexpr uint8_t kModemString = 4;
constexpr uint8_t kDiagString = 5;
constexpr uint8_t kStorageString = 6;

struct Preset {
    std::string_view name;
    Kind kind;
    usb::Speed speed;
    std::string_view description;
};

constexpr Preset kPresets[] = {
    {"union-hs", Kind::Union, usb::Speed::High,
     "high speed; modem (CDC union), diagnostic MDLM, mass storage"},
    {"union-fs", Kind::Union, usb::Speed::Full,
     "full speed; modem (CDC union), diagnostic MDLM, mass storage"},
    {"iad-hs", Kind::Association, usb::Speed::High,
     "high speed; modem and diagnostic MDLM behind interface associations, vendor interface"},
    {"iad-fs", Kind::Association, usb::Speed::Full,
     "full speed; modem and diagnostic MDLM behind interface associations, vendor interface"},
    {"download-hs", Kind::Download, usb::Speed::High,
     "high speed; download mode, one vendor-specific diagnostic interface"},
    {"download-fs", Kind::Download, usb::Speed::Full,
     "full speed; download mode, one vendor-specific diagnostic interface"},
};

const Preset* lookup(std::string_view name) {
    for (const Preset& p : kPresets) {
        if (p.name == name) {
            return &p;
        }
    }
    return nullptr;
}

std::u16string wide(std::string_view text) {
    return std::u16string(text.begin(), text.end());
}

std::unique_ptr<FunctionDevice> build(const Preset& preset, const std::string& serialNumber) {
    const ProductIdentity identity{"Vel Test Handsets", "VH-100", "1.0", serialNumber};
    const bool download = preset.kind == Kind::Download;

    DeviceFields device{.maxPacketSize0 = 64,
                        .vendorId = kHandsetVendorId,
                        .productId = download ? kHandsetDownloadProductId : kHandsetProductId,
                        .manufacturerIndex = kManufacturer,
                        .productIndex = kProduct,
                        .serialNumberIndex = kSerial};
    StringTable strings;
    strings.set(kManufacturer, wide(identity.manufacturer))
        .set(kProduct, wide(identity.model + (download ? " Download" : " Handset")))
        .set(kSerial, wide(serialNumber.substr(0, 126)));

    std::vector<std::unique_ptr<Function>> functions;
    auto slot = [&](uint8_t iface, uint8_t endpoint, Grouping grouping, uint8_t string) {
        return FunctionSlot{iface, endpoint, preset.speed, grouping, string};
    };
    switch (preset.kind) {
        case Kind::Union:
            device.deviceClass = USB_DEVICE_CLASS_COMMUNICATIONS;
            functions.push_back(
                std::make_unique<AcmModem>(slot(0, 1, Grouping::Union, kModemString), identity));
            functions.push_back(
                std::make_unique<DiagFunction>(slot(2, 3, Grouping::Union, kDiagString),
                                               DiagMode::Mdlm, kHandsetDiagGuid, identity));
            functions.push_back(massStorageFunction(slot(3, 4, Grouping::Union, kStorageString)));
            strings.set(kStorageString, u"Storage");
            break;
        case Kind::Association:
            device.deviceClass = USB_DEVICE_CLASS_MISCELLANEOUS;
            device.deviceSubClass = 0x02;  // common class
            device.deviceProtocol = 0x01;  // interface association
            functions.push_back(std::make_unique<AcmModem>(
                slot(0, 1, Grouping::Association, kModemString), identity));
            functions.push_back(
                std::make_unique<DiagFunction>(slot(2, 3, Grouping::Association, kDiagString),
                                               DiagMode::Mdlm, kHandsetDiagGuid, identity));
            functions.push_back(vendorFunction(slot(3, 4, Grouping::Union, 0)));
            break;
        case Kind::Download:
            functions.push_back(
                std::make_unique<DiagFunction>(slot(0, 1, Grouping::Union, kDiagString),
                                               DiagMode::Vendor, kHandsetDiagGuid, identity));
            break;
    }
    if (!download) {
        strings.set(kModemString, u"Modem");
    }
    strings.set(kDiagString, u"Diagnostics");

    ConfigurationBuilder config;
    config.maxPower(250);  // 500 mA
    for (const auto& f : functions) {
        f->describe(config);
    }
    return std::make_unique<FunctionDevice>(deviceDescriptor(device),
                                            std::vector<Bytes>{config.build()},
                                            stringsFrom(std::move(strings)), std::move(functions));
}

}  // namespace

std::vector<std::string> presetNames() {
    std::vector<std::string> names;
    for (const Preset& p : kPresets) {
        names.emplace_back(p.name);
    }
    return names;
}

std::string presetDescription(std::string_view name) {
    const Preset* p = lookup(name);
    return p != nullptr ? std::string(p->description) : std::string();
}

std::optional<usb::Speed> presetSpeed(std::string_view name) {
    const Preset* p = lookup(name);
    return p != nullptr ? std::optional<usb::Speed>(p->speed) : std::nullopt;
}

std::unique_ptr<FunctionDevice> handsetPreset(std::string_view name,
                                              const std::string& serialNumber) {
    const Preset* p = lookup(name);
    return p != nullptr ? build(*p, serialNumber) : nullptr;
}

}  // namespace vel::dev
