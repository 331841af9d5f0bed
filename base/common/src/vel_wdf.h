// The framework as the drivers see it: handles, object attributes and contexts, configuration
// records with their init helpers, and every framework call. A call goes through the function
// table that binding fills (WdfFunctions), with the driver-globals handle first, as in KMDF 1.9.
#pragma once

#include "vel_kernel.h"

#define VEL_DECLARE_HANDLE(name) typedef struct name##__* name
typedef PVOID WDFOBJECT;
typedef WDFOBJECT* PWDFOBJECT;
VEL_DECLARE_HANDLE(WDFDRIVER);
VEL_DECLARE_HANDLE(WDFDEVICE);
VEL_DECLARE_HANDLE(WDFQUEUE);
VEL_DECLARE_HANDLE(WDFREQUEST);
VEL_DECLARE_HANDLE(WDFFILEOBJECT);
VEL_DECLARE_HANDLE(WDFIOTARGET);
VEL_DECLARE_HANDLE(WDFMEMORY);
VEL_DECLARE_HANDLE(WDFLOOKASIDE);
VEL_DECLARE_HANDLE(WDFCOLLECTION);
VEL_DECLARE_HANDLE(WDFSTRING);
VEL_DECLARE_HANDLE(WDFSPINLOCK);
VEL_DECLARE_HANDLE(WDFWAITLOCK);
VEL_DECLARE_HANDLE(WDFTIMER);
VEL_DECLARE_HANDLE(WDFWORKITEM);
VEL_DECLARE_HANDLE(WDFKEY);
VEL_DECLARE_HANDLE(WDFCHILDLIST);
VEL_DECLARE_HANDLE(WDFUSBDEVICE);
VEL_DECLARE_HANDLE(WDFUSBINTERFACE);
VEL_DECLARE_HANDLE(WDFUSBPIPE);
VEL_DECLARE_HANDLE(WDFWMIPROVIDER);
VEL_DECLARE_HANDLE(WDFWMIINSTANCE);
VEL_DECLARE_HANDLE(WDFCMRESLIST);

typedef struct WDFDEVICE_INIT WDFDEVICE_INIT, *PWDFDEVICE_INIT;

#define WDF_NO_OBJECT_ATTRIBUTES NULL
#define WDF_NO_HANDLE NULL
#define WDF_NO_CONTEXT NULL

// ---------------------------------------------------------------------------------------------
// Driver globals and binding.

typedef struct _WDF_DRIVER_GLOBALS {
    WDFDRIVER Driver;
    ULONG DriverFlags;
    ULONG DriverTag;
    CHAR DriverName[32];
    BOOLEAN DisplaceDriverUnload;
} WDF_DRIVER_GLOBALS, *PWDF_DRIVER_GLOBALS;

typedef VOID (*WDFFUNC)(VOID);

// Function pointers travel through the table as WDFFUNC; each call casts back to its own type.
template <typename To, typename From>
inline To VelFunctionCast(From function) {
    return reinterpret_cast<To>(reinterpret_cast<void*>(function));
}

typedef struct _WDF_VERSION {
    ULONG Major;
    ULONG Minor;
    ULONG Build;
} WDF_VERSION;

typedef struct _WDF_BIND_INFO {
    ULONG Size;
    PCWSTR Component;
    WDF_VERSION Version;
    ULONG FuncCount;
    WDFFUNC* FuncTable;
    PVOID Module;
} WDF_BIND_INFO, *PWDF_BIND_INFO;

typedef struct _WDF_COMPONENT_GLOBALS* PWDF_COMPONENT_GLOBALS;

