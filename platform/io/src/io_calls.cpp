// Read, write, device control, flush and file information: each builds its IRP the way the
// Windows I/O manager does for the device's buffering method and runs it.

#include <algorithm>
#include <cstring>

#include "app_impl.h"

namespace vel::io {

namespace {

// The byte offset of a read or write: the OVERLAPPED's, else the file's current offset.
LONGLONG offsetOf(const File& file, const OVERLAPPED* overlapped) {
    if (overlapped != nullptr) {
        return static_cast<LONGLONG>((static_cast<ULONGLONG>(overlapped->OffsetHigh) << 32) |
                                     overlapped->Offset);
    }
    return file.object()->CurrentByteOffset.QuadPart;
}

// A read's or write's data, as the device at the top of the stack asks for it.
void attachTransferBuffer(Operation& operation, void* buffer, ULONG length, bool toDevice) {
    operation.irp()->UserBuffer = buffer;
    ULONG flags = operation.target()->Flags;
    if ((flags & DO_BUFFERED_IO) != 0) {
        void* system = operation.systemBuffer(length);
        if (toDevice) {
            if (length != 0) {
                std::memcpy(system, buffer, length);
            }
        } else {
            operation.copyBackTo(buffer, length);
        }
    } else if ((flags & DO_DIRECT_IO) != 0) {
        operation.describe(buffer, length);
    }
}

// The least a buffer for an information class must hold, for the classes the platform knows.
std::optional<ULONG> minimumLength(FILE_INFORMATION_CLASS informationClass) {
    switch (informationClass) {
        case FileStandardInformation:
            return sizeof(FILE_STANDARD_INFORMATION);
        case FilePositionInformation:
            return sizeof(FILE_POSITION_INFORMATION);
        case FileAllocationInformation:
        case FileEndOfFileInformation:
            return sizeof(LARGE_INTEGER);
        default:
            return std::nullopt;
    }
}

bool lengthFits(FILE_INFORMATION_CLASS informationClass, DWORD length) {
    std::optional<ULONG> minimum = minimumLength(informationClass);
    return !minimum || length >= *minimum;
}

}  // namespace

std::shared_ptr<File> Application::Impl::fileOf(HANDLE handle) {
    std::shared_ptr<File> file = handles.get<File>(handle);
    if (file == nullptr) {
        failWithError(ERROR_INVALID_HANDLE);
    }
    return file;
}

std::shared_ptr<Operation> Application::Impl::prepare(const std::shared_ptr<File>& file,
                                                      UCHAR majorFunction, OVERLAPPED* overlapped) {
    std::shared_ptr<Waitable> signal;
    if (overlapped != nullptr) {
        if (overlapped->hEvent != nullptr) {
            signal = handles.get<EventObject>(overlapped->hEvent);
            if (signal == nullptr) {
                failWithError(ERROR_INVALID_HANDLE);
                return nullptr;
            }
        } else {
            signal = file;
        }
    }
    return std::make_shared<Operation>(file, majorFunction, overlapped, std::move(signal));
}

bool Application::Impl::run(const std::shared_ptr<Operation>& operation, DWORD* transferred,
                            Completion completion, bool endOfFileIsSuccess) {
    if (transferred != nullptr) {
        *transferred = 0;
    }
    File& file = *operation->file();
    const bool waits = file.synchronous() || completion == Completion::Wait;
    if (file.synchronous()) {
        file.beginSynchronousIo();
    }
    NTSTATUS returned = operation->send(outstanding);
    if (waits && returned == STATUS_PENDING) {
        operation->waitForCompletion();
    }
    if (file.synchronous()) {
        file.endSynchronousIo();
    }
    if (!waits && returned == STATUS_PENDING) {
        return fail(STATUS_PENDING);  // ERROR_IO_PENDING
    }
    // A driver that returns without pending has completed the request (or broke the rules:
    // then its return is all there is).
    const bool completed = operation->completed();
    NTSTATUS status = completed ? operation->status() : returned;
    auto bytes = static_cast<DWORD>(completed ? operation->information() : 0);
    if (NT_SUCCESS(status)) {
        setStatus(status);
        if (transferred != nullptr) {
            *transferred = bytes;
        }
        return true;
    }
    if (endOfFileIsSuccess && status == STATUS_END_OF_FILE && file.synchronous()) {
        setStatus(status);
        return true;
    }
    if (!NT_ERROR(status) && transferred != nullptr) {
        *transferred = bytes;  // a warning such as STATUS_BUFFER_OVERFLOW still moved data
    }
    return fail(status);
}

bool Application::Impl::transfer(HANDLE handle, UCHAR majorFunction, void* buffer, DWORD length,
                                 DWORD* transferred, OVERLAPPED* overlapped) {
    const bool toDevice = majorFunction == IRP_MJ_WRITE;
    std::shared_ptr<File> open = fileOf(handle);
    if (open == nullptr) {
        return false;
    }
    if (!open->synchronous() && overlapped == nullptr) {
        return fail(STATUS_INVALID_PARAMETER);
    }
    if (!(toDevice ? open->canWrite() : open->canRead())) {
        return fail(STATUS_ACCESS_DENIED);
    }
    if (buffer == nullptr && length != 0) {
        return fail(STATUS_ACCESS_VIOLATION);
    }
    std::shared_ptr<Operation> operation = prepare(open, majorFunction, overlapped);
    if (operation == nullptr) {
        return false;
    }
    LONGLONG offset = offsetOf(*open, overlapped);
    auto& location = operation->location();
    if (toDevice) {
        location.Parameters.Write.Length = length;
        location.Parameters.Write.ByteOffset.QuadPart = offset;
    } else {
        location.Parameters.Read.Length = length;
        location.Parameters.Read.ByteOffset.QuadPart = offset;
    }
    operation->advancesFileOffset(offset);
    operation->limitInformation(length);
    attachTransferBuffer(*operation, buffer, length, toDevice);
    // A read at the end of a file is a success with 0 bytes; a write has no such case.
    return run(operation, transferred, Completion::AsTheFileIs, !toDevice);
}

bool Application::ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
                           OVERLAPPED* overlapped) {
    return impl_->transfer(file, IRP_MJ_READ, buffer, bytesToRead, bytesRead, overlapped);
}

