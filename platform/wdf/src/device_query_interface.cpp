// Interfaces a device hands out through IRP_MN_QUERY_INTERFACE (WdfDeviceAddQueryInterface).
#include <cstring>

#include "child_list.h"
#include "device.h"
#include "device_pnp.h"

namespace vel::wdf {

namespace {

// The re-enumerate-self interface names the PDO's device object, which its references keep;
// once the framework device is gone the routine does nothing.
VOID referencePdo(PVOID context) {
    ObReferenceObject(static_cast<DEVICE_OBJECT*>(context));
}

VOID dereferencePdo(PVOID context) {
    ObDereferenceObject(static_cast<DEVICE_OBJECT*>(context));
}

VOID surpriseRemoveAndReenumerateSelf(PVOID context) {
    Device* pdo = Device::fromWdm(static_cast<DEVICE_OBJECT*>(context));
    if (pdo != nullptr && pdo->isPdo() && pdo->init().pdo->childList != nullptr) {
        pdo->init().pdo->childList->reenumerate(*pdo);
    }
}

}  // namespace

// Every PDO offers it; only the children of a child list act on it.
NTSTATUS DevicePnp::answerReenumerateSelf(IRP* irp) {
    auto& query = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryInterface;
    if (query.Size < sizeof(REENUMERATE_SELF_INTERFACE_STANDARD) || query.Version < 1) {
        return complete(irp, STATUS_INVALID_BUFFER_SIZE);
    }
    auto* answer = reinterpret_cast<REENUMERATE_SELF_INTERFACE_STANDARD*>(query.Interface);
    answer->Size = sizeof(REENUMERATE_SELF_INTERFACE_STANDARD);
    answer->Version = 1;
    answer->Context = device_.wdmDevice();
    answer->InterfaceReference = referencePdo;
    answer->InterfaceDereference = dereferencePdo;
    answer->SurpriseRemoveAndReenumerateSelf = surpriseRemoveAndReenumerateSelf;
    referencePdo(answer->Context);
    return complete(irp, STATUS_SUCCESS);
}

NTSTATUS DevicePnp::addQueryInterface(const WDF_QUERY_INTERFACE_CONFIG& config) {
    QueryInterface entry;
    entry.type = *config.InterfaceType;
    entry.import = config.ImportInterface != FALSE;
    entry.callback = config.EvtDeviceProcessQueryInterfaceRequest;
    if (config.Interface != nullptr) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(config.Interface);
        entry.data.assign(bytes, bytes + config.Interface->Size);
    }
    std::lock_guard lock(mutex_);
    queryInterfaces_.push_back(std::move(entry));
    return STATUS_SUCCESS;
}

// A registered interface larger or newer than the one asked for is refused; otherwise the
// registered copy is written into the caller's structure, the driver's callback may adjust it
// (STATUS_NOT_SUPPORTED lets the query go on as if unanswered), and the caller gets its
// reference. An FDO sends the answered IRP on down the stack.
NTSTATUS DevicePnp::queryInterface(IRP* irp) {
    auto& query = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryInterface;
    std::optional<QueryInterface> match;
    {
        std::lock_guard lock(mutex_);
        for (const QueryInterface& each : queryInterfaces_) {
            if (query.InterfaceType != nullptr && IsEqualGUID(each.type, *query.InterfaceType)) {
                match = each;
                break;
            }
        }
    }
    if (!match) {
        if (device_.isPdo() && query.InterfaceType != nullptr &&
            IsEqualGUID(*query.InterfaceType, GUID_REENUMERATE_SELF_INTERFACE_STANDARD)) {
            return answerReenumerateSelf(irp);
        }
        return forward(irp);
    }
    if (!match->import && !match->data.empty()) {
        INTERFACE registered;
        std::memcpy(&registered, match->data.data(), sizeof registered);
        if (registered.Size > query.Size || registered.Version > query.Version) {
            return complete(irp, STATUS_INVALID_BUFFER_SIZE);
        }
        std::memcpy(query.Interface, match->data.data(), match->data.size());
    }
    if (match->callback != nullptr) {
        GUID type = match->type;
        const NTSTATUS status =
            match->callback(handle(), &type, query.Interface, query.InterfaceSpecificData);
        if (status == STATUS_NOT_SUPPORTED) {
            return forward(irp);
        }
        if (!NT_SUCCESS(status)) {
            return complete(irp, status);
        }
    }
    if (query.Interface->InterfaceReference != nullptr) {
        query.Interface->InterfaceReference(query.Interface->Context);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    return forward(irp);
}

}  // namespace vel::wdf
