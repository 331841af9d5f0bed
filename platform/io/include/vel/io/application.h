// An application: what a Windows process is to the I/O manager. It owns a handle table (files,
// events, threads), the per-thread last error, and the requests its threads have outstanding.
// Its threads are runtime contexts of kind Application: the context that creates the
// Application (a test's main context, the command line's) and those started with CreateThread.
//
// Calls on a handle opened without FILE_FLAG_OVERLAPPED are synchronous: they wait until the
// driver completes the request (a blocking call, checked by the verifier), and such calls on one
// handle run one at a time, as Windows serialises I/O on a synchronous file object. On an
// overlapped handle a call the driver pends returns false with ERROR_IO_PENDING and completes
// later into its OVERLAPPED.
//
// Closing a handle sends IRP_MJ_CLEANUP and cancels nothing by itself; IRP_MJ_CLOSE follows
// when the file's last request has completed. A thread that ends has its outstanding requests
// cancelled (IoCancelIrp) and waits for them, as on Windows. Destroying the Application is
// process exit: it joins its threads, cancels what is still outstanding, closes every handle
// and waits for the closes; it must run in a context that may block.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "vel/io/win32.h"

namespace vel::io {

class Application {
  public:
    explicit Application(std::string name = "application");
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    const std::string& name() const;

    // ----- Files ------------------------------------------------------------------------------
    // Opens "\\.\NAME" (or "\\?\NAME"), which is "\??\NAME" in the object namespace, followed
    // through symbolic links to a device. INVALID_HANDLE_VALUE on failure: ERROR_FILE_NOT_FOUND
    // for a name that leads nowhere, ERROR_ACCESS_DENIED for a second open of an exclusive
    // device, or the error of the status the driver failed IRP_MJ_CREATE with.
    HANDLE CreateFile(const std::string& fileName, DWORD desiredAccess, DWORD shareMode,
                      DWORD creationDisposition, DWORD flagsAndAttributes);
    bool CloseHandle(HANDLE handle);

    bool ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
                  OVERLAPPED* overlapped);
    bool WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                   OVERLAPPED* overlapped);
    bool DeviceIoControl(HANDLE device, DWORD ioControlCode, const void* inBuffer,
                         DWORD inBufferSize, void* outBuffer, DWORD outBufferSize,
                         DWORD* bytesReturned, OVERLAPPED* overlapped);
    bool FlushFileBuffers(HANDLE file);
    // IRP_MJ_QUERY_INFORMATION / IRP_MJ_SET_INFORMATION with an NT information class, through a
    // system buffer. On a synchronous handle FilePositionInformation is the I/O manager's own
    // business (the file's current byte offset) and reaches no driver.
    bool QueryInformationFile(HANDLE file, FILE_INFORMATION_CLASS informationClass,
                              void* information, DWORD length, DWORD* bytesReturned = nullptr);
    bool SetInformationFile(HANDLE file, FILE_INFORMATION_CLASS informationClass,
                            const void* information, DWORD length);

    // Cancels the handle's requests issued by the calling thread.
    bool CancelIo(HANDLE file);
    // Cancels the handle's requests of every thread, or only the one using `overlapped`;
    // false with ERROR_NOT_FOUND when there was none.
    bool CancelIoEx(HANDLE file, OVERLAPPED* overlapped = nullptr);

    // The result of an overlapped request. Still pending: false with ERROR_IO_INCOMPLETE without
    // waiting, WAIT_TIMEOUT when the wait (virtual milliseconds) ran out. Otherwise the bytes
    // transferred, and false with the status's error when it is not a success.
    bool GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytesTransferred,
                             bool wait);
    bool GetOverlappedResultEx(HANDLE file, OVERLAPPED* overlapped, DWORD* bytesTransferred,
                               DWORD milliseconds, bool alertable);

    // ----- Events, threads, waits -------------------------------------------------------------
    HANDLE CreateEvent(bool manualReset, bool initialState);
    bool SetEvent(HANDLE event);
    bool ResetEvent(HANDLE event);
    // Starts a thread of this application (a runtime context of kind Application). Its handle
    // is signalled when it has ended and its I/O has been cancelled.
    HANDLE CreateThread(std::string name, std::function<void()> body);
    // Waits (virtual milliseconds) for an event, a thread's end or a file's completion:
    // WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED with ERROR_INVALID_HANDLE.
    DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

    // ----- Errors -----------------------------------------------------------------------------
    // The calling thread's last error, set by a call that fails.
    DWORD GetLastError() const;
    void SetLastError(DWORD error);
    // The final NTSTATUS of the calling thread's last request (STATUS_PENDING for one that
    // returned ERROR_IO_PENDING), or the status an argument check failed with.
    NTSTATUS lastStatus() const;

    // The file object behind a file handle (nullptr for another handle); for tests that look at
    // what the driver saw.
    FILE_OBJECT* fileObject(HANDLE file) const;

    struct Impl;

  private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace vel::io
