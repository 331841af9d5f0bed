// References on device and file objects. A device object's memory goes with its last
// reference after IoDeleteDevice; a file object's with its last reference, which also releases
// the device it holds.

#include "io_impl.h"

namespace vel::kernel {

void IoManager::reference(void* object) {
    {
        std::lock_guard lock(impl_->mutex);
        if (DeviceRecord* device = impl_->findDevice(static_cast<DEVICE_OBJECT*>(object))) {
            ++device->references;
            return;
        }
        if (auto it = impl_->files.find(static_cast<FILE_OBJECT*>(object));
            it != impl_->files.end()) {
            ++it->second->references;
            return;
        }
    }
    reportViolation(rt::Rule::ContractViolation, "ObReferenceObject",
                    "reference taken on an object that is not a live device or file object");
}

void IoManager::dereference(void* object) {
    std::unique_ptr<DeviceRecord> freedDevice;
    std::unique_ptr<FileRecord> freedFile;
    std::string problem;
    {
        std::lock_guard lock(impl_->mutex);
        auto device = impl_->devices.find(static_cast<DEVICE_OBJECT*>(object));
        auto file = impl_->files.find(static_cast<FILE_OBJECT*>(object));
        if (device != impl_->devices.end()) {
            DeviceRecord& record = *device->second;
            if (record.references == 1 && !record.deleted) {
                problem = "device object dereferenced below its creation reference";
            } else if (--record.references == 0) {
                freedDevice = std::move(device->second);
                impl_->devices.erase(device);
            }
        } else if (file != impl_->files.end()) {
            if (--file->second->references == 0) {
                freedFile = std::move(file->second);
                impl_->files.erase(file);
            }
        } else {
            problem = "reference dropped on an object that is not a live device or file object";
        }
    }
    if (!problem.empty()) {
        reportViolation(rt::Rule::ContractViolation, "ObDereferenceObject", problem);
    }
    if (freedFile == nullptr) {
        return;
    }
    if (freedFile->object.DeviceObject != nullptr) {
        dereference(freedFile->object.DeviceObject);
    }
    std::vector<std::function<void()>> listeners;
    {
        std::lock_guard lock(impl_->mutex);
        for (const auto& [id, listener] : impl_->fileReleaseListeners) {
            listeners.push_back(listener);
        }
    }
    for (const std::function<void()>& listener : listeners) {
        listener();
    }
}

long IoManager::referenceCount(const void* object) const {
    std::lock_guard lock(impl_->mutex);
    if (DeviceRecord* device = impl_->findDevice(static_cast<const DEVICE_OBJECT*>(object))) {
        return device->references;
    }
    auto it = impl_->files.find(static_cast<const FILE_OBJECT*>(object));
    return it != impl_->files.end() ? it->second->references : 0;
}

}  // namespace vel::kernel

using namespace vel::kernel;

extern "C" {

VOID ObReferenceObject(PVOID Object) {
    IoManager::current().reference(Object);
}

VOID ObDereferenceObject(PVOID Object) {
    IoManager::current().dereference(Object);
}

}  // extern "C"
