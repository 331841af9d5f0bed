// Device init calls: what EvtDriverDeviceAdd (or EvtChildListCreateDevice) records in the init
// before WdfDeviceCreate.
#include "ddi.h"
#include "ddi_support.h"
#include "device_init.h"
#include "string_object.h"

namespace vel::wdf::ddi {

namespace {

// A misuse the framework's verifier breaks on; the call does nothing.
bool badInit(PWDFDEVICE_INIT init, const char* call) {
    if (init == nullptr) {
        reportViolation(rt::Rule::InvalidHandle, "PWDFDEVICE_INIT",
                        std::string(call) + ": no device init");
        return true;
    }
    return false;
}

}  // namespace

VOID WdfDeviceInitSetDeviceType(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                DEVICE_TYPE DeviceType) {
    if (!badInit(DeviceInit, "WdfDeviceInitSetDeviceType")) {
        DeviceInit->deviceType = DeviceType;
    }
}

VOID WdfDeviceInitSetIoType(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                            WDF_DEVICE_IO_TYPE IoType) {
    if (!badInit(DeviceInit, "WdfDeviceInitSetIoType") && IoType >= WdfDeviceIoNeither &&
        IoType <= WdfDeviceIoDirect) {
        DeviceInit->ioType = IoType;
    }
}

VOID WdfDeviceInitSetExclusive(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                               BOOLEAN IsExclusive) {
    if (!badInit(DeviceInit, "WdfDeviceInitSetExclusive")) {
        DeviceInit->exclusive = IsExclusive != FALSE;
    }
}

VOID WdfDeviceInitSetCharacteristics(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                     ULONG DeviceCharacteristics, BOOLEAN OrInValues) {
    if (!badInit(DeviceInit, "WdfDeviceInitSetCharacteristics")) {
        DeviceInit->characteristics = OrInValues
                                          ? DeviceInit->characteristics | DeviceCharacteristics
                                          : DeviceCharacteristics;
    }
}

NTSTATUS WdfDeviceInitAssignName(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                 PCUNICODE_STRING DeviceName) {
    if (badInit(DeviceInit, "WdfDeviceInitAssignName")) {
        return STATUS_INVALID_PARAMETER;
    }
    DeviceInit->name = textOf(DeviceName);  // NULL clears an earlier name
    return STATUS_SUCCESS;
}

NTSTATUS WdfDeviceInitAssignSDDLString(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                       PCUNICODE_STRING SDDLString) {
    if (badInit(DeviceInit, "WdfDeviceInitAssignSDDLString")) {
        return STATUS_INVALID_PARAMETER;
    }
    DeviceInit->sddl = textOf(SDDLString);
    return STATUS_SUCCESS;
}

VOID WdfDeviceInitSetPnpPowerEventCallbacks(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks) {
    if (badInit(DeviceInit, "WdfDeviceInitSetPnpPowerEventCallbacks") ||
        PnpPowerEventCallbacks == nullptr) {
        return;
    }
    if (PnpPowerEventCallbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)) {
        reportViolation(rt::Rule::ContractViolation, "PWDFDEVICE_INIT",
                        "WdfDeviceInitSetPnpPowerEventCallbacks: wrong structure size");
        return;
    }
    DeviceInit->pnpPower = *PnpPowerEventCallbacks;
}

VOID WdfDeviceInitSetFileObjectConfig(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                      PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES FileObjectAttributes) {
    if (badInit(DeviceInit, "WdfDeviceInitSetFileObjectConfig") || FileObjectConfig == nullptr) {
        return;
    }
    if (FileObjectConfig->Size != sizeof(WDF_FILEOBJECT_CONFIG) ||
        !NT_SUCCESS(validateAttributes(FileObjectAttributes)) ||
        (FileObjectAttributes != nullptr &&
         (FileObjectAttributes->ParentObject != nullptr ||
          FileObjectAttributes->SynchronizationScope == WdfSynchronizationScopeQueue))) {
        // File objects hang from their device and are never serialised per queue.
        reportViolation(rt::Rule::ContractViolation, "PWDFDEVICE_INIT",
                        "WdfDeviceInitSetFileObjectConfig: invalid configuration");
        return;
    }
    DeviceInit->fileObjectConfig = *FileObjectConfig;
    DeviceInit->hasFileObjectAttributes = FileObjectAttributes != nullptr;
    if (FileObjectAttributes != nullptr) {
        DeviceInit->fileObjectAttributes = *FileObjectAttributes;
    }
}

