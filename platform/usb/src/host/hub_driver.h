// The platform's USB hub driver: a WDM driver whose FDO sits on the root hub's root device and
// whose PDOs are the attached devices.
#pragma once

#include "bus.h"

namespace vel::usb::host {

// The driver's entry: sets the dispatch routines and AddDevice. The loader (the host
// controller) then records its Bus in the DRIVER_OBJECT's DriverSection, the loader's own field,
// which AddDevice reads.
NTSTATUS hubDriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath);

// A device's PDO, owned by the hub driver.
DEVICE_OBJECT* createDevicePdo(Bus& bus, Device& device);
void deleteDevicePdo(DEVICE_OBJECT* pdo);

Bus& busOfPdo(DEVICE_OBJECT* pdo);
Device& deviceOfPdo(DEVICE_OBJECT* pdo);

// IRP_MN_QUERY_INTERFACE for USB_BUS_INTERFACE_USBDI_GUID (bus_interface.cpp).
NTSTATUS queryUsbdInterface(DEVICE_OBJECT* pdo, const IO_STACK_LOCATION& location);

}  // namespace vel::usb::host
