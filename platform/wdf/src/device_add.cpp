// The framework's AddDevice: the PnP manager found a framework driver for a PDO.
#include "device.h"
#include "driver.h"
#include "framework_state.h"
#include "vel/pnp/pnp_manager.h"

namespace vel::wdf {

// Builds the device init with the PDO's registry locations, runs EvtDriverDeviceAdd, and
// leaves the device the driver created attached above the PDO. A failed add takes away a
// device the driver had already created.
NTSTATUS frameworkAddDevice(DRIVER_OBJECT* driverObject, DEVICE_OBJECT* physicalDevice) {
    Binding* binding = frameworkState().bindingFor(driverObject);
    if (binding == nullptr || binding->driver == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    WDFDEVICE_INIT init;
    init.binding = binding;
    init.physicalDevice = physicalDevice;
    if (pnp::PnpManager* manager = pnp::PnpManager::current()) {
        if (std::optional<pnp::DeviceKeys> keys = manager->deviceKeys(physicalDevice)) {
            init.instance = DeviceInstance{keys->instancePath, keys->softwareKey};
        }
    }
    Framework* framework = Framework::current();
    const NTSTATUS status = framework->runDeviceAdd(init);
    if (!NT_SUCCESS(status) && init.created != nullptr) {
        init.created->dispose();
    }
    return status;
}

}  // namespace vel::wdf
