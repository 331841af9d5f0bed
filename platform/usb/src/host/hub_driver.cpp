// Dispatch routines of the hub driver: the hub FDO (bus relations) and the device PDOs
// (identification, capabilities, bus interface, power, and the USB internal controls).
#include "hub_driver.h"

#include <cstring>

#include "descriptors.h"
#include "vel/kernel/io.h"
#include "vel/kernel/kernel.h"

namespace vel::usb::host {

namespace {

constexpr ULONG kTag = 0x48627355;  // "UsbH"

enum class Role : uint32_t { HubFdo = 1, DevicePdo = 2 };

// Every hub device object's extension (zero-filled by the I/O manager).
struct Extension {
    Role role;
    Bus* bus;
    DEVICE_OBJECT* lower;  // the FDO: the root device below it
    Device* device;        // a PDO: its device (kept alive by Bus::devices while the PDO lives)
};

Extension& ext(DEVICE_OBJECT* device) {
    return *static_cast<Extension*>(device->DeviceExtension);
}

NTSTATUS complete(IRP* irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS keepStatus(IRP* irp) {
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS passDown(DEVICE_OBJECT* fdo, IRP* irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(ext(fdo).lower, irp);
}

// Pool text for an ID or text query: one string, or a multi-string list.
ULONG_PTR poolText(const std::vector<std::string>& entries, bool multi) {
    std::u16string text;
    for (const std::string& entry : entries) {
        text += kernel::toUtf16(entry) + u'\0';
    }
    if (multi) {
        text += u'\0';
    }
    const size_t bytes = (text.size() + 1) * sizeof(WCHAR);
    auto* copy = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, bytes, kTag));
    if (copy == nullptr) {
        return 0;
    }
    std::memcpy(copy, text.c_str(), bytes);
    return reinterpret_cast<ULONG_PTR>(copy);
}

DEVICE_RELATIONS* relationsOf(const std::vector<DEVICE_OBJECT*>& devices) {
    const size_t bytes =
        sizeof(DEVICE_RELATIONS) + std::max<size_t>(devices.size(), 1) * sizeof(DEVICE_OBJECT*);
    auto* relations = static_cast<DEVICE_RELATIONS*>(ExAllocatePoolWithTag(PagedPool, bytes, kTag));
    if (relations == nullptr) {
        return nullptr;
    }
    relations->Count = static_cast<ULONG>(devices.size());
    for (size_t i = 0; i < devices.size(); ++i) {
        ObReferenceObject(devices[i]);
        relations->Objects[i] = devices[i];
    }
    return relations;
}

// ----- The hub FDO -------------------------------------------------------------------------

NTSTATUS hubPnp(DEVICE_OBJECT* fdo, IRP* irp) {
    Bus& bus = *ext(fdo).bus;
    const IO_STACK_LOCATION& location = *IoGetCurrentIrpStackLocation(irp);
    switch (location.MinorFunction) {
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (location.Parameters.QueryDeviceRelations.Type == BusRelations) {
                DEVICE_RELATIONS* relations = relationsOf(bus.reportPdos());
                if (relations == nullptr) {
                    return complete(irp, STATUS_INSUFFICIENT_RESOURCES);
                }
                irp->IoStatus.Status = STATUS_SUCCESS;
                irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            }
            return passDown(fdo, irp);
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            irp->IoStatus.Status = STATUS_SUCCESS;
            return passDown(fdo, irp);
        case IRP_MN_REMOVE_DEVICE: {
            // The children had their REMOVE_DEVICE first; the PDOs still here go with the hub.
            DEVICE_OBJECT* lower = ext(fdo).lower;
            kernel::IoManager::current().detachDevice(lower);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            const NTSTATUS status = IoCallDriver(lower, irp);
            std::vector<DEVICE_OBJECT*> pdos;
            {
                std::lock_guard lock(bus.mutex);
                for (const auto& device : bus.devices) {
                    pdos.push_back(device->pdo);
                }
                bus.hubFdo = nullptr;
            }
            for (DEVICE_OBJECT* pdo : pdos) {
                deleteDevicePdo(pdo);
            }
            kernel::IoManager::current().deleteDevice(fdo);
            return status;
        }
        default:
            return passDown(fdo, irp);
    }
}

// ----- Device PDOs -------------------------------------------------------------------------

void fillCapabilities(const Device& device, bool uniqueId, DEVICE_CAPABILITIES& caps) {
    const bool remoteWake = (device.configAttributes() & USB_CONFIG_REMOTE_WAKEUP) != 0;
    caps.Removable = 1;
    caps.SurpriseRemovalOK = 1;
    caps.UniqueID = uniqueId ? 1 : 0;
    caps.DeviceD1 = 0;
    caps.DeviceD2 = 1;  // USB suspend
    caps.WakeFromD2 = remoteWake ? 1 : 0;
    caps.Address = device.port;
    caps.UINumber = device.port;
    const DEVICE_POWER_STATE sleep = remoteWake ? PowerDeviceD2 : PowerDeviceD3;
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps.DeviceState[PowerSystemSleeping1] = sleep;
    caps.DeviceState[PowerSystemSleeping2] = sleep;
    caps.DeviceState[PowerSystemSleeping3] = sleep;
    caps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    caps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    caps.SystemWake = remoteWake ? PowerSystemSleeping3 : PowerSystemUnspecified;
    caps.DeviceWake = remoteWake ? PowerDeviceD2 : PowerDeviceUnspecified;
}

NTSTATUS pdoPnp(DEVICE_OBJECT* pdo, IRP* irp) {
    Extension& e = ext(pdo);
    Bus& bus = *e.bus;
    Device& device = *e.device;
    const IO_STACK_LOCATION& location = *IoGetCurrentIrpStackLocation(irp);
    switch (location.MinorFunction) {
        case IRP_MN_QUERY_ID: {
            const Identity id = identify(*device.model, device.port, bus.options.busNumber);
            switch (location.Parameters.QueryId.IdType) {
                case BusQueryDeviceID: {
                    // A PnP manager that identifies the PDO has a node for it again: it will
                    // send REMOVE_DEVICE when the device is gone.
                    {
                        std::lock_guard lock(bus.mutex);
                        device.removed = false;
                    }
                    return complete(irp, STATUS_SUCCESS, poolText({id.deviceId}, false));
                }
                case BusQueryInstanceID:
                    return complete(irp, STATUS_SUCCESS, poolText({id.instanceId}, false));
                case BusQueryHardwareIDs:
                    return complete(irp, STATUS_SUCCESS, poolText(id.hardwareIds, true));
                case BusQueryCompatibleIDs:
                    return complete(irp, STATUS_SUCCESS, poolText(id.compatibleIds, true));
                default:
                    return keepStatus(irp);
            }
        }
        case IRP_MN_QUERY_DEVICE_TEXT: {
            const Identity id = identify(*device.model, device.port, bus.options.busNumber);
            const bool description =
                location.Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription;
            return complete(irp, STATUS_SUCCESS,
                            poolText({description ? id.description : id.location}, false));
        }
        case IRP_MN_QUERY_CAPABILITIES: {
            const bool uniqueId = device.options.uniqueId.value_or(
                identify(*device.model, device.port, bus.options.busNumber).uniqueId);
            std::lock_guard lock(bus.mutex);
            fillCapabilities(device, uniqueId,
                             *location.Parameters.DeviceCapabilities.Capabilities);
            return complete(irp, STATUS_SUCCESS);
        }
        case IRP_MN_QUERY_INTERFACE: {
            if (std::memcmp(location.Parameters.QueryInterface.InterfaceType,
                            &USB_BUS_INTERFACE_USBDI_GUID, sizeof(GUID)) != 0) {
                return keepStatus(irp);
            }
            std::optional<NTSTATUS> failure;
            {
                std::lock_guard lock(bus.mutex);
                failure = device.busInterfaceFailure;
            }
            return complete(irp, failure ? *failure : queryUsbdInterface(pdo, location));
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (location.Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
                DEVICE_RELATIONS* relations = relationsOf({pdo});
                return relations != nullptr
                           ? complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations))
                           : complete(irp, STATUS_INSUFFICIENT_RESOURCES);
            }
            return keepStatus(irp);
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            return complete(irp, STATUS_SUCCESS);
        case IRP_MN_REMOVE_DEVICE: {
            // The driver above is gone: its transfers still here are cancelled. The PDO itself
            // stays while the device is plugged in (it is reported again at the next
            // enumeration).
            bool present;
            {
                std::lock_guard lock(bus.mutex);
                present = device.present;
                device.removed = present;
                bus.cancelAll(device, USBD_STATUS_CANCELED, STATUS_CANCELLED);
            }
            bus.queueDelivery();
            complete(irp, STATUS_SUCCESS);
            if (!present) {
                deleteDevicePdo(pdo);
            }
            return STATUS_SUCCESS;
        }
        default:
            return keepStatus(irp);
    }
}

NTSTATUS pdoInternalControl(DEVICE_OBJECT* pdo, IRP* irp) {
    Extension& e = ext(pdo);
    Bus& bus = *e.bus;
    Device& device = *e.device;
    IO_STACK_LOCATION& location = *IoGetCurrentIrpStackLocation(irp);
    bool present;
    {
        std::lock_guard lock(bus.mutex);
        present = device.present;
    }
    switch (location.Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB: {
            auto* urb = static_cast<URB*>(location.Parameters.Others.Argument1);
            if (urb == nullptr) {
                return complete(irp, STATUS_INVALID_PARAMETER);
            }
            return bus.submitUrb(device, irp, urb);
        }
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
            auto* status = static_cast<ULONG*>(location.Parameters.Others.Argument1);
            if (status == nullptr) {
                return complete(irp, STATUS_INVALID_PARAMETER);
            }
            *status = present ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
            return complete(irp, STATUS_SUCCESS);
        }
        case IOCTL_INTERNAL_USB_RESET_PORT:
            if (!present) {
                return complete(irp, STATUS_NO_SUCH_DEVICE);
            }
            {
                // A port reset keeps the configuration; the endpoints start afresh.
                std::lock_guard lock(bus.mutex);
                for (auto& [address, endpoint] : device.endpoints) {
                    endpoint.halted = false;
                    endpoint.naking = false;
                }
            }
            bus.kick();
            return complete(irp, STATUS_SUCCESS);
        case IOCTL_INTERNAL_USB_CYCLE_PORT: {
            if (!present) {
                return complete(irp, STATUS_NO_SUCH_DEVICE);
            }
            // Unplug and plug again, from a work item: the PnP manager sees a departure and a
            // new arrival on the same port.
            const unsigned port = device.port;
            const std::shared_ptr<DeviceModel> model = device.model;
            const Speed speed = device.speed;
            const AttachOptions options = device.options;
            bus.runtime.queueWorkItem([self = bus.shared_from_this(), port, model, speed, options] {
                if (NT_SUCCESS(self->detach(port))) {
                    self->attach(port, model, speed, options);
                }
            });
            return complete(irp, STATUS_SUCCESS);
        }
        case IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO: {
            auto** out = static_cast<DEVICE_OBJECT**>(location.Parameters.Others.Argument1);
            if (out == nullptr) {
                return complete(irp, STATUS_INVALID_PARAMETER);
            }
            *out = bus.hubPdo;
            return complete(irp, STATUS_SUCCESS);
        }
        case IOCTL_INTERNAL_USB_GET_HUB_COUNT: {
            auto* count = static_cast<ULONG*>(location.Parameters.Others.Argument1);
            if (count == nullptr) {
                return complete(irp, STATUS_INVALID_PARAMETER);
            }
            ++*count;  // the root hub
            return complete(irp, STATUS_SUCCESS);
        }
        case IOCTL_INTERNAL_USB_GET_HUB_NAME: {
            // The symbolic name of the hub the device is plugged into.
            const std::u16string name = u"USB#ROOT_HUB20#" +
                                        kernel::toUtf16(std::to_string(bus.options.busNumber)) +
                                        u"#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
            const ULONG outLength = location.Parameters.DeviceIoControl.OutputBufferLength;
            auto* out = static_cast<USB_HUB_NAME*>(irp->AssociatedIrp.SystemBuffer);
            if (out == nullptr || outLength < sizeof(USB_HUB_NAME)) {
                return complete(irp, STATUS_BUFFER_TOO_SMALL);
            }
            const ULONG needed = static_cast<ULONG>(sizeof(ULONG) + (name.size() + 1) * 2);
            const ULONG chars = std::min<ULONG>(static_cast<ULONG>(name.size()),
                                                (outLength - sizeof(ULONG)) / 2 - 1);
            std::memcpy(out->HubName, name.data(), chars * 2);
            out->HubName[chars] = 0;
            out->ActualLength = needed;
            return complete(irp, STATUS_SUCCESS, std::min(needed, outLength));
        }
        default:
            // Bus information, controller name, idle notification and the rest are not
            // offered by this hub.
            return complete(irp, STATUS_NOT_SUPPORTED);
    }
}

