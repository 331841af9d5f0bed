#include <cstdio>
#include <cstdlib>

#include "../kernel_impl.h"
#include "io_impl.h"

namespace vel::kernel {

IoManager::IoManager() : impl_(std::make_unique<Impl>()) {}

IoManager::~IoManager() {
    std::vector<std::string> leaks;
    {
        std::lock_guard lock(impl_->mutex);
        for (const auto& [object, record] : impl_->devices) {
            leaks.push_back("device object " + toUtf8(record->name) + " with " +
                            std::to_string(record->references) + " reference(s)" +
                            (record->deleted ? "" : ", never deleted"));
        }
        for (const auto& [object, record] : impl_->files) {
            leaks.push_back("file object for \"" + toUtf8(record->fileName) + "\" with " +
                            std::to_string(record->references) + " reference(s)");
        }
        if (!impl_->irps.empty()) {
            leaks.push_back(std::to_string(impl_->irps.size()) + " IRP(s) never freed");
        }
    }
    for (auto& leak : leaks) {
        reportViolation(rt::Rule::ReferenceLeak, "I/O manager", "at teardown: " + leak);
    }
    // Leaked device and file objects go with their tables; leaked IRPs are freed here.
    for (const IRP* irp : std::vector<const IRP*>(impl_->irps.begin(), impl_->irps.end())) {
        freeIrpMemory(const_cast<IRP*>(irp));
    }
}

IoManager& IoManager::current() {
    Kernel* kernel = Kernel::current();
    if (kernel == nullptr) {
        std::fprintf(stderr, "I/O manager used without a live vel::kernel::Kernel\n");
        std::abort();
    }
    return kernel->io();
}

IoManager::Impl& IoManager::impl() {
    return *impl_;
}

rt::SpinLock& IoManager::cancelLock() {
    return impl_->cancelLock;
}

IoManager& Kernel::io() {
    return impl().io;
}

void reportViolation(rt::Rule rule, std::string object, std::string message) {
    if (rt::Runtime* runtime = rt::Runtime::current()) {
        runtime->verifier().report(rule, std::move(object), std::move(message));
        return;
    }
    std::fprintf(stderr, "verifier (%s): %s: %s\n", rt::toString(rule), object.c_str(),
                 message.c_str());
}

std::string describeDevice(const DEVICE_OBJECT* device) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(device));
    std::string text = std::string("DEVICE_OBJECT ") + address;
    if (Kernel* kernel = Kernel::current()) {
        IoManager::Impl& io = kernel->io().impl();
        std::lock_guard lock(io.mutex);
        if (DeviceRecord* record = io.findDevice(device); record && !record->name.empty()) {
            text += " (" + toUtf8(record->name) + ")";
        }
    }
    return text;
}

std::string describeIrp(const IRP* irp) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<const void*>(irp));
    return std::string("IRP ") + address;
}

}  // namespace vel::kernel
