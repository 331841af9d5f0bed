// URBs sent down a USB device or pipe target as IOCTL_INTERNAL_USB_SUBMIT_URB, shared by the
// USB device, interface and pipe calls.
#pragma once

#include "vel_wdf.h"

namespace vel::wdf {

class IoTarget;
class Request;

// Formats `request` to carry `urb` to `target` (the URB rides in the next stack location's
// first argument); on completion the request's USB parameters get the URB's USBD status and,
// for transfers, the length moved.
NTSTATUS formatUrb(IoTarget& target, Request& request, URB* urb,
                   const WDF_USB_REQUEST_COMPLETION_PARAMS& usb);

// Sends `urb` to `target` and waits for it; with no `request` one is made for the call. The
// caller's send options are kept (a time-out, ignoring the target state); the status is the
// request's. PASSIVE_LEVEL.
NTSTATUS sendUrbSynchronously(PWDF_DRIVER_GLOBALS globals, IoTarget& target, WDFREQUEST request,
                              const WDF_REQUEST_SEND_OPTIONS* options, URB* urb,
                              WDF_USB_REQUEST_TYPE type, const char* call);

// Formats `request` for an internal USB control code that names the device's port
// (IOCTL_INTERNAL_USB_GET_PORT_STATUS, _RESET_PORT, _CYCLE_PORT) to `target`, `argument` in the
// next location's first argument.
NTSTATUS formatPortRequest(IoTarget& target, Request& request, ULONG ioctl, void* argument);

// Sends such a request down `target`'s stack and waits for it, ignoring the target state (the
// port can be asked about and reset while the target is stopped). PASSIVE_LEVEL.
NTSTATUS sendPortRequest(PWDF_DRIVER_GLOBALS globals, IoTarget& target, ULONG ioctl, void* argument,
                         const char* call);

// Send options with a relative time-out of `ms` milliseconds, optionally ignoring the target
// state (the framework's own requests).
WDF_REQUEST_SEND_OPTIONS urbSendOptions(ULONG ms, bool ignoreTargetState);

}  // namespace vel::wdf
