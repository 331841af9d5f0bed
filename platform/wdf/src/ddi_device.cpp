// Device calls: creating a device from its init, the WDM objects behind it, names, interfaces,
// capabilities and the PnP state the driver may query or pin.
#include <cstring>

#include "child_list.h"
#include "ddi.h"
#include "ddi_support.h"
#include "device.h"
#include "device_pnp.h"
#include "driver.h"
#include "io_package.h"
#include "memory.h"
#include "string_object.h"
#include "vel/kernel/kernel.h"
#include "vel/pnp/pnp_manager.h"

namespace vel::wdf {

namespace {

// The property as the PnP manager knows the device: a string, or a MULTI_SZ for ID lists.
NTSTATUS deviceProperty(const Device& device, DEVICE_REGISTRY_PROPERTY property,
                        std::u16string* value) {
    pnp::PnpManager* manager = pnp::PnpManager::current();
    std::optional<pnp::DeviceInfo> info;
    if (manager != nullptr && device.physicalDevice() != nullptr) {
        info = manager->device(device.physicalDevice());
    }
    if (!info) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto multi = [](const std::vector<std::string>& ids) {
        std::u16string text;
        for (const std::string& id : ids) {
            text += kernel::toUtf16(id);
            text.push_back(0);
        }
        return text;
    };
    switch (property) {
        case DevicePropertyDeviceDescription:
            *value = kernel::toUtf16(info->description);
            break;
        case DevicePropertyLocationInformation:
            *value = kernel::toUtf16(info->location);
            break;
        case DevicePropertyHardwareID:
            *value = multi(info->hardwareIds);
            break;
        case DevicePropertyCompatibleIDs:
            *value = multi(info->compatibleIds);
            break;
        default:
            return STATUS_INVALID_PARAMETER_2;
    }
    if (value->empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    value->push_back(0);
    return STATUS_SUCCESS;
}

}  // namespace

namespace ddi {

NTSTATUS WdfDeviceCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PWDFDEVICE_INIT* DeviceInit,
                         PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device) {
    Binding* binding = callerBinding(DriverGlobals, "WdfDeviceCreate");
    if (binding == nullptr || DeviceInit == nullptr || *DeviceInit == nullptr ||
        Device == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Device = nullptr;
    WDFDEVICE_INIT& init = **DeviceInit;
    if (init.created != nullptr || binding->driver == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (NTSTATUS status = validateAttributes(DeviceAttributes); !NT_SUCCESS(status)) {
        return status;
    }
    if (DeviceAttributes != nullptr && DeviceAttributes->ParentObject != nullptr) {
        return STATUS_WDF_OBJECT_ATTRIBUTES_INVALID;
    }
    // A PDO hangs from its parent FDO and goes with it; an FDO from the driver.
    Object* parent = init.pdo != nullptr ? static_cast<Object*>(init.pdo->parent)
                                         : static_cast<Object*>(binding->driver);
    auto device = std::make_unique<vel::wdf::Device>(*binding, init, DeviceAttributes);
    Object* published = nullptr;
    if (NTSTATUS status = publish(std::move(device), DeviceAttributes, parent, &published);
        !NT_SUCCESS(status)) {
        return status;
    }
    auto* created = static_cast<vel::wdf::Device*>(published);
    if (NTSTATUS status = created->createWdm(); !NT_SUCCESS(status)) {
        created->dispose();
        return status;
    }
    init.created = created;
    *Device = static_cast<WDFDEVICE>(created->handle());
    *DeviceInit = nullptr;
    return STATUS_SUCCESS;
}

WDFDRIVER WdfDeviceGetDriver(PWDF_DRIVER_GLOBALS, WDFDEVICE Device) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceGetDriver");
    return device != nullptr && device->binding().driver != nullptr
               ? static_cast<WDFDRIVER>(device->binding().driver->handle())
               : nullptr;
}

PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(PWDF_DRIVER_GLOBALS, WDFDEVICE Device) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceWdmGetDeviceObject");
    return device != nullptr ? device->wdmDevice() : nullptr;
}

PDEVICE_OBJECT WdfDeviceWdmGetAttachedDevice(PWDF_DRIVER_GLOBALS, WDFDEVICE Device) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceWdmGetAttachedDevice");
    return device != nullptr ? device->lowerDevice() : nullptr;
}

PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(PWDF_DRIVER_GLOBALS, WDFDEVICE Device) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceWdmGetPhysicalDevice");
    return device != nullptr ? device->physicalDevice() : nullptr;
}

