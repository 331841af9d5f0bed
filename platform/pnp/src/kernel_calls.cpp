// The kernel calls of the PnP manager that drivers make.
#include "vel/pnp/pnp_manager.h"

using vel::pnp::PnpManager;

VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
    // Only bus relations change the tree here; the other relation types have no consumer.
    PnpManager* manager = PnpManager::current();
    if (manager != nullptr && Type == BusRelations) {
        manager->invalidateDeviceRelations(DeviceObject);
    }
}

VOID IoRequestDeviceEject(PDEVICE_OBJECT PhysicalDeviceObject) {
    if (PnpManager* manager = PnpManager::current()) {
        manager->requestEject(PhysicalDeviceObject);
    }
}
