// A small driver module for loader and verifier tests. Its Parameters key selects what it
// does ("Scenario", REG_DWORD) and receives what it observed, so tests drive it only through
// the registry and the loader, as the platform drives any driver.
#include "toy_driver.h"
#include "vel_wdf.h"

namespace {

WDFKEY OpenParameters(WDFDRIVER Driver) {
    WDFKEY key = NULL;
    if (!NT_SUCCESS(WdfDriverOpenParametersRegistryKey(Driver, KEY_READ | KEY_WRITE,
                                                       WDF_NO_OBJECT_ATTRIBUTES, &key))) {
        return NULL;
    }
    return key;
}

VOID ToyDriverUnload(WDFDRIVER Driver) {
    WDFKEY key = OpenParameters(Driver);
    if (key != NULL) {
        DECLARE_CONST_UNICODE_STRING(unloaded, u"Unloaded");
        WdfRegistryAssignULong(key, &unloaded, 1);
        WdfRegistryClose(key);
    }
}

// Keeps a memory object and a collection holding it: both go with the driver at unload.
NTSTATUS Normal(WDFDRIVER Driver, WDFKEY Parameters) {
    DECLARE_CONST_UNICODE_STRING(registryPath, u"RegistryPath");
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, WdfDriverGetRegistryPath(Driver));
    NTSTATUS status = WdfRegistryAssignUnicodeString(Parameters, &registryPath, &path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDFMEMORY memory;
    status = WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool,
                             VEL_POOL_TAG('T', 'o', 'y', ' '), 64, &memory, NULL);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDFCOLLECTION collection;
    status = WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return WdfCollectionAdd(collection, memory);
}

NTSTATUS UseAfterDelete() {
    WDFOBJECT object;
    NTSTATUS status = WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WdfObjectDelete(object);
    WdfObjectReference(object);
    return STATUS_SUCCESS;
}

NTSTATUS ReferenceLeak() {
    WDFMEMORY memory;
    NTSTATUS status = WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0, 16, &memory, NULL);
    if (NT_SUCCESS(status)) {
        WdfObjectReferenceWithTag(memory, (PVOID)ReferenceLeak);
    }
    return status;
}

// Sleeps while holding a spin lock.
NTSTATUS BlockWithSpinLock() {
    WDFSPINLOCK lock;
    NTSTATUS status = WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LARGE_INTEGER interval;
    interval.QuadPart = WDF_REL_TIMEOUT_IN_MS(1);
    WdfSpinLockAcquire(lock);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    WdfSpinLockRelease(lock);
    return STATUS_SUCCESS;
}

// Creates objects, then fails: the framework must take everything back.
NTSTATUS FailEntry() {
    WDFOBJECT object;
    WDFSTRING string;
    WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &object);
    WdfStringCreate(NULL, WDF_NO_OBJECT_ATTRIBUTES, &string);
    return STATUS_DEVICE_DATA_ERROR;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, NULL);
    config.EvtDriverUnload = ToyDriverUnload;
    WDFDRIVER driver;
    NTSTATUS status =
        WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, &driver);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDFKEY parameters = OpenParameters(driver);
    if (parameters == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    DECLARE_CONST_UNICODE_STRING(scenarioName, u"Scenario");
    ULONG scenario = ToyNormal;
    WdfRegistryQueryULong(parameters, &scenarioName, &scenario);
    switch (scenario) {
        case ToyUseAfterDelete:
            status = UseAfterDelete();
            break;
        case ToyReferenceLeak:
            status = ReferenceLeak();
            break;
        case ToyBlockWithSpinLock:
            status = BlockWithSpinLock();
            break;
        case ToyFailEntry:
            status = FailEntry();
            break;
        default:
            status = Normal(driver, parameters);
            break;
    }
    WdfRegistryClose(parameters);
    return status;
}