WDFDEVICE WdfWdmDeviceGetWdfDeviceHandle(PWDF_DRIVER_GLOBALS, PDEVICE_OBJECT DeviceObject) {
    vel::wdf::Device* device = vel::wdf::Device::fromWdm(DeviceObject);
    return device != nullptr ? static_cast<WDFDEVICE>(device->handle()) : nullptr;
}

// The preprocess callback has moved the IRP past its own location (skip or copy to next); the
// framework takes it from the next location as if it had been sent to the device again.
NTSTATUS WdfDeviceWdmDispatchPreprocessedIrp(PWDF_DRIVER_GLOBALS, WDFDEVICE Device, PIRP Irp) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceWdmDispatchPreprocessedIrp");
    if (device == nullptr || Irp == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    IoSetNextIrpStackLocation(Irp);
    IoGetCurrentIrpStackLocation(Irp)->DeviceObject = device->wdmDevice();
    return device->dispatch(Irp, true);
}

VOID WdfDeviceSetPnpCapabilities(PWDF_DRIVER_GLOBALS, WDFDEVICE Device,
                                 PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceSetPnpCapabilities");
    if (device != nullptr && PnpCapabilities != nullptr &&
        PnpCapabilities->Size == sizeof(WDF_DEVICE_PNP_CAPABILITIES)) {
        device->pnp().setPnpCapabilities(*PnpCapabilities);
    }
}

VOID WdfDeviceSetPowerCapabilities(PWDF_DRIVER_GLOBALS, WDFDEVICE Device,
                                   PWDF_DEVICE_POWER_CAPABILITIES PowerCapabilities) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceSetPowerCapabilities");
    if (device != nullptr && PowerCapabilities != nullptr &&
        PowerCapabilities->Size == sizeof(WDF_DEVICE_POWER_CAPABILITIES)) {
        device->pnp().setPowerCapabilities(*PowerCapabilities);
    }
}

NTSTATUS WdfDeviceCreateSymbolicLink(PWDF_DRIVER_GLOBALS, WDFDEVICE Device,
                                     PCUNICODE_STRING SymbolicLinkName) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceCreateSymbolicLink");
    if (device == nullptr || SymbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return device->pnp().createSymbolicLink(textOf(SymbolicLinkName));
}

NTSTATUS WdfDeviceCreateDeviceInterface(PWDF_DRIVER_GLOBALS, WDFDEVICE Device,
                                        const GUID* InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceCreateDeviceInterface");
    if (device == nullptr || InterfaceClassGUID == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return device->pnp().createDeviceInterface(*InterfaceClassGUID, textOf(ReferenceString));
}

VOID WdfDeviceSetDeviceInterfaceState(PWDF_DRIVER_GLOBALS, WDFDEVICE Device,
                                      const GUID* InterfaceClassGUID,
                                      PCUNICODE_STRING ReferenceString,
                                      BOOLEAN IsInterfaceEnabled) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceSetDeviceInterfaceState");
    if (device != nullptr && InterfaceClassGUID != nullptr) {
        device->pnp().setDeviceInterfaceState(*InterfaceClassGUID, textOf(ReferenceString),
                                              IsInterfaceEnabled != FALSE);
    }
}

NTSTATUS WdfDeviceRetrieveDeviceName(PWDF_DRIVER_GLOBALS, WDFDEVICE Device, WDFSTRING String) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceRetrieveDeviceName");
    auto* string = lookup<vel::wdf::String>(String, "WdfDeviceRetrieveDeviceName");
    if (device == nullptr || string == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::u16string name = device->name();
    if (name.empty()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    string->assign(name);
    return STATUS_SUCCESS;
}

VOID WdfDeviceSetStaticStopRemove(PWDF_DRIVER_GLOBALS, WDFDEVICE Device, BOOLEAN Stoppable) {
    if (auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceSetStaticStopRemove")) {
        device->pnp().setStaticStopRemove(Stoppable != FALSE);
    }
}

POWER_ACTION WdfDeviceGetSystemPowerAction(PWDF_DRIVER_GLOBALS, WDFDEVICE Device) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceGetSystemPowerAction");
    return device != nullptr ? device->systemPowerAction() : PowerActionNone;
}

