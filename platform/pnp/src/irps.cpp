#include "irps.h"

#include "vel/kernel/kernel.h"

namespace vel::pnp {

namespace {

IrpReply send(kernel::IoManager& io, DEVICE_OBJECT* device, UCHAR major, UCHAR minor,
              const std::function<void(IO_STACK_LOCATION&)>& fill) {
    // The reference keeps the top device's memory alive while it handles the IRP, even when
    // it deletes itself (REMOVE_DEVICE).
    DEVICE_OBJECT* top = IoGetAttachedDeviceReference(device);
    kernel::IrpPtr irp = kernel::IoManager::allocateIrp(top->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    IO_STACK_LOCATION& location = *IoGetNextIrpStackLocation(irp.get());
    location.MajorFunction = major;
    location.MinorFunction = minor;
    if (fill) {
        fill(location);
    }
    const NTSTATUS status = io.sendAndWait(top, irp.get());
    const IrpReply reply{status, irp->IoStatus.Information};
    ObDereferenceObject(top);
    return reply;
}

std::string takeString(ULONG_PTR information) {
    auto* text = reinterpret_cast<WCHAR*>(information);
    std::u16string copy(text);
    ExFreePool(text);
    return kernel::toUtf8(copy);
}

std::vector<std::string> takeMultiString(ULONG_PTR information) {
    auto* text = reinterpret_cast<WCHAR*>(information);
    std::vector<std::string> entries;
    for (const WCHAR* entry = text; *entry != 0;) {
        std::u16string one(entry);
        entry += one.size() + 1;
        entries.push_back(kernel::toUtf8(one));
    }
    ExFreePool(text);
    return entries;
}

}  // namespace

IrpReply sendPnp(kernel::IoManager& io, DEVICE_OBJECT* device, UCHAR minor,
                 const std::function<void(IO_STACK_LOCATION&)>& fill) {
    return send(io, device, IRP_MJ_PNP, minor, fill);
}

NTSTATUS sendSetPower(kernel::IoManager& io, DEVICE_OBJECT* device, POWER_STATE_TYPE type,
                      POWER_STATE state, POWER_ACTION action) {
    return send(io, device, IRP_MJ_POWER, IRP_MN_SET_POWER,
                [&](IO_STACK_LOCATION& location) {
                    location.Parameters.Power.SystemContext = 0;
                    location.Parameters.Power.Type = type;
                    location.Parameters.Power.State = state;
                    location.Parameters.Power.ShutdownType = action;
                })
        .status;
}

IdReply queryId(kernel::IoManager& io, DEVICE_OBJECT* device, BUS_QUERY_ID_TYPE type) {
    const IrpReply reply =
        sendPnp(io, device, IRP_MN_QUERY_ID,
                [type](IO_STACK_LOCATION& location) { location.Parameters.QueryId.IdType = type; });
    IdReply result{reply.status, {}};
    if (!NT_SUCCESS(reply.status) || reply.information == 0) {
        return result;
    }
    if (type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs) {
        result.ids = takeMultiString(reply.information);
    } else {
        result.ids.push_back(takeString(reply.information));
    }
    return result;
}

std::string queryText(kernel::IoManager& io, DEVICE_OBJECT* device, DEVICE_TEXT_TYPE type) {
    const IrpReply reply =
        sendPnp(io, device, IRP_MN_QUERY_DEVICE_TEXT, [type](IO_STACK_LOCATION& location) {
            location.Parameters.QueryDeviceText.DeviceTextType = type;
            location.Parameters.QueryDeviceText.LocaleId = 0x409;
        });
    if (!NT_SUCCESS(reply.status) || reply.information == 0) {
        return {};
    }
    return takeString(reply.information);
}

DEVICE_CAPABILITIES queryCapabilities(kernel::IoManager& io, DEVICE_OBJECT* device) {
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof capabilities;
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    sendPnp(io, device, IRP_MN_QUERY_CAPABILITIES, [&](IO_STACK_LOCATION& location) {
        location.Parameters.DeviceCapabilities.Capabilities = &capabilities;
    });
    return capabilities;
}

std::optional<std::vector<DEVICE_OBJECT*>> queryBusRelations(kernel::IoManager& io,
                                                             DEVICE_OBJECT* device) {
    const IrpReply reply =
        sendPnp(io, device, IRP_MN_QUERY_DEVICE_RELATIONS, [](IO_STACK_LOCATION& location) {
            location.Parameters.QueryDeviceRelations.Type = BusRelations;
        });
    if (!NT_SUCCESS(reply.status)) {
        return std::nullopt;
    }
    std::vector<DEVICE_OBJECT*> objects;
    if (auto* relations = reinterpret_cast<DEVICE_RELATIONS*>(reply.information)) {
        objects.assign(relations->Objects, relations->Objects + relations->Count);
        ExFreePool(relations);
    }
    return objects;
}

}  // namespace vel::pnp
