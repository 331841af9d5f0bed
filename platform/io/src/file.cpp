#include "file.h"

namespace vel::io {

namespace {

// DEVICE_OBJECT.ReferenceCount counts the opens of a device; an exclusive device takes one.
bool takeOpenCount(DEVICE_OBJECT* device) {
    if ((device->Flags & DO_EXCLUSIVE) == 0) {
        __atomic_add_fetch(&device->ReferenceCount, 1, __ATOMIC_ACQ_REL);
        return true;
    }
    LONG expected = 0;
    return __atomic_compare_exchange_n(&device->ReferenceCount, &expected, 1, false,
                                       __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
}

void dropOpenCount(DEVICE_OBJECT* device) {
    __atomic_sub_fetch(&device->ReferenceCount, 1, __ATOMIC_ACQ_REL);
}

bool grants(DWORD access, DWORD generic, DWORD dataRight) {
    return (access & (generic | GENERIC_ALL | dataRight)) != 0;
}

}  // namespace

void OpenFiles::opened() {
    std::lock_guard lock(mutex_);
    ++count_;
}

void OpenFiles::closed() {
    {
        std::lock_guard lock(mutex_);
        --count_;
    }
    changed_.set();
}

void OpenFiles::waitUntilNoneOpen() {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (count_ == 0) {
                return;
            }
        }
        changed_.wait();
    }
}

void prepareApplicationIrp(IRP* irp, FILE_OBJECT* file, UCHAR majorFunction) {
    rt::Runtime* runtime = rt::Runtime::current();
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.Thread = runtime != nullptr ? runtime->currentContext() : nullptr;
    irp->Tail.Overlay.OriginalFileObject = file;
    IO_STACK_LOCATION* location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = majorFunction;
    location->FileObject = file;
}

NTSTATUS File::open(const OpenRequest& request, std::shared_ptr<OpenFiles> openFiles,
                    std::shared_ptr<File>* file) {
    kernel::IoManager& io = kernel::IoManager::current();
    kernel::ResolvedName resolved;
    NTSTATUS status = io.resolve(request.name, &resolved);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    DEVICE_OBJECT* device = resolved.device;
    if (!takeOpenCount(device)) {
        return STATUS_ACCESS_DENIED;
    }
    FILE_OBJECT* object = io.createFileObject(device, resolved.remainder);
    bool canRead = grants(request.access, GENERIC_READ, FILE_READ_DATA);
    bool canWrite = grants(request.access, GENERIC_WRITE, FILE_WRITE_DATA);
    object->ReadAccess = canRead;
    object->WriteAccess = canWrite;
    object->SharedRead = (request.share & FILE_SHARE_READ) != 0;
    object->SharedWrite = (request.share & FILE_SHARE_WRITE) != 0;
    ULONG options = FILE_NON_DIRECTORY_FILE;
    if (!request.overlapped) {
        object->Flags |= FO_SYNCHRONOUS_IO;
        options |= FILE_SYNCHRONOUS_IO_NONALERT;
    }

    DEVICE_OBJECT* top = io.topOfStack(device);
    kernel::IrpPtr irp = kernel::IoManager::allocateIrp(top->StackSize);
    prepareApplicationIrp(irp.get(), object, IRP_MJ_CREATE);
    irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    IO_STACK_LOCATION* location = IoGetNextIrpStackLocation(irp.get());
    location->Parameters.Create.Options = (request.disposition << 24) | options;
    location->Parameters.Create.ShareAccess = static_cast<USHORT>(request.share);
    location->Parameters.Create.FileAttributes = static_cast<USHORT>(request.attributes);
    status = io.sendAndWait(top, irp.get());
    if (!NT_SUCCESS(status)) {
        // The driver refused the open: no cleanup or close follows.
        dropOpenCount(device);
        io.dereference(object);
        return status;
    }
    openFiles->opened();
    *file = std::make_shared<File>(io, object, canRead, canWrite, std::move(openFiles));
    return status;
}

File::File(kernel::IoManager& io, FILE_OBJECT* object, bool canRead, bool canWrite,
           std::shared_ptr<OpenFiles> openFiles)
    : io_(io),
      object_(object),
      canRead_(canRead),
      canWrite_(canWrite),
      openFiles_(std::move(openFiles)) {}

File::~File() = default;

DEVICE_OBJECT* File::target() const {
    return io_.topOfStack(object_->DeviceObject);
}

NTSTATUS File::sendAndWait(UCHAR majorFunction, ULONG irpFlags) {
    DEVICE_OBJECT* top = target();
    kernel::IrpPtr irp = kernel::IoManager::allocateIrp(top->StackSize);
    prepareApplicationIrp(irp.get(), object_, majorFunction);
    irp->Flags = irpFlags;
    return io_.sendAndWait(top, irp.get());
}

void File::cleanup() {
    sendAndWait(IRP_MJ_CLEANUP, IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API);
}

void File::releaseUser(bool mayBlock) {
    if (--users_ != 0) {
        return;
    }
    if (mayBlock) {
        close();
    } else {
        rt::Runtime::current()->queueWorkItem([self = shared_from_this()] { self->close(); });
    }
}

void File::close() {
    sendAndWait(IRP_MJ_CLOSE, IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API);
    DEVICE_OBJECT* device = object_->DeviceObject;
    dropOpenCount(device);
    io_.dereference(object_);  // releases the device with the file object
    openFiles_->closed();
}

}  // namespace vel::io
