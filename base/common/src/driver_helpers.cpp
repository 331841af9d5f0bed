#include "driver_helpers.h"

ULONG DebugLevel = VEL_TRACE_DEFAULT_LEVEL;
ULONG DebugFlag = VEL_TRACE_DEFAULT_FLAG;

namespace {

// Serialises the read-then-write of "NextInstanceNumber". Device adds of one driver may overlap
// (nothing in the framework forbids it), and a number must never be handed out twice. A gate
// rather than a framework lock: it needs no allocation, so it adds no failure path, and the
// helpers run only at passive level, where waiting for the gate with a delay is allowed.
LONG volatile InstanceNumberGate;

VOID EnterInstanceNumberGate() {
    while (InterlockedCompareExchange(&InstanceNumberGate, 1, 0) != 0) {
        LARGE_INTEGER interval;
        interval.QuadPart = WDF_REL_TIMEOUT_IN_MS(1);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
}

VOID LeaveInstanceNumberGate() {
    InterlockedExchange(&InstanceNumberGate, 0);
}

// Reads one DWORD of an open key, then closes the key. FALSE, with the output 0, when the value
// is missing or of another type.
BOOLEAN QueryULongAndClose(WDFKEY Key, PCWSTR ValueName, PULONG Value) {
    UNICODE_STRING valueName;

    RtlInitUnicodeString(&valueName, ValueName);
    NTSTATUS status = WdfRegistryQueryULong(Key, &valueName, Value);
    WdfRegistryClose(Key);
    if (!NT_SUCCESS(status)) {
        *Value = 0;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

VOID DriverTrace(ULONG Level, ULONG Flag, PCSTR Format, ...) {
    if (!VelTraceEnabled()) {
        return;
    }
    va_list arguments;
    va_start(arguments, Format);
    VelTraceV(Level, Flag, Format, arguments);
    va_end(arguments);
}

VOID ReadTraceSettings(WDFDRIVER Driver) {
    DECLARE_CONST_UNICODE_STRING(debugLevelName, u"DebugLevel");
    DECLARE_CONST_UNICODE_STRING(debugFlagName, u"DebugFlag");
    WDFKEY key = NULL;
    ULONG value = 0;

    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_DRIVER, "-->ReadTraceSettings\n");
    NTSTATUS status = WdfDriverOpenParametersRegistryKey(Driver, VEL_REGISTRY_ACCESS,
                                                         WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_WARNING, DBG_DRIVER,
                    "<--ReadTraceSettings: no Parameters key 0x%x\n", (unsigned)status);
        return;
    }
    if (NT_SUCCESS(WdfRegistryQueryULong(key, &debugLevelName, &value))) {
        DebugLevel = value;
    }
    if (NT_SUCCESS(WdfRegistryQueryULong(key, &debugFlagName, &value))) {
        DebugFlag = value;
    }
    WdfRegistryClose(key);
    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_DRIVER, "<--ReadTraceSettings: level %u flag 0x%x\n",
                (unsigned)DebugLevel, (unsigned)DebugFlag);
}

BOOLEAN GetFdoRegistryKeyValue(PWDFDEVICE_INIT DeviceInit, PCWSTR ValueName, PULONG Value) {
    WDFKEY key = NULL;

    *Value = 0;
    NTSTATUS status = WdfFdoInitOpenRegistryKey(
        DeviceInit, PLUGPLAY_REGKEY_DEVICE, VEL_REGISTRY_ACCESS, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "   GetFdoRegistryKeyValue: open 0x%x\n",
                    (unsigned)status);
        return FALSE;
    }
    return QueryULongAndClose(key, ValueName, Value);
}

BOOLEAN PutFdoRegistryKeyValue(PWDFDEVICE_INIT DeviceInit, PCWSTR ValueName, ULONG Value) {
    UNICODE_STRING valueName;
    WDFKEY key = NULL;

    NTSTATUS status = WdfFdoInitOpenRegistryKey(
        DeviceInit, PLUGPLAY_REGKEY_DEVICE, VEL_REGISTRY_ACCESS, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "   PutFdoRegistryKeyValue: open 0x%x\n",
                    (unsigned)status);
        return FALSE;
    }
    RtlInitUnicodeString(&valueName, ValueName);
    status = WdfRegistryAssignULong(key, &valueName, Value);
    WdfRegistryClose(key);
    return NT_SUCCESS(status) ? TRUE : FALSE;
}

