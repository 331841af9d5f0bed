// PDO calls: the identification a child's init records, and the PDO's link to its parent.
#include <cstring>

#include "child_list.h"
#include "ddi.h"
#include "ddi_support.h"
#include "device.h"
#include "string_object.h"

namespace vel::wdf::ddi {

namespace {

// The PDO part of an init, or nullptr (reported) for an FDO's init.
PdoInitData* pdoInit(PWDFDEVICE_INIT init, const char* call) {
    if (init == nullptr || init->pdo == nullptr) {
        reportViolation(rt::Rule::ContractViolation, "PWDFDEVICE_INIT",
                        std::string(call) + ": not the init of a PDO");
        return nullptr;
    }
    return init->pdo.get();
}

NTSTATUS assignId(PWDFDEVICE_INIT init, PCUNICODE_STRING id, const char* call,
                  std::u16string PdoInitData::*field) {
    PdoInitData* pdo = pdoInit(init, call);
    if (pdo == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (id == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pdo->*field = textOf(id);
    return STATUS_SUCCESS;
}

NTSTATUS addId(PWDFDEVICE_INIT init, PCUNICODE_STRING id, const char* call,
               std::vector<std::u16string> PdoInitData::*field) {
    PdoInitData* pdo = pdoInit(init, call);
    if (pdo == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (id == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    (pdo->*field).push_back(textOf(id));
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS WdfPdoInitAssignDeviceID(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                  PCUNICODE_STRING DeviceID) {
    return assignId(DeviceInit, DeviceID, "WdfPdoInitAssignDeviceID", &PdoInitData::deviceId);
}

NTSTATUS WdfPdoInitAssignInstanceID(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                    PCUNICODE_STRING InstanceID) {
    return assignId(DeviceInit, InstanceID, "WdfPdoInitAssignInstanceID", &PdoInitData::instanceId);
}

NTSTATUS WdfPdoInitAddHardwareID(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                 PCUNICODE_STRING HardwareID) {
    return addId(DeviceInit, HardwareID, "WdfPdoInitAddHardwareID", &PdoInitData::hardwareIds);
}

NTSTATUS WdfPdoInitAddCompatibleID(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                   PCUNICODE_STRING CompatibleID) {
    return addId(DeviceInit, CompatibleID, "WdfPdoInitAddCompatibleID",
                 &PdoInitData::compatibleIds);
}

NTSTATUS WdfPdoInitAddDeviceText(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                 PCUNICODE_STRING DeviceDescription,
                                 PCUNICODE_STRING DeviceLocation, LCID LocaleId) {
    PdoInitData* pdo = pdoInit(DeviceInit, "WdfPdoInitAddDeviceText");
    if (pdo == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (DeviceDescription == nullptr || DeviceLocation == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pdo->texts[LocaleId] = DeviceText{textOf(DeviceDescription), textOf(DeviceLocation)};
    return STATUS_SUCCESS;
}

VOID WdfPdoInitSetDefaultLocale(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit, LCID LocaleId) {
    if (PdoInitData* pdo = pdoInit(DeviceInit, "WdfPdoInitSetDefaultLocale")) {
        pdo->defaultLocale = LocaleId;
    }
}

VOID WdfPdoInitAllowForwardingRequestToParent(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit) {
    if (PdoInitData* pdo = pdoInit(DeviceInit, "WdfPdoInitAllowForwardingRequestToParent")) {
        pdo->forwardToParent = true;
    }
}

NTSTATUS WdfPdoRetrieveIdentificationDescription(
    PWDF_DRIVER_GLOBALS, WDFDEVICE Device,
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfPdoRetrieveIdentificationDescription");
    if (device == nullptr || IdentificationDescription == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const PdoInitData* pdo = device->init().pdo.get();
    if (pdo == nullptr || pdo->childList == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (IdentificationDescription->IdentificationDescriptionSize != pdo->identification.size()) {
        return STATUS_INVALID_PARAMETER;
    }
    return pdo->childList->copyIdentification(
        reinterpret_cast<const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER*>(
            pdo->identification.data()),
        IdentificationDescription);
}

WDFDEVICE WdfPdoGetParent(PWDF_DRIVER_GLOBALS, WDFDEVICE Device) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfPdoGetParent");
    return device != nullptr && device->parentDevice() != nullptr
               ? static_cast<WDFDEVICE>(device->parentDevice()->handle())
               : nullptr;
}

}  // namespace vel::wdf::ddi
