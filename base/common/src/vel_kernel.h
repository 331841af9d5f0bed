// Kernel services the drivers call: driver and device objects, strings, registry writes relative
// to the device map, delays, configuration information and debug output. The platform implements
// each of these; drivers resolve them when their module is loaded.
#pragma once

#include <cstdarg>

#include "vel_irp.h"
#include "vel_nt.h"

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;

typedef NTSTATUS (*PDRIVER_DISPATCH)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef VOID (*PDRIVER_UNLOAD)(struct _DRIVER_OBJECT* DriverObject);
typedef NTSTATUS (*PDRIVER_INITIALIZE)(struct _DRIVER_OBJECT* DriverObject,
                                       PUNICODE_STRING RegistryPath);
typedef NTSTATUS (*PDRIVER_ADD_DEVICE)(struct _DRIVER_OBJECT* DriverObject,
                                       struct _DEVICE_OBJECT* PhysicalDeviceObject);

typedef struct _DRIVER_EXTENSION {
    struct _DRIVER_OBJECT* DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

typedef struct _DRIVER_OBJECT {
    SHORT Type;
    SHORT Size;
    struct _DEVICE_OBJECT* DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef struct _CONFIGURATION_INFORMATION {
    ULONG DiskCount;
    ULONG FloppyCount;
    ULONG CdRomCount;
    ULONG TapeCount;
    ULONG ScsiPortCount;
    ULONG SerialCount;
    ULONG ParallelCount;
    BOOLEAN AtDiskPrimaryAddressClaimed;
    BOOLEAN AtDiskSecondaryAddressClaimed;
    ULONG Version;
    ULONG MediumChangerCount;
} CONFIGURATION_INFORMATION, *PCONFIGURATION_INFORMATION;

// RtlWriteRegistryValue / RtlDeleteRegistryValue relative roots.
#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_REGISTRY_CONTROL 2
#define RTL_REGISTRY_WINDOWS_NT 3
#define RTL_REGISTRY_DEVICEMAP 4
#define RTL_REGISTRY_USER 5
#define RTL_REGISTRY_OPTIONAL 0x80000000

typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;

#define KeGetCurrentIrql() VelKeGetCurrentIrql()

// Interlocked operations (compiler intrinsics on Windows; full barriers here too).
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange,
                                      LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

extern "C" {

// Memory.
VEL_EXPORT PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VEL_EXPORT VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
VEL_EXPORT VOID ExFreePool(PVOID P);

// Execution.
VEL_EXPORT KIRQL VelKeGetCurrentIrql(VOID);
VEL_EXPORT NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                           PLARGE_INTEGER Interval);
VEL_EXPORT VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
VEL_EXPORT ULONGLONG KeQueryInterruptTime(VOID);

// Driver trace output: a platform trace log, off unless a test or the command line enables it.
// Drivers must not depend on it; VelTraceEnabled only spares formatting work.
VEL_EXPORT BOOLEAN VelTraceEnabled(VOID);
VEL_EXPORT VOID VelTraceV(ULONG Level, ULONG Flag, PCSTR Format, va_list Arguments);

// Configuration and debug output.
VEL_EXPORT PCONFIGURATION_INFORMATION IoGetConfigurationInformation(VOID);
VEL_EXPORT ULONG DbgPrint(PCSTR Format, ...);

// Counted strings.
VEL_EXPORT VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VEL_EXPORT VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
VEL_EXPORT VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                     PCUNICODE_STRING SourceString);
VEL_EXPORT NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
VEL_EXPORT NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                   PCUNICODE_STRING Source);
VEL_EXPORT LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                        BOOLEAN CaseInSensitive);
VEL_EXPORT BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                         BOOLEAN CaseInSensitive);
VEL_EXPORT NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                                 PCUNICODE_STRING SourceString,
                                                 BOOLEAN AllocateDestinationString);
VEL_EXPORT VOID RtlFreeAnsiString(PANSI_STRING AnsiString);
VEL_EXPORT NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                                 PCANSI_STRING SourceString,
                                                 BOOLEAN AllocateDestinationString);
VEL_EXPORT VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
VEL_EXPORT NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
VEL_EXPORT NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);
VEL_EXPORT SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

// Bounded wide-string formatting, copying and appending. Cb = size in bytes, Cch = in
// characters; the destination is always terminated; STATUS_BUFFER_OVERFLOW when truncated.
// Formats: %d %i %u %x %X %o %c %s (wide) %S (narrow) %ws %hs %wZ (PUNICODE_STRING) %p %%,
// flags - + 0 space #, width and precision (also *), length h l ll I64 z.
VEL_EXPORT NTSTATUS RtlStringCbPrintfW(PWSTR Destination, SIZE_T DestinationBytes, PCWSTR Format,
                                       ...);
VEL_EXPORT NTSTATUS RtlStringCchPrintfW(PWSTR Destination, SIZE_T DestinationChars, PCWSTR Format,
                                        ...);
VEL_EXPORT NTSTATUS RtlStringCbCopyW(PWSTR Destination, SIZE_T DestinationBytes, PCWSTR Source);
VEL_EXPORT NTSTATUS RtlStringCchCopyW(PWSTR Destination, SIZE_T DestinationChars, PCWSTR Source);
VEL_EXPORT NTSTATUS RtlStringCbCatW(PWSTR Destination, SIZE_T DestinationBytes, PCWSTR Source);
VEL_EXPORT NTSTATUS RtlStringCchCatW(PWSTR Destination, SIZE_T DestinationChars, PCWSTR Source);
VEL_EXPORT NTSTATUS RtlStringCbLengthW(PCWSTR String, SIZE_T MaxBytes, PSIZE_T LengthBytes);
VEL_EXPORT NTSTATUS RtlStringCchLengthW(PCWSTR String, SIZE_T MaxChars, PSIZE_T LengthChars);
VEL_EXPORT NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING Destination, PCWSTR Format, ...);
VEL_EXPORT NTSTATUS RtlUnicodeStringCopy(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
VEL_EXPORT NTSTATUS RtlUnicodeStringCat(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
VEL_EXPORT NTSTATUS RtlStringCbPrintfA(PSTR Destination, SIZE_T DestinationBytes, PCSTR Format,
                                       ...);

// Plug and play: asks the PnP manager to query the device's relations of that type again (bus
// drivers after a child arrived or left). Returns at once; callable at dispatch level.
VEL_EXPORT VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type);
// Asks the PnP manager to eject the device (a bus driver whose child's eject button was
// pressed). Returns at once; callable at dispatch level.
VEL_EXPORT VOID IoRequestDeviceEject(PDEVICE_OBJECT PhysicalDeviceObject);

// Registry writes relative to a well-known root (the drivers use RTL_REGISTRY_DEVICEMAP).
VEL_EXPORT NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                          ULONG ValueType, PVOID ValueData, ULONG ValueLength);
VEL_EXPORT NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName);

}  // extern "C"