#ifdef VEL_SOFTWARE_KEY_VALUES
BOOLEAN GetRegistrySoftwareKeyValue(WDFDEVICE Device, PCWSTR ValueName, PULONG Value) {
    WDFKEY key = NULL;

    *Value = 0;
    NTSTATUS status = WdfDeviceOpenRegistryKey(Device, PLUGPLAY_REGKEY_DRIVER, VEL_REGISTRY_ACCESS,
                                               WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "   GetRegistrySoftwareKeyValue: open 0x%x\n",
                    (unsigned)status);
        return FALSE;
    }
    return QueryULongAndClose(key, ValueName, Value);
}
#endif

NTSTATUS GetThenUpdateNextInstanceNumber(WDFDRIVER Driver, PULONG InstanceNumber) {
    DECLARE_CONST_UNICODE_STRING(nextInstanceName, u"NextInstanceNumber");
    WDFKEY key = NULL;
    ULONG number = 0;

    NTSTATUS status = WdfDriverOpenParametersRegistryKey(Driver, VEL_REGISTRY_ACCESS,
                                                         WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "   GetThenUpdateNextInstanceNumber: open 0x%x\n",
                    (unsigned)status);
        return status;
    }

    EnterInstanceNumberGate();
    // A missing or mistyped counter starts the numbering at 0.
    if (!NT_SUCCESS(WdfRegistryQueryULong(key, &nextInstanceName, &number))) {
        number = 0;
    }
    *InstanceNumber = number;
    status = WdfRegistryAssignULong(key, &nextInstanceName, number + 1);
    LeaveInstanceNumberGate();

    WdfRegistryClose(key);
    return status;
}

NTSTATUS GetInstanceNumber(PWDFDEVICE_INIT DeviceInit, WDFDRIVER Driver, PULONG InstanceNumber) {
    ULONG number = 0;

    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP, "-->GetInstanceNumber\n");
    if (GetFdoRegistryKeyValue(DeviceInit, u"InstanceNumber", &number)) {
        *InstanceNumber = number;
        DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP, "<--GetInstanceNumber: kept %u\n",
                    (unsigned)number);
        return STATUS_SUCCESS;
    }

    NTSTATUS status = GetThenUpdateNextInstanceNumber(Driver, &number);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--GetInstanceNumber: counter 0x%x\n",
                    (unsigned)status);
        return status;
    }
    // The number is taken even if it cannot be stored; the next device gets the following one.
    if (!PutFdoRegistryKeyValue(DeviceInit, u"InstanceNumber", number)) {
        DriverTrace(TRACE_LEVEL_ERROR, DBG_PNP, "<--GetInstanceNumber: cannot store %u\n",
                    (unsigned)number);
        return STATUS_UNSUCCESSFUL;
    }
    *InstanceNumber = number;
    DriverTrace(TRACE_LEVEL_VERBOSE, DBG_PNP, "<--GetInstanceNumber: new %u\n", (unsigned)number);
    return STATUS_SUCCESS;
}

PCSTR GetDevicePowerStateName(WDF_POWER_DEVICE_STATE PowerState) {
    switch ((int)PowerState) {
        case 0:
            return "WdfPowerDeviceInvalid";
        case 1:
            return "WdfPowerDeviceD0";
        case 2:
            return "WdfPowerDeviceD1";
        case 3:
            return "WdfPowerDeviceD2";
        case 4:
            return "WdfPowerDeviceD3";
        case 5:
            return "WdfPowerDeviceD3Final";
        case 6:
            return "WdfPowerDevicePrepareForHibernation";
        case 7:
            return "PowerDeviceMaximum";
        default:
            return "UnKnown Device Power State";
    }
}

VOID EvtDriverContextCleanup(WDFOBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    DriverTrace(TRACE_LEVEL_INFORMATION, DBG_DRIVER, "   EvtDriverContextCleanup\n");
}
