// Basic types, status codes and records of the kernel world, with the widths a Windows
// build gives them (ULONG is 32-bit on every build). Every driver and the platform see these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__GNUC__)
#define VEL_EXPORT __attribute__((visibility("default")))
#else
#define VEL_EXPORT
#endif

typedef void VOID;
typedef void* PVOID;
typedef const void* PCVOID;
typedef char CHAR;
typedef signed char CCHAR;
typedef unsigned char UCHAR;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef uint8_t BOOLEAN;
typedef char16_t WCHAR;
typedef ULONG ACCESS_MASK;
typedef void* HANDLE;
typedef LONG NTSTATUS;
typedef UCHAR KIRQL;
typedef CCHAR KPROCESSOR_MODE;

typedef CHAR* PCHAR;
typedef const CHAR* PCCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef LONGLONG* PLONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef SIZE_T* PSIZE_T;
typedef ULONG_PTR* PULONG_PTR;
typedef BOOLEAN* PBOOLEAN;
typedef WCHAR* PWCH;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* PCWCH;
typedef HANDLE* PHANDLE;
typedef NTSTATUS* PNTSTATUS;
typedef KIRQL* PKIRQL;

#define TRUE 1
#define FALSE 0

#ifndef NULL
#define NULL nullptr
#endif

#define IN
#define OUT
#define OPTIONAL

#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define ARRAYSIZE(A) (sizeof(A) / sizeof((A)[0]))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define CONTAINING_RECORD(address, type, field) \
    ((type*)((PCHAR)(address) - offsetof(type, field)))

#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlEqualMemory(A, B, Length) (!memcmp((A), (B), (Length)))

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;

inline bool IsEqualGUID(const GUID& a, const GUID& b) {
    return memcmp(&a, &b, sizeof(GUID)) == 0;
}

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;  // bytes, without a terminator
    USHORT MaximumLength;
    PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} ANSI_STRING, *PANSI_STRING, STRING, *PSTRING;
typedef const ANSI_STRING* PCANSI_STRING;

// A counted string over a literal: DECLARE_CONST_UNICODE_STRING(name, u"text").
#define DECLARE_CONST_UNICODE_STRING(_var, _string)                                   \
    const WCHAR _var##_buffer[] = _string;                                            \
    const UNICODE_STRING _var = {sizeof(_string) - sizeof(WCHAR), sizeof(_string),    \
                                 const_cast<PWCH>(_var##_buffer)}
#define DECLARE_UNICODE_STRING_SIZE(_var, _size) \
    WCHAR _var##_buffer[_size];                  \
    UNICODE_STRING _var = {0, (_size) * sizeof(WCHAR), _var##_buffer}
#define RTL_CONSTANT_STRING(s) {sizeof(s) - sizeof((s)[0]), sizeof(s), const_cast<PWCH>(s)}

#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

#define KernelMode 0
#define UserMode 1

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolNx = 512,
} POOL_TYPE;

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0,
    PowerDeviceD1,
    PowerDeviceD2,
    PowerDeviceD3,
    PowerDeviceMaximum
} DEVICE_POWER_STATE, *PDEVICE_POWER_STATE;

typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking,
    PowerSystemSleeping1,
    PowerSystemSleeping2,
    PowerSystemSleeping3,
    PowerSystemHibernate,
    PowerSystemShutdown,
    PowerSystemMaximum
} SYSTEM_POWER_STATE, *PSYSTEM_POWER_STATE;

typedef enum _POWER_ACTION {
    PowerActionNone = 0,
    PowerActionReserved,
    PowerActionSleep,
    PowerActionHibernate,
    PowerActionShutdown,
    PowerActionShutdownReset,
    PowerActionShutdownOff,
    PowerActionWarmEject
} POWER_ACTION, *PPOWER_ACTION;

// Standard and registry access rights.
#define DELETE 0x00010000
#define READ_CONTROL 0x00020000
#define WRITE_DAC 0x00040000
#define WRITE_OWNER 0x00080000
#define SYNCHRONIZE 0x00100000
#define STANDARD_RIGHTS_REQUIRED 0x000F0000
#define STANDARD_RIGHTS_ALL 0x001F0000
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_ALL 0x10000000u

// Registry value types.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

// Pool tags are written as multi-character literals in reverse byte order, as on Windows:
// VEL_POOL_TAG('A','C','M',' ') gives the ULONG whose bytes in memory read "ACM ".
#define VEL_POOL_TAG(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))

#include "vel_status.h"
