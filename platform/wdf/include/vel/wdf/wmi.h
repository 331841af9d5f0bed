// WMI as a client sees the framework's data blocks: a single-instance query of one device.
#pragma once

#include "vel_kernel.h"

namespace vel::wdf {

// Queries instance `index` of data block `guid` of the framework device `device` (any device
// object of its stack's framework device), in the caller's context at passive level.
// STATUS_WMI_GUID_NOT_FOUND when the device provides no such block or is not started,
// STATUS_WMI_INSTANCE_NOT_FOUND when the index is past its instances. When `bufferSize` is
// below what the data needs: STATUS_BUFFER_TOO_SMALL with *size = the bytes needed. On
// success *size is the bytes written.
NTSTATUS queryWmiInstance(DEVICE_OBJECT* device, const GUID& guid, ULONG index, void* buffer,
                          ULONG bufferSize, ULONG* size);

}  // namespace vel::wdf
