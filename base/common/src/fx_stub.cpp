// The binding stub every driver module carries: its own copy of the framework's function table
// and globals, and the exported entry point that binds to the framework before the driver's
// DriverEntry runs and unbinds after its unload.
#include "vel_wdf.h"

WDFFUNC WdfFunctions[WdfFunctionTableNumEntries];
PWDF_DRIVER_GLOBALS WdfDriverGlobals;

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

WDF_BIND_INFO BindInfo = {
    sizeof(WDF_BIND_INFO),
    VEL_KMDF_LIBRARY_NAME,
    {VEL_KMDF_MAJOR, VEL_KMDF_MINOR, VEL_KMDF_BUILD},
    WdfFunctionTableNumEntries,
    WdfFunctions,
    NULL,
};

// Owned by the loader for the driver's lifetime.
PUNICODE_STRING BoundRegistryPath;
// The unload routine the framework installed during DriverEntry (WdfDriverCreate).
PDRIVER_UNLOAD FrameworkDriverUnload;

VOID FxStubDriverUnload(PDRIVER_OBJECT DriverObject) {
    if (FrameworkDriverUnload != NULL) {
        FrameworkDriverUnload(DriverObject);
    }
    WdfVersionUnbind(BoundRegistryPath, &BindInfo,
                     reinterpret_cast<PWDF_COMPONENT_GLOBALS>(WdfDriverGlobals));
    WdfDriverGlobals = NULL;
}

}  // namespace

extern "C" VEL_EXPORT NTSTATUS FxDriverEntry(PDRIVER_OBJECT DriverObject,
                                             PUNICODE_STRING RegistryPath) {
    PWDF_COMPONENT_GLOBALS globals = NULL;
    NTSTATUS status = WdfVersionBind(DriverObject, RegistryPath, &BindInfo, &globals);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WdfDriverGlobals = reinterpret_cast<PWDF_DRIVER_GLOBALS>(globals);
    BoundRegistryPath = RegistryPath;

    status = DriverEntry(DriverObject, RegistryPath);
    if (!NT_SUCCESS(status)) {
        WdfVersionUnbind(RegistryPath, &BindInfo, globals);
        WdfDriverGlobals = NULL;
        return status;
    }
    FrameworkDriverUnload = DriverObject->DriverUnload;
    DriverObject->DriverUnload = FxStubDriverUnload;
    return status;
}
