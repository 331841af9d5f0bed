#include "file_object.h"

#include "deferred_object.h"
#include "device.h"
#include "io_package.h"

namespace vel::wdf {

namespace {

NTSTATUS completeIrp(IRP* irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool needsFileObject(const WDF_FILEOBJECT_CONFIG& config) {
    const ULONG fileClass = config.FileObjectClass & ~WdfFileObjectCanBeOptional;
    return fileClass != WdfFileObjectNotRequired;
}

}  // namespace

struct FileObjectTable::CreateWatch {
    FileObjectTable* table;
    FILE_OBJECT* file;
};

FileObject* FileObjectTable::find(const FILE_OBJECT* file) const {
    std::lock_guard lock(mutex_);
    auto it = files_.find(file);
    return it != files_.end() ? it->second : nullptr;
}

FileObject* FileObjectTable::take(const FILE_OBJECT* file) {
    std::lock_guard lock(mutex_);
    auto it = files_.find(file);
    if (it == files_.end()) {
        return nullptr;
    }
    FileObject* object = it->second;
    files_.erase(it);
    return object;
}

template <typename F>
void FileObjectTable::runCallback(F&& callback) {
    CallbackLock* lock = device_.deviceExecutionLevel() == WdfExecutionLevelPassive
                             ? device_.callbackLock()
                             : nullptr;
    SerializedScope scope(lock);
    callback();
}

NTSTATUS FileObjectTable::dispatchCreate(IRP* irp) {
    IO_STACK_LOCATION* location = IoGetCurrentIrpStackLocation(irp);
    FILE_OBJECT* file = location->FileObject;
    const WDF_FILEOBJECT_CONFIG& config = device_.fileObjectConfig();
    if (device_.init().exclusive) {
        std::lock_guard lock(mutex_);
        if (!files_.empty()) {
            return completeIrp(irp, STATUS_ACCESS_DENIED);
        }
    }

    FileObject* object = nullptr;
    if (file != nullptr && (file->Flags & FO_STREAM_FILE) == 0 && needsFileObject(config)) {
        const WDF_OBJECT_ATTRIBUTES* attributes =
            device_.init().hasFileObjectAttributes ? &device_.init().fileObjectAttributes : nullptr;
        Object* published = nullptr;
        NTSTATUS status = publish(std::make_unique<FileObject>(device_.binding(), device_, file),
                                  attributes, &device_, &published);
        if (!NT_SUCCESS(status)) {
            return completeIrp(irp, status);
        }
        object = static_cast<FileObject*>(published);
        {
            std::lock_guard lock(mutex_);
            files_[file] = object;
        }
        // Watch the end of the create from the spare stack location the device reserved.
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, createCompleted, new CreateWatch{this, file}, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(irp);
        IoGetCurrentIrpStackLocation(irp)->DeviceObject = device_.wdmDevice();
    }

    if (device_.io().routesCreate()) {
        return device_.io().dispatch(irp);
    }
    if (config.EvtDeviceFileCreate == nullptr) {
        return completeIrp(irp, STATUS_SUCCESS);
    }
    WDFREQUEST request = nullptr;
    if (NTSTATUS status = device_.io().wrapIrp(irp, &request); !NT_SUCCESS(status)) {
        return completeIrp(irp, status);
    }
    IoMarkIrpPending(irp);
    runCallback([&] {
        config.EvtDeviceFileCreate(
            static_cast<WDFDEVICE>(device_.handle()), request,
            object != nullptr ? static_cast<WDFFILEOBJECT>(object->handle()) : nullptr);
    });
    return STATUS_PENDING;
}

NTSTATUS FileObjectTable::createCompleted(DEVICE_OBJECT*, IRP* irp, PVOID context) {
    std::unique_ptr<CreateWatch> watch(static_cast<CreateWatch*>(context));
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        if (FileObject* object = watch->table->take(watch->file)) {
            object->dispose();
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS FileObjectTable::dispatchCleanup(IRP* irp) {
    FILE_OBJECT* file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    const WDF_FILEOBJECT_CONFIG& config = device_.fileObjectConfig();
    FileObject* object = find(file);
    if (object != nullptr && config.EvtFileCleanup != nullptr) {
        runCallback([&] { config.EvtFileCleanup(static_cast<WDFFILEOBJECT>(object->handle())); });
    }
    if (file != nullptr) {
        device_.io().flushFile(file);
    }
    return completeIrp(irp, STATUS_SUCCESS);
}

NTSTATUS FileObjectTable::dispatchClose(IRP* irp) {
    FILE_OBJECT* file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    const WDF_FILEOBJECT_CONFIG& config = device_.fileObjectConfig();
    if (FileObject* object = find(file)) {
        if (config.EvtFileClose != nullptr) {
            runCallback([&] { config.EvtFileClose(static_cast<WDFFILEOBJECT>(object->handle())); });
        }
        if (take(file) == object) {
            object->dispose();
        }
    }
    return completeIrp(irp, STATUS_SUCCESS);
}

}  // namespace vel::wdf