VOID WdfDeviceInitSetRequestAttributes(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                       PWDF_OBJECT_ATTRIBUTES RequestAttributes) {
    if (badInit(DeviceInit, "WdfDeviceInitSetRequestAttributes") || RequestAttributes == nullptr) {
        return;
    }
    if (!NT_SUCCESS(validateAttributes(RequestAttributes)) ||
        RequestAttributes->ParentObject != nullptr) {
        reportViolation(rt::Rule::ContractViolation, "PWDFDEVICE_INIT",
                        "WdfDeviceInitSetRequestAttributes: invalid attributes");
        return;
    }
    DeviceInit->hasRequestAttributes = true;
    DeviceInit->requestAttributes = *RequestAttributes;
}

NTSTATUS WdfDeviceInitAssignWdmIrpPreprocessCallback(
    PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
    PFN_WDFDEVICE_WDM_IRP_PREPROCESS EvtDeviceWdmIrpPreprocess, UCHAR MajorFunction,
    PUCHAR MinorFunctions, ULONG NumMinorFunctions) {
    if (badInit(DeviceInit, "WdfDeviceInitAssignWdmIrpPreprocessCallback") ||
        EvtDeviceWdmIrpPreprocess == nullptr || MajorFunction > IRP_MJ_MAXIMUM_FUNCTION ||
        (NumMinorFunctions != 0 && MinorFunctions == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    auto [it, added] = DeviceInit->preprocess.try_emplace(MajorFunction);
    if (!added && it->second.callback != EvtDeviceWdmIrpPreprocess) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!added) {
        // More minors for the same callback: none may be listed already.
        for (ULONG i = 0; i < NumMinorFunctions; ++i) {
            for (UCHAR known : it->second.minors) {
                if (known == MinorFunctions[i]) {
                    return STATUS_INVALID_DEVICE_REQUEST;
                }
            }
        }
        if (it->second.minors.empty() || NumMinorFunctions == 0) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    it->second.callback = EvtDeviceWdmIrpPreprocess;
    it->second.minors.insert(it->second.minors.end(), MinorFunctions,
                             MinorFunctions + NumMinorFunctions);
    return STATUS_SUCCESS;
}

VOID WdfDeviceInitSetPowerPolicyOwnership(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                          BOOLEAN IsPowerPolicyOwner) {
    if (!badInit(DeviceInit, "WdfDeviceInitSetPowerPolicyOwnership")) {
        DeviceInit->powerPolicyOwner = IsPowerPolicyOwner != FALSE;
    }
}

// Only inits the driver allocated itself are freed by it; those the framework hands to
// EvtDriverDeviceAdd and EvtChildListCreateDevice stay the framework's.
VOID WdfDeviceInitFree(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit) {
    badInit(DeviceInit, "WdfDeviceInitFree");
}

VOID WdfFdoInitSetDefaultChildListConfig(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                         PWDF_CHILD_LIST_CONFIG Config,
                                         PWDF_OBJECT_ATTRIBUTES DefaultChildListAttributes) {
    if (badInit(DeviceInit, "WdfFdoInitSetDefaultChildListConfig") || Config == nullptr) {
        return;
    }
    if (DeviceInit->pdo != nullptr || Config->Size != sizeof(WDF_CHILD_LIST_CONFIG) ||
        Config->IdentificationDescriptionSize == 0 || Config->EvtChildListCreateDevice == nullptr ||
        !NT_SUCCESS(validateAttributes(DefaultChildListAttributes))) {
        reportViolation(rt::Rule::ContractViolation, "PWDFDEVICE_INIT",
                        "WdfFdoInitSetDefaultChildListConfig: invalid configuration");
        return;
    }
    DeviceInit->hasChildList = true;
    DeviceInit->childListConfig = *Config;
    if (DefaultChildListAttributes != nullptr) {
        DeviceInit->childListAttributes = *DefaultChildListAttributes;
    }
}

PDEVICE_OBJECT WdfFdoInitWdmGetPhysicalDevice(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit) {
    return badInit(DeviceInit, "WdfFdoInitWdmGetPhysicalDevice") ? nullptr
                                                                 : DeviceInit->physicalDevice;
}

}  // namespace vel::wdf::ddi