extern "C" {
VEL_EXPORT NTSTATUS WdfVersionBind(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                                   PWDF_BIND_INFO BindInfo, PWDF_COMPONENT_GLOBALS* Globals);
VEL_EXPORT NTSTATUS WdfVersionUnbind(PUNICODE_STRING RegistryPath, PWDF_BIND_INFO BindInfo,
                                     PWDF_COMPONENT_GLOBALS Globals);
VEL_EXPORT NTSTATUS WdfVersionBindClass(PUNICODE_STRING RegistryPath, PWDF_BIND_INFO BindInfo,
                                        PVOID ClassBindInfo);
VEL_EXPORT VOID WdfVersionUnbindClass(PUNICODE_STRING RegistryPath, PWDF_BIND_INFO BindInfo,
                                      PVOID ClassBindInfo);
}

#define VEL_KMDF_LIBRARY_NAME u"KmdfLibrary"
#define VEL_KMDF_MAJOR 1
#define VEL_KMDF_MINOR 9
#define VEL_KMDF_BUILD 7600

// ---------------------------------------------------------------------------------------------
// Objects: attributes and typed contexts.

typedef enum _WDF_EXECUTION_LEVEL {
    WdfExecutionLevelInvalid = 0,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch,
} WDF_EXECUTION_LEVEL;

typedef enum _WDF_SYNCHRONIZATION_SCOPE {
    WdfSynchronizationScopeInvalid = 0,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone,
} WDF_SYNCHRONIZATION_SCOPE;

typedef VOID (*PFN_WDF_OBJECT_CONTEXT_CLEANUP)(WDFOBJECT Object);
typedef VOID (*PFN_WDF_OBJECT_CONTEXT_DESTROY)(WDFOBJECT Object);

typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO WDF_OBJECT_CONTEXT_TYPE_INFO;
typedef const WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef PCWDF_OBJECT_CONTEXT_TYPE_INFO (*PFN_GET_UNIQUE_CONTEXT_TYPE)(VOID);

struct _WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;
    PCSTR ContextName;
    SIZE_T ContextSize;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType;
    PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;
};

typedef struct _WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    SIZE_T ContextSizeOverride;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

inline VOID WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES Attributes) {
    RtlZeroMemory(Attributes, sizeof(WDF_OBJECT_ATTRIBUTES));
    Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

// A context type: WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(MY_CONTEXT, GetMyContext) declares the type
// record and an accessor GetMyContext(handle) returning MY_CONTEXT*. One record per module.
#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) WDF_##_contexttype##_TYPE_INFO
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype) (&WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype))

#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                   \
    inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) = {   \
        sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), #_contexttype, sizeof(_contexttype),           \
        &WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype), NULL};                                    \
    inline _contexttype* _castingfunction(WDFOBJECT Handle) {                                \
        return (_contexttype*)WdfObjectGetTypedContextWorker(                                \
            Handle, WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype).UniqueType);                    \
    }
#define WDF_DECLARE_CONTEXT_TYPE(_contexttype) \
    WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

#define WdfObjectGetTypedContext(handle, type) \
    ((type*)WdfObjectGetTypedContextWorker((WDFOBJECT)(handle), WDF_GET_CONTEXT_TYPE_INFO(type)))

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype) \
    (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype) \
    WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                              \
    WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)

#define WdfObjectReference(Handle) WdfObjectReferenceActual(Handle, NULL, __LINE__, __FILE__)
#define WdfObjectReferenceWithTag(Handle, Tag) \
    WdfObjectReferenceActual(Handle, Tag, __LINE__, __FILE__)
#define WdfObjectDereference(Handle) WdfObjectDereferenceActual(Handle, NULL, __LINE__, __FILE__)
#define WdfObjectDereferenceWithTag(Handle, Tag) \
    WdfObjectDereferenceActual(Handle, Tag, __LINE__, __FILE__)

// ---------------------------------------------------------------------------------------------
// Time helpers (100 ns units; negative is relative).

