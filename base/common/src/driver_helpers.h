// Helpers every driver carries: trace settings and the trace entry point, typed access to single
// registry values of the device's keys, the per-device instance number and power-state names.
//
// Each driver compiles its own copy with:
//   VEL_TRACE_DEFAULT_LEVEL, VEL_TRACE_DEFAULT_FLAG  its trace defaults
//   VEL_SERIAL_DRIVER        the port drivers' name SerialGetFdoRegistryKeyValue
//   VEL_SOFTWARE_KEY_VALUES  GetRegistrySoftwareKeyValue (the drivers that read the software key)
#pragma once

#include "vel_wdf.h"

#ifndef VEL_TRACE_DEFAULT_LEVEL
#define VEL_TRACE_DEFAULT_LEVEL 4
#endif
#ifndef VEL_TRACE_DEFAULT_FLAG
#define VEL_TRACE_DEFAULT_FLAG 0x1FFF
#endif

// Trace levels.
#define TRACE_LEVEL_ERROR 2
#define TRACE_LEVEL_WARNING 3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE 5

// Trace categories (one bit each; drivers add their own above these).
#define DBG_DRIVER 0x0001
#define DBG_PNP 0x0002
#define DBG_POWER 0x0004
#define DBG_IO 0x0020

// Registry access used for every key the helpers open.
#define VEL_REGISTRY_ACCESS STANDARD_RIGHTS_ALL

extern ULONG DebugLevel;
extern ULONG DebugFlag;

VOID ReadTraceSettings(WDFDRIVER Driver);

// Level, category bit, then a printf-style format that starts with its indent prefix
// ("   ", "-->", "<--", "  >", "  <"). No behaviour depends on whether it prints.
VOID DriverTrace(ULONG Level, ULONG Flag, PCSTR Format, ...);

#ifdef VEL_SERIAL_DRIVER
#define GetFdoRegistryKeyValue SerialGetFdoRegistryKeyValue
#endif

BOOLEAN GetFdoRegistryKeyValue(PWDFDEVICE_INIT DeviceInit, PCWSTR ValueName, PULONG Value);
BOOLEAN PutFdoRegistryKeyValue(PWDFDEVICE_INIT DeviceInit, PCWSTR ValueName, ULONG Value);
#ifdef VEL_SOFTWARE_KEY_VALUES
BOOLEAN GetRegistrySoftwareKeyValue(WDFDEVICE Device, PCWSTR ValueName, PULONG Value);
#endif

NTSTATUS GetThenUpdateNextInstanceNumber(WDFDRIVER Driver, PULONG InstanceNumber);
NTSTATUS GetInstanceNumber(PWDFDEVICE_INIT DeviceInit, WDFDRIVER Driver, PULONG InstanceNumber);

PCSTR GetDevicePowerStateName(WDF_POWER_DEVICE_STATE PowerState);

VOID EvtDriverContextCleanup(WDFOBJECT DriverObject);
