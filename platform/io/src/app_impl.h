// The state of an Application, shared by the files that implement its calls. Requests and
// deferred closes may finish after a call returns, so they hold the parts they need
// (Outstanding, OpenFiles) by shared pointer.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "file.h"
#include "handles.h"
#include "operation.h"
#include "vel/io/application.h"

namespace vel::io {

// How long a thread that ends, or the process at exit, waits for a cancelled request before
// reporting that the driver never completed it.
inline constexpr rt::Ticks kCancelledIoWait = 300 * rt::kTicksPerSec;

struct Application::Impl {
    explicit Impl(std::string name);

    // ----- Per-thread results -----------------------------------------------------------------
    // Records the status of the calling thread's last request.
    void setStatus(NTSTATUS status);
    // Records a failure: the status and its Win32 error. Returns false for the caller's return.
    bool fail(NTSTATUS status);
    bool failWithError(DWORD error);

    // ----- Requests ---------------------------------------------------------------------------
    // The file of a handle, or nullptr after recording ERROR_INVALID_HANDLE.
    std::shared_ptr<File> fileOf(HANDLE handle);
    // A request on `file`; with an OVERLAPPED its completion signals hEvent or the file.
    // nullptr after recording ERROR_INVALID_HANDLE when hEvent is not an event.
    std::shared_ptr<Operation> prepare(const std::shared_ptr<File>& file, UCHAR majorFunction,
                                       OVERLAPPED* overlapped);
    enum class Completion {
        AsTheFileIs,  // synchronous file: wait; overlapped file: ERROR_IO_PENDING when pending
        Wait,         // calls that are synchronous on every file (flush, query, set)
    };
    // Sends the request and turns its outcome into the Win32 result.
    bool run(const std::shared_ptr<Operation>& operation, DWORD* transferred, Completion completion,
             bool endOfFileIsSuccess = false);

    // ReadFile and WriteFile: one transfer of `length` bytes at the file's or the OVERLAPPED's
    // offset.
    bool transfer(HANDLE handle, UCHAR majorFunction, void* buffer, DWORD length,
                  DWORD* transferred, OVERLAPPED* overlapped);

    // Cancels the requests selected and waits for them (thread end, process exit).
    void cancelAndWait(const std::function<bool(const Operation&)>& predicate);

    const rt::Context* currentThread() const;

    std::string name;
    rt::Runtime& runtime;
    HandleTable handles;
    std::shared_ptr<Outstanding> outstanding = std::make_shared<Outstanding>();
    std::shared_ptr<OpenFiles> openFiles = std::make_shared<OpenFiles>();

    struct ThreadResult {
        DWORD error = ERROR_SUCCESS;
        NTSTATUS status = STATUS_SUCCESS;
    };
    mutable std::mutex mutex;  // guards results and threads
    std::map<const rt::Context*, ThreadResult> results;
    std::vector<std::shared_ptr<ThreadObject>> threads;
};

}  // namespace vel::io
