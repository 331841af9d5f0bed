// The Application object: construction and process exit, handles, events, threads, waits and
// the per-thread results.

#include <optional>

#include "app_impl.h"
#include "vel/kernel/kernel.h"

namespace vel::io {

namespace {

std::optional<rt::Ticks> timeoutOf(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        return std::nullopt;
    }
    return static_cast<rt::Ticks>(milliseconds) * rt::kTicksPerMs;
}

// "\\.\COM7" and "\\?\COM7" name "\??\COM7"; the platform has no file system, so any other name
// names nothing.
std::optional<std::u16string> namespaceName(const std::string& fileName) {
    if (fileName.size() > 4 && fileName[0] == '\\' && fileName[1] == '\\' &&
        (fileName[2] == '.' || fileName[2] == '?') && fileName[3] == '\\') {
        return u"\\??\\" + kernel::toUtf16(fileName.substr(4));
    }
    return std::nullopt;
}

}  // namespace

Application::Impl::Impl(std::string name)
    : name(std::move(name)), runtime(*rt::Runtime::current()) {}

const rt::Context* Application::Impl::currentThread() const {
    return runtime.currentContext();
}

void Application::Impl::setStatus(NTSTATUS status) {
    std::lock_guard lock(mutex);
    results[currentThread()].status = status;
}

bool Application::Impl::fail(NTSTATUS status) {
    std::lock_guard lock(mutex);
    ThreadResult& result = results[currentThread()];
    result.status = status;
    result.error = win32ErrorFromStatus(status);
    return false;
}

bool Application::Impl::failWithError(DWORD error) {
    std::lock_guard lock(mutex);
    results[currentThread()].error = error;
    return false;
}

Application::Application(std::string name) : impl_(std::make_shared<Impl>(std::move(name))) {}

Application::~Application() {
    std::vector<std::shared_ptr<ThreadObject>> threads;
    {
        std::lock_guard lock(impl_->mutex);
        threads = impl_->threads;
    }
    for (const auto& thread : threads) {
        impl_->runtime.join(*thread->context);
    }
    impl_->cancelAndWait([](const Operation&) { return true; });
    for (HANDLE handle : impl_->handles.handles()) {
        CloseHandle(handle);
    }
    impl_->openFiles->waitUntilNoneOpen();
}

const std::string& Application::name() const {
    return impl_->name;
}

