// File objects for opens of a device. The application side sends IRP_MJ_CREATE, CLEANUP and
// CLOSE with them; here they are only made and counted.

#include "io_impl.h"

namespace vel::kernel {

FILE_OBJECT* IoManager::createFileObject(DEVICE_OBJECT* device, const std::u16string& fileName) {
    reference(device);
    auto record = std::make_unique<FileRecord>();
    record->fileName = fileName;
    FILE_OBJECT& object = record->object;
    object.Type = IO_TYPE_FILE;
    object.Size = sizeof(FILE_OBJECT);
    object.DeviceObject = device;
    object.FileName.Buffer = record->fileName.data();
    object.FileName.Length = static_cast<USHORT>(record->fileName.size() * sizeof(WCHAR));
    object.FileName.MaximumLength = object.FileName.Length;
    std::lock_guard lock(impl_->mutex);
    impl_->files.emplace(&object, std::move(record));
    return &object;
}

}  // namespace vel::kernel
