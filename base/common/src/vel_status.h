// NTSTATUS values. One list: the constants below and the platform's status-name table
// (used by traces and the command line) both come from VEL_NTSTATUS_LIST.
#pragma once

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define FACILITY_DRIVER_FRAMEWORK 0x20

// X(name, value)
#define VEL_NTSTATUS_LIST(X)                            \
    X(STATUS_SUCCESS, 0x00000000)                       \
    X(STATUS_WAIT_1, 0x00000001)                        \
    X(STATUS_TIMEOUT, 0x00000102)                       \
    X(STATUS_PENDING, 0x00000103)                       \
    X(STATUS_REPARSE, 0x00000104)                       \
    X(STATUS_MORE_ENTRIES, 0x00000105)                  \
    X(STATUS_OBJECT_NAME_EXISTS, 0x40000000)            \
    X(STATUS_WDF_QUEUED, 0x40200201)                    \
    X(STATUS_BUFFER_OVERFLOW, 0x80000005)               \
    X(STATUS_DEVICE_BUSY, 0x80000011)                   \
    X(STATUS_NO_MORE_ENTRIES, 0x8000001A)               \
    X(STATUS_UNSUCCESSFUL, 0xC0000001)                  \
    X(STATUS_NOT_IMPLEMENTED, 0xC0000002)               \
    X(STATUS_INVALID_INFO_CLASS, 0xC0000003)            \
    X(STATUS_INFO_LENGTH_MISMATCH, 0xC0000004)          \
    X(STATUS_ACCESS_VIOLATION, 0xC0000005)              \
    X(STATUS_INVALID_HANDLE, 0xC0000008)                \
    X(STATUS_INVALID_PARAMETER, 0xC000000D)             \
    X(STATUS_NO_SUCH_DEVICE, 0xC000000E)                \
    X(STATUS_NO_SUCH_FILE, 0xC000000F)                  \
    X(STATUS_INVALID_DEVICE_REQUEST, 0xC0000010)        \
    X(STATUS_END_OF_FILE, 0xC0000011)                   \
    X(STATUS_MORE_PROCESSING_REQUIRED, 0xC0000016)      \
    X(STATUS_NO_MEMORY, 0xC0000017)                     \
    X(STATUS_ACCESS_DENIED, 0xC0000022)                 \
    X(STATUS_BUFFER_TOO_SMALL, 0xC0000023)              \
    X(STATUS_OBJECT_TYPE_MISMATCH, 0xC0000024)          \
    X(STATUS_OBJECT_NAME_INVALID, 0xC0000033)           \
    X(STATUS_OBJECT_NAME_NOT_FOUND, 0xC0000034)         \
    X(STATUS_OBJECT_NAME_COLLISION, 0xC0000035)         \
    X(STATUS_OBJECT_PATH_NOT_FOUND, 0xC000003A)         \
    X(STATUS_SHARING_VIOLATION, 0xC0000043)             \
    X(STATUS_DELETE_PENDING, 0xC0000056)                \
    X(STATUS_INSUFFICIENT_RESOURCES, 0xC000009A)        \
    X(STATUS_DEVICE_DATA_ERROR, 0xC000009C)             \
    X(STATUS_DEVICE_NOT_CONNECTED, 0xC000009D)          \
    X(STATUS_DEVICE_POWER_FAILURE, 0xC000009E)          \
    X(STATUS_DEVICE_NOT_READY, 0xC00000A3)              \
    X(STATUS_IO_TIMEOUT, 0xC00000B5)                    \
    X(STATUS_NOT_SUPPORTED, 0xC00000BB)                 \
    X(STATUS_REQUEST_NOT_ACCEPTED, 0xC00000D0)          \
    X(STATUS_INTERNAL_ERROR, 0xC00000E5)                \
    X(STATUS_INVALID_PARAMETER_1, 0xC00000EF)           \
    X(STATUS_INVALID_PARAMETER_2, 0xC00000F0)           \
    X(STATUS_INVALID_PARAMETER_3, 0xC00000F1)           \
    X(STATUS_INVALID_PARAMETER_4, 0xC00000F2)           \
    X(STATUS_CANCELLED, 0xC0000120)                     \
    X(STATUS_INVALID_DEVICE_STATE, 0xC0000184)          \
    X(STATUS_INVALID_BUFFER_SIZE, 0xC0000206)           \
    X(STATUS_NOT_FOUND, 0xC0000225)                     \
    X(STATUS_DEVICE_REMOVED, 0xC00002B6)                \
    X(STATUS_WDF_INTERNAL_ERROR, 0xC0200201)            \
    X(STATUS_WDF_PAUSED, 0xC0200203)                    \
    X(STATUS_WDF_BUSY, 0xC0200204)                      \
    X(STATUS_WDF_NO_CALLBACK, 0xC0200206)               \
    X(STATUS_WDF_PARENT_NOT_SPECIFIED, 0xC0200207)      \
    X(STATUS_WDF_INCOMPATIBLE_EXECUTION_LEVEL, 0xC0200208) \
    X(STATUS_WDF_DEVICE_REMOVED_NOT_SENT, 0xC0200209)   \
    X(STATUS_WDF_REQUEST_INVALID_STATE, 0xC020020A)     \
    X(STATUS_WDF_TOO_FRAGMENTED, 0xC020020B)            \
    X(STATUS_WDF_TOO_MANY_TRANSFERS, 0xC020020C)        \
    X(STATUS_WDF_NOT_ENOUGH_MAP_REGISTERS, 0xC020020D)  \
    X(STATUS_WDF_OBJECT_ATTRIBUTES_INVALID, 0xC020020E)

#define VEL_DEFINE_STATUS(name, value) constexpr NTSTATUS name = (NTSTATUS)(value##u);
VEL_NTSTATUS_LIST(VEL_DEFINE_STATUS)
#undef VEL_DEFINE_STATUS
