// Driver calls: creating the WDFDRIVER, its unload routine and the driver-level accessors.
#include "ddi.h"
#include "ddi_support.h"
#include "device.h"
#include "driver.h"
#include "registry_key.h"

namespace vel::wdf {

namespace {

// Installed as DriverObject->DriverUnload (the binding stub chains it): the driver's own
// unload callback, then the driver's whole object tree is disposed.
VOID frameworkDriverUnload(PDRIVER_OBJECT driverObject) {
    Binding* binding = frameworkState().bindingFor(driverObject);
    if (binding == nullptr || binding->driver == nullptr) {
        return;
    }
    Driver* driver = binding->driver;
    if (driver->config().EvtDriverUnload != nullptr) {
        driver->config().EvtDriverUnload(static_cast<WDFDRIVER>(driver->handle()));
    }
    driver->dispose();
    binding->driver = nullptr;
}

}  // namespace

namespace ddi {

NTSTATUS WdfDriverCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PDRIVER_OBJECT DriverObject,
                         PCUNICODE_STRING RegistryPath, PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                         PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver) {
    Binding* binding = callerBinding(DriverGlobals, "WdfDriverCreate");
    if (binding == nullptr || DriverObject == nullptr || RegistryPath == nullptr ||
        DriverConfig == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (binding->driver != nullptr || DriverObject != binding->driverObject) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (NTSTATUS status = validateAttributes(DriverAttributes); !NT_SUCCESS(status)) {
        return status;
    }
    // The driver is the root of its tree.
    if (DriverAttributes != nullptr && DriverAttributes->ParentObject != nullptr) {
        return STATUS_WDF_OBJECT_ATTRIBUTES_INVALID;
    }
    if ((DriverConfig->DriverInitFlags & WdfDriverInitNonPnpDriver) &&
        DriverConfig->EvtDriverDeviceAdd != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string path(RegistryPath->Buffer, RegistryPath->Length / sizeof(WCHAR));
    auto driver = std::make_unique<vel::wdf::Driver>(*binding, *DriverConfig, std::move(path));
    Object* published = nullptr;
    if (NTSTATUS status = publish(std::move(driver), DriverAttributes, nullptr, &published);
        !NT_SUCCESS(status)) {
        return status;
    }
    binding->driver = static_cast<vel::wdf::Driver*>(published);
    DriverGlobals->Driver = static_cast<WDFDRIVER>(published->handle());
    DriverGlobals->DriverFlags = DriverConfig->DriverInitFlags;
    DriverGlobals->DriverTag = DriverConfig->DriverPoolTag != 0 ? DriverConfig->DriverPoolTag
                                                                : VEL_POOL_TAG('F', 'x', 'D', 'r');
    DriverObject->DriverUnload = frameworkDriverUnload;
    // The framework handles the driver's devices: AddDevice and every IRP they receive.
    if ((DriverConfig->DriverInitFlags & WdfDriverInitNoDispatchOverride) == 0) {
        for (PDRIVER_DISPATCH& dispatch : DriverObject->MajorFunction) {
            dispatch = frameworkDispatch;
        }
    }
    if ((DriverConfig->DriverInitFlags & WdfDriverInitNonPnpDriver) == 0 &&
        DriverObject->DriverExtension != nullptr) {
        DriverObject->DriverExtension->AddDevice = frameworkAddDevice;
    }
    if (Driver != nullptr) {
        *Driver = DriverGlobals->Driver;
    }
    return STATUS_SUCCESS;
}

PWSTR WdfDriverGetRegistryPath(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDRIVER Driver) {
    auto* driver = lookup<vel::wdf::Driver>(Driver, "WdfDriverGetRegistryPath");
    return driver != nullptr ? driver->registryPath() : nullptr;
}

PDRIVER_OBJECT WdfDriverWdmGetDriverObject(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDRIVER Driver) {
    auto* driver = lookup<vel::wdf::Driver>(Driver, "WdfDriverWdmGetDriverObject");
    return driver != nullptr ? driver->binding().driverObject : nullptr;
}

WDFDRIVER WdfWdmDriverGetWdfDriverHandle(PWDF_DRIVER_GLOBALS DriverGlobals,
                                         PDRIVER_OBJECT DriverObject) {
    Binding* binding = frameworkState().bindingFor(DriverObject);
    return binding != nullptr && binding->driver != nullptr
               ? static_cast<WDFDRIVER>(binding->driver->handle())
               : nullptr;
}

WDFDRIVER WdfGetDriver(PWDF_DRIVER_GLOBALS DriverGlobals) {
    Binding* binding = callerBinding(DriverGlobals, "WdfGetDriver");
    return binding != nullptr && binding->driver != nullptr
               ? static_cast<WDFDRIVER>(binding->driver->handle())
               : nullptr;
}

NTSTATUS WdfDriverOpenParametersRegistryKey(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDRIVER Driver,
                                            ACCESS_MASK DesiredAccess,
                                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
    auto* driver = lookup<vel::wdf::Driver>(Driver, "WdfDriverOpenParametersRegistryKey");
    if (driver == nullptr || Key == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Key = nullptr;
    return openKeyObject(driver->binding(), kernel::regpath::parameters(driver->binding().service),
                         DesiredAccess, KeyAttributes, OpenDisposition::OpenOrCreate, nullptr,
                         nullptr, Key);
}

}  // namespace ddi
}  // namespace vel::wdf
