// The URBs a pipe sends for itself: bulk and interrupt transfers, abort and reset. The pipe calls
// and the continuous reader format their requests here; everything goes down the stack as a URB.
#pragma once

#include "vel_wdf.h"

namespace vel::wdf {

class Request;
class UsbPipe;

// Whether a transfer of `length` bytes may go on the pipe: bulk or interrupt only, in the pipe's
// direction (STATUS_INVALID_DEVICE_REQUEST); a read must be a whole number of packets while the
// pipe checks packet sizes (STATUS_INVALID_BUFFER_SIZE).
NTSTATUS checkPipeTransfer(const UsbPipe& pipe, bool read, size_t length);

// Formats `request` for a transfer of `length` bytes at `buffer`, which is `memory` (may be null)
// at `offset`; the completion parameters report the length moved. Checks as checkPipeTransfer.
NTSTATUS formatPipeTransfer(UsbPipe& pipe, Request& request, bool read, WDFMEMORY memory,
                            void* buffer, size_t offset, size_t length);

// Formats `request` for an abort (URB_FUNCTION_ABORT_PIPE) or a reset
// (URB_FUNCTION_RESET_PIPE) of the pipe.
NTSTATUS formatPipeRequest(UsbPipe& pipe, Request& request, USHORT function);

// Sends a reset of the pipe and waits for it, ignoring the target state (a stopped pipe can be
// reset). PASSIVE_LEVEL.
NTSTATUS resetPipeSynchronously(PWDF_DRIVER_GLOBALS globals, UsbPipe& pipe, WDFREQUEST request,
                                const WDF_REQUEST_SEND_OPTIONS* options);

// Asks the hub for the port's status (USBD_PORT_ENABLED, USBD_PORT_CONNECTED) through the pipe's
// stack. PASSIVE_LEVEL.
NTSTATUS queryPortStatus(UsbPipe& pipe, ULONG* portStatus);

}  // namespace vel::wdf
