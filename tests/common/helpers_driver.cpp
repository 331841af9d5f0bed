// A driver built from nothing but the shared helpers, linked into the test program: its
// DriverEntry creates the driver object and reads the trace settings, as every driver does.
#include "driver_helpers.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFDRIVER driver;

    WDF_DRIVER_CONFIG_INIT(&config, NULL);
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = EvtDriverContextCleanup;
    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, &driver);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ReadTraceSettings(driver);
    return STATUS_SUCCESS;
}