bool Application::WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite,
                            DWORD* bytesWritten, OVERLAPPED* overlapped) {
    return impl_->transfer(file, IRP_MJ_WRITE, const_cast<void*>(buffer), bytesToWrite,
                           bytesWritten, overlapped);
}

bool Application::DeviceIoControl(HANDLE device, DWORD ioControlCode, const void* inBuffer,
                                  DWORD inBufferSize, void* outBuffer, DWORD outBufferSize,
                                  DWORD* bytesReturned, OVERLAPPED* overlapped) {
    std::shared_ptr<File> open = impl_->fileOf(device);
    if (open == nullptr) {
        return false;
    }
    if (!open->synchronous() && overlapped == nullptr) {
        return impl_->fail(STATUS_INVALID_PARAMETER);
    }
    // The code's access bits say what the handle must have been opened for.
    ULONG access = (ioControlCode >> 14) & 3;
    if (((access & FILE_READ_ACCESS) != 0 && !open->canRead()) ||
        ((access & FILE_WRITE_ACCESS) != 0 && !open->canWrite())) {
        return impl_->fail(STATUS_ACCESS_DENIED);
    }
    if ((inBuffer == nullptr && inBufferSize != 0) ||
        (outBuffer == nullptr && outBufferSize != 0)) {
        return impl_->fail(STATUS_ACCESS_VIOLATION);
    }
    std::shared_ptr<Operation> operation = impl_->prepare(open, IRP_MJ_DEVICE_CONTROL, overlapped);
    if (operation == nullptr) {
        return false;
    }
    auto& parameters = operation->location().Parameters.DeviceIoControl;
    parameters.OutputBufferLength = outBufferSize;
    parameters.InputBufferLength = inBufferSize;
    parameters.IoControlCode = ioControlCode;
    operation->irp()->UserBuffer = outBuffer;
    switch (METHOD_FROM_CTL_CODE(ioControlCode)) {
        case METHOD_BUFFERED: {
            // Input and output share one buffer; only Information bytes come back, and only
            // while IRP_INPUT_OPERATION is set (the framework clears it for no output).
            void* system = operation->systemBuffer(std::max(inBufferSize, outBufferSize));
            if (inBufferSize != 0) {
                std::memcpy(system, inBuffer, inBufferSize);
            }
            operation->copyBackTo(outBuffer, outBufferSize);
            break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT: {
            void* system = operation->systemBuffer(inBufferSize);
            if (inBufferSize != 0) {
                std::memcpy(system, inBuffer, inBufferSize);
            }
            operation->describe(outBuffer, outBufferSize);
            operation->limitInformation(outBufferSize);
            break;
        }
        case METHOD_NEITHER:
            parameters.Type3InputBuffer = const_cast<void*>(inBuffer);
            operation->limitInformation(outBufferSize);
            break;
    }
    return impl_->run(operation, bytesReturned, Impl::Completion::AsTheFileIs);
}

bool Application::FlushFileBuffers(HANDLE file) {
    std::shared_ptr<File> open = impl_->fileOf(file);
    if (open == nullptr) {
        return false;
    }
    if (!open->canWrite()) {
        return impl_->fail(STATUS_ACCESS_DENIED);
    }
    std::shared_ptr<Operation> operation = impl_->prepare(open, IRP_MJ_FLUSH_BUFFERS, nullptr);
    return impl_->run(operation, nullptr, Impl::Completion::Wait);
}

bool Application::QueryInformationFile(HANDLE file, FILE_INFORMATION_CLASS informationClass,
                                       void* information, DWORD length, DWORD* bytesReturned) {
    std::shared_ptr<File> open = impl_->fileOf(file);
    if (open == nullptr) {
        return false;
    }
    if (!lengthFits(informationClass, length)) {
        return impl_->fail(STATUS_INFO_LENGTH_MISMATCH);
    }
    if (information == nullptr && length != 0) {
        return impl_->fail(STATUS_ACCESS_VIOLATION);
    }
    if (open->synchronous() && informationClass == FilePositionInformation) {
        open->beginSynchronousIo();
        FILE_POSITION_INFORMATION position{open->object()->CurrentByteOffset};
        open->endSynchronousIo();
        std::memcpy(information, &position, sizeof position);
        if (bytesReturned != nullptr) {
            *bytesReturned = sizeof position;
        }
        impl_->setStatus(STATUS_SUCCESS);
        return true;
    }
    std::shared_ptr<Operation> operation = impl_->prepare(open, IRP_MJ_QUERY_INFORMATION, nullptr);
    auto& parameters = operation->location().Parameters.QueryFile;
    parameters.Length = length;
    parameters.FileInformationClass = informationClass;
    operation->systemBuffer(length);
    operation->copyBackTo(information, length);
    operation->limitInformation(length);
    return impl_->run(operation, bytesReturned, Impl::Completion::Wait);
}

bool Application::SetInformationFile(HANDLE file, FILE_INFORMATION_CLASS informationClass,
                                     const void* information, DWORD length) {
    std::shared_ptr<File> open = impl_->fileOf(file);
    if (open == nullptr) {
        return false;
    }
    if (!lengthFits(informationClass, length)) {
        return impl_->fail(STATUS_INFO_LENGTH_MISMATCH);
    }
    if (information == nullptr && length != 0) {
        return impl_->fail(STATUS_ACCESS_VIOLATION);
    }
    if (open->synchronous() && informationClass == FilePositionInformation) {
        FILE_POSITION_INFORMATION position;
        std::memcpy(&position, information, sizeof position);
        open->beginSynchronousIo();
        open->object()->CurrentByteOffset = position.CurrentByteOffset;
        open->endSynchronousIo();
        impl_->setStatus(STATUS_SUCCESS);
        return true;
    }
    std::shared_ptr<Operation> operation = impl_->prepare(open, IRP_MJ_SET_INFORMATION, nullptr);
    auto& parameters = operation->location().Parameters.SetFile;
    parameters.Length = length;
    parameters.FileInformationClass = informationClass;
    void* system = operation->systemBuffer(length);
    if (length != 0) {
        std::memcpy(system, information, length);
    }
    return impl_->run(operation, nullptr, Impl::Completion::Wait);
}

}  // namespace vel::io
