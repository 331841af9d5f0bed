// File objects for opens of a device. The application side sends IRP_MJ_CREATE, CLEANUP and
// CLOSE with them; here they are made and counted, and their release is announced to whoever
// waits for a device's last open to go (the PnP manager, before it removes a device).

#include <algorithm>

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

bool IoManager::hasOpenFiles(const std::vector<DEVICE_OBJECT*>& devices) const {
    std::lock_guard lock(impl_->mutex);
    for (const auto& [object, record] : impl_->files) {
        if (std::find(devices.begin(), devices.end(), object->DeviceObject) != devices.end()) {
            return true;
        }
    }
    return false;
}

size_t IoManager::watchFileRelease(std::function<void()> listener) {
    std::lock_guard lock(impl_->mutex);
    const size_t id = impl_->nextListenerId++;
    impl_->fileReleaseListeners.emplace(id, std::move(listener));
    return id;
}

void IoManager::unwatchFileRelease(size_t id) {
    std::lock_guard lock(impl_->mutex);
    impl_->fileReleaseListeners.erase(id);
}

bool IoManager::hasDeviceObjects(const DRIVER_OBJECT* driver) const {
    std::lock_guard lock(impl_->mutex);
    for (const auto& [object, record] : impl_->devices) {
        if (object->DriverObject == driver) {
            return true;
        }
    }
    return false;
}

}  // namespace vel::kernel
