// The IRPs the PnP manager sends: each goes to the top of a device's stack with IoStatus.Status
// preset to STATUS_NOT_SUPPORTED, and the sender waits for its completion. The answers drivers
// allocate from pool (IDs, texts, relations) are copied out and freed here.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "vel/kernel/io.h"
#include "vel_kernel.h"

namespace vel::pnp {

struct IrpReply {
    NTSTATUS status;
    ULONG_PTR information;
};

IrpReply sendPnp(kernel::IoManager& io, DEVICE_OBJECT* device, UCHAR minor,
                 const std::function<void(IO_STACK_LOCATION&)>& fill = {});
NTSTATUS sendSetPower(kernel::IoManager& io, DEVICE_OBJECT* device, POWER_STATE_TYPE type,
                      POWER_STATE state, POWER_ACTION action);

// IRP_MN_QUERY_ID. A single string for the device and instance IDs, the entries of the
// MULTI_SZ list for hardware and compatible IDs; nullopt (with the status) when unanswered.
struct IdReply {
    NTSTATUS status;
    std::vector<std::string> ids;
};
IdReply queryId(kernel::IoManager& io, DEVICE_OBJECT* device, BUS_QUERY_ID_TYPE type);
// IRP_MN_QUERY_DEVICE_TEXT; empty when unanswered.
std::string queryText(kernel::IoManager& io, DEVICE_OBJECT* device, DEVICE_TEXT_TYPE type);
// IRP_MN_QUERY_CAPABILITIES with the record preset as Windows presets it (Size, Version 1,
// Address and UINumber unknown).
DEVICE_CAPABILITIES queryCapabilities(kernel::IoManager& io, DEVICE_OBJECT* device);
// IRP_MN_QUERY_DEVICE_RELATIONS(BusRelations): the reported PDOs, each carrying the reference
// the answering driver took for the caller; nullopt when the query failed.
std::optional<std::vector<DEVICE_OBJECT*>> queryBusRelations(kernel::IoManager& io,
                                                             DEVICE_OBJECT* device);

}  // namespace vel::pnp
