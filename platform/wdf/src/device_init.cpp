// Device init records, the device-add call and the device registry keys.
#include "ddi.h"
#include "ddi_support.h"
#include "device.h"
#include "driver.h"
#include "framework_impl.h"
#include "registry_key.h"

namespace vel::wdf {

void DeviceInitDeleter::operator()(WDFDEVICE_INIT* init) const {
    delete init;
}

DeviceInitPtr Framework::createDeviceInit(const std::string& service,
                                          const DeviceInstance& instance) {
    LoadedDriver* driver = impl_->find(service);
    Binding* binding = driver != nullptr ? impl_->state.bindingFor(&driver->object) : nullptr;
    if (binding == nullptr) {
        return nullptr;
    }
    DeviceInitPtr init(new WDFDEVICE_INIT);
    init->binding = binding;
    init->instance = instance;
    return init;
}

NTSTATUS Framework::runDeviceAdd(WDFDEVICE_INIT& init) {
    Driver* driver = init.binding->driver;
    if (driver == nullptr || driver->config().EvtDriverDeviceAdd == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return driver->config().EvtDriverDeviceAdd(static_cast<WDFDRIVER>(driver->handle()), &init);
}

std::string deviceKeyPath(const DeviceInstance& instance, ULONG keyType) {
    switch (keyType) {
        case PLUGPLAY_REGKEY_DEVICE:
            return instance.instancePath.empty()
                       ? std::string()
                       : kernel::regpath::hardwareKey(instance.instancePath);
        case PLUGPLAY_REGKEY_DRIVER:
            return instance.softwareKeyPath;
        default:
            return {};
    }
}

namespace {

// Opens a device's hardware or software key, creating it when missing as the PnP manager does.
// Key types other than those two (including the hardware-profile variants) are not supported.
NTSTATUS openDeviceKey(Binding& binding, const DeviceInstance& instance, ULONG keyType,
                       ACCESS_MASK access, PWDF_OBJECT_ATTRIBUTES attributes, Object* defaultParent,
                       WDFKEY* key) {
    if (keyType != PLUGPLAY_REGKEY_DEVICE && keyType != PLUGPLAY_REGKEY_DRIVER) {
        return STATUS_INVALID_PARAMETER;
    }
    const std::string path = deviceKeyPath(instance, keyType);
    if (path.empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return openKeyObject(binding, path, access, attributes, OpenDisposition::OpenOrCreate, nullptr,
                         defaultParent, key);
}

}  // namespace

namespace ddi {

NTSTATUS WdfFdoInitOpenRegistryKey(PWDF_DRIVER_GLOBALS DriverGlobals, PWDFDEVICE_INIT DeviceInit,
                                   ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                   PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
    if (DeviceInit == nullptr || Key == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Key = nullptr;
    return openDeviceKey(*DeviceInit->binding, DeviceInit->instance, DeviceInstanceKeyType,
                         DesiredAccess, KeyAttributes, nullptr, Key);
}

// The key hangs from the device unless the attributes name another parent.
NTSTATUS WdfDeviceOpenRegistryKey(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                  ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                  PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
    auto* device = lookup<vel::wdf::Device>(Device, "WdfDeviceOpenRegistryKey");
    if (device == nullptr || Key == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Key = nullptr;
    return openDeviceKey(device->binding(), device->instance(), DeviceInstanceKeyType,
                         DesiredAccess, KeyAttributes, device, Key);
}

}  // namespace ddi
}  // namespace vel::wdf