#define WDF_TIMEOUT_TO_SEC ((LONGLONG)1 * 10 * 1000 * 1000)
#define WDF_TIMEOUT_TO_MS ((LONGLONG)1 * 10 * 1000)
#define WDF_TIMEOUT_TO_US ((LONGLONG)1 * 10)
inline LONGLONG WDF_REL_TIMEOUT_IN_SEC(ULONGLONG Time) { return (LONGLONG)Time * -WDF_TIMEOUT_TO_SEC; }
inline LONGLONG WDF_REL_TIMEOUT_IN_MS(ULONGLONG Time) { return (LONGLONG)Time * -WDF_TIMEOUT_TO_MS; }
inline LONGLONG WDF_REL_TIMEOUT_IN_US(ULONGLONG Time) { return (LONGLONG)Time * -WDF_TIMEOUT_TO_US; }
inline LONGLONG WDF_ABS_TIMEOUT_IN_MS(ULONGLONG Time) { return (LONGLONG)Time * WDF_TIMEOUT_TO_MS; }

// ---------------------------------------------------------------------------------------------
// Driver.

typedef NTSTATUS (*PFN_WDF_DRIVER_DEVICE_ADD)(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
typedef VOID (*PFN_WDF_DRIVER_UNLOAD)(WDFDRIVER Driver);

typedef enum _WDF_DRIVER_INIT_FLAGS {
    WdfDriverInitNonPnpDriver = 0x00000001,
    WdfDriverInitNoDispatchOverride = 0x00000002,
    WdfVerifyOn = 0x00000004,
    WdfVerifierOn = 0x00000008,
} WDF_DRIVER_INIT_FLAGS;

typedef struct _WDF_DRIVER_CONFIG {
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags;
    ULONG DriverPoolTag;
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;

inline VOID WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG Config,
                                   PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd) {
    RtlZeroMemory(Config, sizeof(WDF_DRIVER_CONFIG));
    Config->Size = sizeof(WDF_DRIVER_CONFIG);
    Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

// ---------------------------------------------------------------------------------------------
// Memory, lookaside-free buffers.

typedef struct _WDFMEMORY_OFFSET {
    SIZE_T BufferOffset;
    SIZE_T BufferLength;
} WDFMEMORY_OFFSET, *PWDFMEMORY_OFFSET;

// ---------------------------------------------------------------------------------------------
// Timers and work items.

typedef VOID (*PFN_WDF_TIMER)(WDFTIMER Timer);

typedef struct _WDF_TIMER_CONFIG {
    ULONG Size;
    PFN_WDF_TIMER EvtTimerFunc;
    ULONG Period;  // ms; 0 is one-shot
    BOOLEAN AutomaticSerialization;
    ULONG TolerableDelay;
} WDF_TIMER_CONFIG, *PWDF_TIMER_CONFIG;

inline VOID WDF_TIMER_CONFIG_INIT(PWDF_TIMER_CONFIG Config, PFN_WDF_TIMER EvtTimerFunc) {
    RtlZeroMemory(Config, sizeof(WDF_TIMER_CONFIG));
    Config->Size = sizeof(WDF_TIMER_CONFIG);
    Config->EvtTimerFunc = EvtTimerFunc;
    Config->Period = 0;
    Config->AutomaticSerialization = TRUE;
    Config->TolerableDelay = 0;
}

inline VOID WDF_TIMER_CONFIG_INIT_PERIODIC(PWDF_TIMER_CONFIG Config, PFN_WDF_TIMER EvtTimerFunc,
                                           LONG Period) {
    WDF_TIMER_CONFIG_INIT(Config, EvtTimerFunc);
    Config->Period = (ULONG)Period;
}

typedef VOID (*PFN_WDF_WORKITEM)(WDFWORKITEM WorkItem);

typedef struct _WDF_WORKITEM_CONFIG {
    ULONG Size;
    PFN_WDF_WORKITEM EvtWorkItemFunc;
    BOOLEAN AutomaticSerialization;
} WDF_WORKITEM_CONFIG, *PWDF_WORKITEM_CONFIG;

inline VOID WDF_WORKITEM_CONFIG_INIT(PWDF_WORKITEM_CONFIG Config,
                                     PFN_WDF_WORKITEM EvtWorkItemFunc) {
    RtlZeroMemory(Config, sizeof(WDF_WORKITEM_CONFIG));
    Config->Size = sizeof(WDF_WORKITEM_CONFIG);
    Config->EvtWorkItemFunc = EvtWorkItemFunc;
    Config->AutomaticSerialization = TRUE;
}

// ---------------------------------------------------------------------------------------------
// Power.

typedef enum _WDF_POWER_DEVICE_STATE {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0,
    WdfPowerDeviceD1,
    WdfPowerDeviceD2,
    WdfPowerDeviceD3,
    WdfPowerDeviceD3Final,
    WdfPowerDevicePrepareForHibernation,
    WdfPowerDeviceMaximum,
} WDF_POWER_DEVICE_STATE;

// ---------------------------------------------------------------------------------------------
// Registry.

#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

// WdfRegistryCreateKey options and dispositions.
#define REG_OPTION_NON_VOLATILE 0x00000000
#define REG_OPTION_VOLATILE 0x00000001
#define REG_CREATED_NEW_KEY 0x00000001
#define REG_OPENED_EXISTING_KEY 0x00000002

// ---------------------------------------------------------------------------------------------
// Devices.

#include "vel_wdf_device.h"
#include "vel_wdf_io.h"
#include "vel_wdf_usb.h"

// ---------------------------------------------------------------------------------------------
// The function table. wdf_functions.inc lists every framework call once:
//   WDF_FUNCTION(return type, name, (parameters), (argument names))
//   WDF_FUNCTION0(return type, name)                 -- no parameters besides the globals
// From it come the table index <name>TableIndex, the pointer type PFN_<name> and, for drivers,
// the call <name>(...) that goes through the table.

#define VEL_WDF_PARAMS(...) (PWDF_DRIVER_GLOBALS DriverGlobals, __VA_ARGS__)

typedef enum _WDFFUNCENUM {
#define WDF_FUNCTION(r, n, p, a) n##TableIndex,
#define WDF_FUNCTION0(r, n) n##TableIndex,
#include "wdf_functions.inc"
#undef WDF_FUNCTION
#undef WDF_FUNCTION0
    WdfFunctionsDefinedCount,
    WdfFunctionTableNumEntries = 396,
} WDFFUNCENUM;

static_assert(WdfFunctionsDefinedCount <= WdfFunctionTableNumEntries,
              "the KMDF 1.9 table has 396 entries");

#define WDF_FUNCTION(r, n, p, a) typedef r(*PFN_##n) VEL_WDF_PARAMS p;
#define WDF_FUNCTION0(r, n) typedef r (*PFN_##n)(PWDF_DRIVER_GLOBALS DriverGlobals);
#include "wdf_functions.inc"
#undef WDF_FUNCTION
#undef WDF_FUNCTION0

#ifndef VEL_PLATFORM_BUILD
// Every driver module defines these (the binding stub): its own copy of the table and globals.
extern WDFFUNC WdfFunctions[WdfFunctionTableNumEntries];
extern PWDF_DRIVER_GLOBALS WdfDriverGlobals;

#define VEL_WDF_ARGS(...) (WdfDriverGlobals, __VA_ARGS__)
#define WDF_FUNCTION(r, n, p, a) \
    inline r n p { return VelFunctionCast<PFN_##n>(WdfFunctions[n##TableIndex]) VEL_WDF_ARGS a; }
#define WDF_FUNCTION0(r, n) \
    inline r n(VOID) {                                                                  \
        return VelFunctionCast<PFN_##n>(WdfFunctions[n##TableIndex])(WdfDriverGlobals); \
    }
#include "wdf_functions.inc"
#undef WDF_FUNCTION
#undef WDF_FUNCTION0
#endif
