// Selecting a configuration of a USB device target and an alternate setting of one of its
// interfaces: the URBs sent down, and the pipes made from the stack's answer.
#pragma once

#include "vel_wdf.h"

namespace vel::wdf {

class UsbDevice;
class UsbInterface;

NTSTATUS selectConfiguration(PWDF_DRIVER_GLOBALS globals, UsbDevice& device,
                             const WDF_OBJECT_ATTRIBUTES* pipeAttributes,
                             WDF_USB_DEVICE_SELECT_CONFIG_PARAMS& params);

NTSTATUS selectSetting(PWDF_DRIVER_GLOBALS globals, UsbInterface& usbInterface,
                       const WDF_OBJECT_ATTRIBUTES* pipeAttributes,
                       const WDF_USB_INTERFACE_SELECT_SETTING_PARAMS& params);

}  // namespace vel::wdf