// The memory hangs from the device unless the attributes name another parent.
NTSTATUS WdfDeviceAllocAndQueryProperty(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                        DEVICE_REGISTRY_PROPERTY DeviceProperty, POOL_TYPE PoolType,
                                        PWDF_OBJECT_ATTRIBUTES PropertyMemoryAttributes,
                                        WDFMEMORY* PropertyMemory) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceAllocAndQueryProperty");
    if (device == nullptr || PropertyMemory == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *PropertyMemory = nullptr;
    std::u16string value;
    if (NTSTATUS status = deviceProperty(*device, DeviceProperty, &value); !NT_SUCCESS(status)) {
        return status;
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    if (PropertyMemoryAttributes != nullptr) {
        attributes = *PropertyMemoryAttributes;
    } else {
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    }
    if (attributes.ParentObject == nullptr) {
        attributes.ParentObject = Device;
    }
    PVOID buffer = nullptr;
    const SIZE_T bytes = value.size() * sizeof(WCHAR);
    NTSTATUS status =
        WdfMemoryCreate(DriverGlobals, &attributes, PoolType, 0, bytes, PropertyMemory, &buffer);
    if (NT_SUCCESS(status)) {
        std::memcpy(buffer, value.data(), bytes);
    }
    return status;
}

NTSTATUS WdfDeviceQueryProperty(PWDF_DRIVER_GLOBALS, WDFDEVICE Device,
                                DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                                PVOID PropertyBuffer, PULONG ResultLength) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceQueryProperty");
    if (device == nullptr || ResultLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string value;
    if (NTSTATUS status = deviceProperty(*device, DeviceProperty, &value); !NT_SUCCESS(status)) {
        *ResultLength = 0;
        return status;
    }
    const auto bytes = static_cast<ULONG>(value.size() * sizeof(WCHAR));
    *ResultLength = bytes;
    if (BufferLength < bytes || PropertyBuffer == nullptr) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(PropertyBuffer, value.data(), bytes);
    return STATUS_SUCCESS;
}

VOID WdfDeviceSetBusInformationForChildren(PWDF_DRIVER_GLOBALS, WDFDEVICE Device,
                                           PPNP_BUS_INFORMATION BusInformation) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceSetBusInformationForChildren");
    if (device != nullptr && BusInformation != nullptr) {
        device->pnp().setBusInformation(*BusInformation);
    }
}

NTSTATUS WdfDeviceAddQueryInterface(PWDF_DRIVER_GLOBALS, WDFDEVICE Device,
                                    PWDF_QUERY_INTERFACE_CONFIG InterfaceConfig) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceAddQueryInterface");
    if (device == nullptr || InterfaceConfig == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const WDF_QUERY_INTERFACE_CONFIG& config = *InterfaceConfig;
    if (config.Size != sizeof(WDF_QUERY_INTERFACE_CONFIG)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (config.InterfaceType == nullptr || (config.SendQueryToParentStack && !device->isPdo()) ||
        (config.Interface == nullptr && !config.ImportInterface) ||
        (config.ImportInterface && config.EvtDeviceProcessQueryInterfaceRequest == nullptr) ||
        (config.Interface != nullptr && config.Interface->Size < sizeof(INTERFACE))) {
        return STATUS_INVALID_PARAMETER;
    }
    return device->pnp().addQueryInterface(config);
}

// Sent to the top of the device's own stack, as IoGetAttachedDeviceReference would find it.
NTSTATUS WdfFdoQueryForInterface(PWDF_DRIVER_GLOBALS, WDFDEVICE Fdo, LPCGUID InterfaceType,
                                 PINTERFACE Interface, USHORT Size, USHORT Version,
                                 PVOID InterfaceSpecificData) {
    auto* device = lookup<vel::wdf::Device>(Fdo, "WdfFdoQueryForInterface");
    if (device == nullptr || !device->isFdo() || InterfaceType == nullptr || Interface == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pnp::PnpManager* manager = pnp::PnpManager::current();
    if (manager == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    return manager->queryInterface(device->wdmDevice(), *InterfaceType, Size, Version, Interface,
                                   InterfaceSpecificData);
}

WDFCHILDLIST WdfFdoGetDefaultChildList(PWDF_DRIVER_GLOBALS, WDFDEVICE Fdo) {
    auto* device = lookup<vel::wdf::Device>(Fdo, "WdfFdoGetDefaultChildList");
    return device != nullptr && device->defaultChildList() != nullptr
               ? static_cast<WDFCHILDLIST>(device->defaultChildList()->handle())
               : nullptr;
}

}  // namespace ddi
}  // namespace vel::wdf
