// The application side of the platform: a process-like Application with a handle table and the
// Win32 file calls as methods (CreateFile, ReadFile, WriteFile, DeviceIoControl, CancelIo...).
// Each call builds the IRP the Windows I/O manager would build and sends it to the top of the
// device stack the name leads to; the driver's answer comes back as a Win32 result, a Win32
// error (GetLastError) and the request's final NTSTATUS (lastStatus).
//
// Buffering follows the flags of the device at the top of the stack:
// - read and write: DO_BUFFERED_IO gets a system buffer (a write's data copied in, a read's
//   Information bytes copied out on completion unless the status is an error); DO_DIRECT_IO
//   gets an MDL whose MappedSystemVa is the caller's buffer; neither gets the caller's buffer
//   in UserBuffer.
// - DeviceIoControl: METHOD_BUFFERED uses one system buffer of max(in, out) bytes, the input
//   copied in and, when IRP_INPUT_OPERATION is still set at completion, Information bytes
//   copied out; METHOD_IN_DIRECT/OUT_DIRECT put the input in a system buffer and describe the
//   output with an MDL; METHOD_NEITHER passes Type3InputBuffer and UserBuffer as given.
// A driver reporting more Information than the buffer holds is a verifier violation; the copy
// is clamped to the buffer.
//
// IRPs carry the issuing context in Tail.Overlay.Thread and RequestorMode UserMode.
#pragma once

#include <cstdint>

#include "vel/io/errors.h"
#include "vel_irp.h"

namespace vel::io {

// Access rights besides GENERIC_READ / GENERIC_WRITE / GENERIC_ALL (vel_nt.h).
inline constexpr DWORD FILE_READ_DATA = 0x0001;
inline constexpr DWORD FILE_WRITE_DATA = 0x0002;

inline constexpr DWORD FILE_SHARE_READ = 0x00000001;
inline constexpr DWORD FILE_SHARE_WRITE = 0x00000002;

// Creation dispositions.
inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD TRUNCATE_EXISTING = 5;

inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

// What IRP_MJ_CREATE carries in Parameters.Create.Options: the NT disposition in the top byte,
// the create options below.
inline constexpr ULONG FILE_SUPERSEDE = 0;
inline constexpr ULONG FILE_OPEN = 1;
inline constexpr ULONG FILE_CREATE = 2;
inline constexpr ULONG FILE_OPEN_IF = 3;
inline constexpr ULONG FILE_OVERWRITE = 4;
inline constexpr ULONG FILE_OVERWRITE_IF = 5;
inline constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x00000020;
inline constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x00000040;

inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~uintptr_t{0});

// An asynchronous request's result block. Internal holds STATUS_PENDING while the request is
// outstanding and its final NTSTATUS afterwards; InternalHigh the bytes transferred. Offset and
// OffsetHigh give the byte offset of a read or write. hEvent, when set, is an event handle the
// completion signals; without one the file handle itself is signalled.
struct OVERLAPPED {
    ULONG_PTR Internal = 0;
    ULONG_PTR InternalHigh = 0;
    DWORD Offset = 0;
    DWORD OffsetHigh = 0;
    HANDLE hEvent = nullptr;
};

inline bool HasOverlappedIoCompleted(const OVERLAPPED* overlapped) {
    return __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE) !=
           static_cast<ULONG_PTR>(STATUS_PENDING);
}

}  // namespace vel::io
