// Cancellation from the application side: CancelIo, CancelIoEx, and what a thread's end and
// process exit do to the requests still outstanding.

#include "app_impl.h"
#include "vel/runtime/verifier.h"

namespace vel::io {

void Application::Impl::cancelAndWait(const std::function<bool(const Operation&)>& predicate) {
    std::vector<std::shared_ptr<Operation>> operations = outstanding->select(predicate);
    for (const auto& operation : operations) {
        IoCancelIrp(operation->irp());
    }
    for (const auto& operation : operations) {
        if (!operation->waitForCompletion(kCancelledIoWait)) {
            runtime.verifier().report(
                rt::Rule::ContractViolation, "application " + name,
                "a cancelled request was not completed within 300 s by the driver of its file");
        }
    }
}

bool Application::CancelIo(HANDLE file) {
    std::shared_ptr<File> open = impl_->fileOf(file);
    if (open == nullptr) {
        return false;
    }
    const void* self = impl_->currentThread();
    for (const auto& operation : impl_->outstanding->select([&](const Operation& operation) {
             return operation.file() == open && operation.issuer() == self;
         })) {
        IoCancelIrp(operation->irp());
    }
    return true;
}

bool Application::CancelIoEx(HANDLE file, OVERLAPPED* overlapped) {
    std::shared_ptr<File> open = impl_->fileOf(file);
    if (open == nullptr) {
        return false;
    }
    std::vector<std::shared_ptr<Operation>> operations =
        impl_->outstanding->select([&](const Operation& operation) {
            return operation.file() == open &&
                   (overlapped == nullptr || operation.overlapped() == overlapped);
        });
    if (operations.empty()) {
        return impl_->fail(STATUS_NOT_FOUND);
    }
    for (const auto& operation : operations) {
        IoCancelIrp(operation->irp());
    }
    return true;
}

}  // namespace vel::io