HANDLE Application::CreateFile(const std::string& fileName, DWORD desiredAccess, DWORD shareMode,
                               DWORD creationDisposition, DWORD flagsAndAttributes) {
    // Indexed by the Win32 disposition.
    static constexpr ULONG kDispositions[] = {0,         FILE_CREATE,  FILE_OVERWRITE_IF,
                                              FILE_OPEN, FILE_OPEN_IF, FILE_OVERWRITE};
    if (creationDisposition < CREATE_NEW || creationDisposition > TRUNCATE_EXISTING) {
        impl_->fail(STATUS_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::optional<std::u16string> name = namespaceName(fileName);
    if (!name) {
        impl_->fail(STATUS_OBJECT_NAME_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    OpenRequest request;
    request.name = std::move(*name);
    request.access = desiredAccess;
    request.share = shareMode;
    request.disposition = kDispositions[creationDisposition];
    request.attributes = flagsAndAttributes & 0xFFFF;
    request.overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    std::shared_ptr<File> file;
    NTSTATUS status = File::open(request, impl_->openFiles, &file);
    if (!NT_SUCCESS(status)) {
        impl_->fail(status);
        return INVALID_HANDLE_VALUE;
    }
    impl_->setStatus(status);
    return impl_->handles.insert(std::move(file));
}

bool Application::CloseHandle(HANDLE handle) {
    std::optional<HandleObject> object = impl_->handles.remove(handle);
    if (!object) {
        return impl_->failWithError(ERROR_INVALID_HANDLE);
    }
    if (auto* file = std::get_if<std::shared_ptr<File>>(&*object)) {
        (*file)->cleanup();
        (*file)->releaseUser(true);
    }
    return true;
}

FILE_OBJECT* Application::fileObject(HANDLE file) const {
    std::shared_ptr<File> open = impl_->handles.get<File>(file);
    return open != nullptr ? open->object() : nullptr;
}

HANDLE Application::CreateEvent(bool manualReset, bool initialState) {
    return impl_->handles.insert(std::make_shared<EventObject>(manualReset, initialState));
}

bool Application::SetEvent(HANDLE event) {
    std::shared_ptr<EventObject> object = impl_->handles.get<EventObject>(event);
    if (object == nullptr) {
        return impl_->failWithError(ERROR_INVALID_HANDLE);
    }
    object->signal().set();
    return true;
}

bool Application::ResetEvent(HANDLE event) {
    std::shared_ptr<EventObject> object = impl_->handles.get<EventObject>(event);
    if (object == nullptr) {
        return impl_->failWithError(ERROR_INVALID_HANDLE);
    }
    object->signal().reset();
    return true;
}

HANDLE Application::CreateThread(std::string name, std::function<void()> body) {
    auto thread = std::make_shared<ThreadObject>(name);
    // The body lets go of what it holds when it ends: the context outlives the application.
    auto run = [impl = impl_, thread, body = std::move(body)]() mutable {
        body();
        const rt::Context* self = impl->currentThread();
        impl->cancelAndWait([self](const Operation& operation) {
            return operation.issuer() == static_cast<const void*>(self);
        });
        {
            std::lock_guard lock(impl->mutex);
            impl->results.erase(self);
        }
        thread->signal().set();
        body = nullptr;
        thread.reset();
        impl.reset();
    };
    rt::Context& context =
        impl_->runtime.spawn(std::move(name), rt::ContextKind::Application, std::move(run));
    {
        std::lock_guard lock(impl_->mutex);
        thread->context = &context;
        impl_->threads.push_back(thread);
    }
    return impl_->handles.insert(std::move(thread));
}

DWORD Application::WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    std::shared_ptr<Waitable> object = impl_->handles.waitable(handle);
    if (object == nullptr) {
        impl_->failWithError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return object->signal().wait(timeoutOf(milliseconds)) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

bool Application::GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytesTransferred,
                                      bool wait) {
    return GetOverlappedResultEx(file, overlapped, bytesTransferred, wait ? INFINITE : 0, false);
}

bool Application::GetOverlappedResultEx(HANDLE file, OVERLAPPED* overlapped,
                                        DWORD* bytesTransferred, DWORD milliseconds,
                                        bool /*alertable: the platform has no APCs*/) {
    if (!HasOverlappedIoCompleted(overlapped)) {
        if (milliseconds == 0) {
            return impl_->failWithError(ERROR_IO_INCOMPLETE);
        }
        std::shared_ptr<Waitable> object =
            impl_->handles.waitable(overlapped->hEvent != nullptr ? overlapped->hEvent : file);
        if (object == nullptr) {
            return impl_->failWithError(ERROR_INVALID_HANDLE);
        }
        if (!object->signal().wait(timeoutOf(milliseconds))) {
            return impl_->failWithError(WAIT_TIMEOUT);
        }
        // The event may be shared with other requests (or set by the application).
        if (!HasOverlappedIoCompleted(overlapped)) {
            return impl_->failWithError(ERROR_IO_INCOMPLETE);
        }
    }
    auto status = static_cast<NTSTATUS>(
        static_cast<ULONG>(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE)));
    if (bytesTransferred != nullptr) {
        *bytesTransferred = static_cast<DWORD>(overlapped->InternalHigh);
    }
    if (!NT_SUCCESS(status)) {
        return impl_->fail(status);
    }
    impl_->setStatus(status);
    return true;
}

DWORD Application::GetLastError() const {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->results.find(impl_->currentThread());
    return it != impl_->results.end() ? it->second.error : ERROR_SUCCESS;
}

void Application::SetLastError(DWORD error) {
    impl_->failWithError(error);
}

NTSTATUS Application::lastStatus() const {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->results.find(impl_->currentThread());
    return it != impl_->results.end() ? it->second.status : STATUS_SUCCESS;
}

}  // namespace vel::io