NTSTATUS dispatchPnp(DEVICE_OBJECT* device, IRP* irp) {
    return ext(device).role == Role::HubFdo ? hubPnp(device, irp) : pdoPnp(device, irp);
}

NTSTATUS dispatchPower(DEVICE_OBJECT* device, IRP* irp) {
    if (ext(device).role == Role::HubFdo) {
        return passDown(device, irp);
    }
    const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
        return complete(irp, STATUS_SUCCESS);
    }
    if (minor == IRP_MN_WAIT_WAKE) {
        return complete(irp, STATUS_NOT_SUPPORTED);
    }
    return keepStatus(irp);
}

NTSTATUS dispatchInternalControl(DEVICE_OBJECT* device, IRP* irp) {
    if (ext(device).role == Role::HubFdo) {
        return complete(irp, STATUS_NOT_SUPPORTED);
    }
    return pdoInternalControl(device, irp);
}

NTSTATUS dispatchCreateClose(DEVICE_OBJECT*, IRP* irp) {
    return complete(irp, STATUS_SUCCESS);
}

NTSTATUS dispatchOther(DEVICE_OBJECT* device, IRP* irp) {
    if (ext(device).role == Role::HubFdo &&
        IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_SYSTEM_CONTROL) {
        return passDown(device, irp);
    }
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS addDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* rootPdo) {
    Bus* bus = static_cast<Bus*>(driver->DriverSection);
    if (bus == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    kernel::IoManager& io = kernel::IoManager::current();
    kernel::DeviceObjectOptions options;
    options.deviceType = FILE_DEVICE_BUS_EXTENDER;
    options.extensionSize = sizeof(Extension);
    DEVICE_OBJECT* fdo = nullptr;
    const NTSTATUS status = io.createDevice(driver, options, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Extension& e = ext(fdo);
    e.role = Role::HubFdo;
    e.bus = bus;
    e.lower = io.attachDevice(fdo, rootPdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    std::lock_guard lock(bus->mutex);
    bus->hubFdo = fdo;
    return STATUS_SUCCESS;
}

void unload(DRIVER_OBJECT*) {}

}  // namespace

NTSTATUS hubDriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING*) {
    for (PDRIVER_DISPATCH& routine : driver->MajorFunction) {
        routine = dispatchOther;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = dispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatchCreateClose;
    driver->MajorFunction[IRP_MJ_PNP] = dispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatchPower;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatchInternalControl;
    driver->DriverExtension->AddDevice = addDevice;
    driver->DriverUnload = unload;
    return STATUS_SUCCESS;
}

DEVICE_OBJECT* createDevicePdo(Bus& bus, Device& device) {
    kernel::DeviceObjectOptions options;
    options.deviceType = FILE_DEVICE_UNKNOWN;
    options.characteristics = FILE_AUTOGENERATED_DEVICE_NAME;
    options.extensionSize = sizeof(Extension);
    DEVICE_OBJECT* pdo = nullptr;
    if (!NT_SUCCESS(kernel::IoManager::current().createDevice(bus.driver, options, &pdo))) {
        return nullptr;
    }
    Extension& e = ext(pdo);
    e.role = Role::DevicePdo;
    e.bus = &bus;
    e.device = &device;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return pdo;
}

void deleteDevicePdo(DEVICE_OBJECT* pdo) {
    Bus& bus = *ext(pdo).bus;
    kernel::IoManager::current().deleteDevice(pdo);
    bus.forget(pdo);
}

Bus& busOfPdo(DEVICE_OBJECT* pdo) {
    return *ext(pdo).bus;
}

Device& deviceOfPdo(DEVICE_OBJECT* pdo) {
    return *ext(pdo).device;
}

}  // namespace vel::usb::host
