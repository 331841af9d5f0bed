// Device interfaces: per-PDO registrations of an interface class whose symbolic link exists
// while the interface is enabled. Interfaces of one PDO and class that differ only in their
// reference string share one link; the reference string reaches the driver as the rest of the
// opened name.

#include <algorithm>
#include <cstdio>

#include "io_impl.h"

namespace vel::kernel {

namespace {

std::u16string guidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return toUtf16(text);
}

bool sameName(const std::u16string& a, const std::u16string& b) {
    return foldName(a) == foldName(b);
}

}  // namespace

void IoManager::setInstancePath(DEVICE_OBJECT* pdo, const std::u16string& instancePath) {
    std::lock_guard lock(impl_->mutex);
    if (DeviceRecord* record = impl_->findDevice(pdo)) {
        record->instancePath = instancePath;
    }
}

NTSTATUS IoManager::registerDeviceInterface(DEVICE_OBJECT* pdo, const GUID& interfaceClass,
                                            const std::u16string& referenceString,
                                            std::u16string* symbolicLink) {
    std::lock_guard lock(impl_->mutex);
    DeviceRecord* record = impl_->findDevice(pdo);
    if (record == nullptr || record->deleted || record->instancePath.empty() ||
        record->name.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::u16string path = record->instancePath;
    for (char16_t& c : path) {
        if (c == u'\\') {
            c = u'#';
        }
    }
    InterfaceRecord candidate;
    candidate.interfaceClass = interfaceClass;
    candidate.pdo = pdo;
    candidate.linkName = u"\\??\\" + path + u"#" + guidText(interfaceClass);
    candidate.referenceString = referenceString;
    for (const InterfaceRecord& known : impl_->interfaces) {
        if (known.pdo == pdo && sameName(known.symbolicLink(), candidate.symbolicLink())) {
            *symbolicLink = known.symbolicLink();
            return STATUS_SUCCESS;
        }
    }
    *symbolicLink = candidate.symbolicLink();
    impl_->interfaces.push_back(std::move(candidate));
    return STATUS_SUCCESS;
}

NTSTATUS IoManager::setDeviceInterfaceState(const std::u16string& symbolicLink, bool enable) {
    std::lock_guard lock(impl_->mutex);
    auto& interfaces = impl_->interfaces;
    auto it = std::find_if(interfaces.begin(), interfaces.end(), [&](const InterfaceRecord& i) {
        return sameName(i.symbolicLink(), symbolicLink);
    });
    if (it == interfaces.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (it->enabled == enable) {
        return enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
    }
    bool linkShared =
        std::any_of(interfaces.begin(), interfaces.end(), [&](const InterfaceRecord& i) {
            return &i != &*it && i.enabled && sameName(i.linkName, it->linkName);
        });
    if (enable && !linkShared) {
        DeviceRecord* pdo = impl_->findDevice(it->pdo);
        NTSTATUS status =
            impl_->insertName(it->linkName, NameEntry{it->linkName, nullptr, pdo->name});
        if (!NT_SUCCESS(status)) {
            return status;
        }
    } else if (!enable && !linkShared) {
        impl_->eraseName(it->linkName);
    }
    it->enabled = enable;
    return STATUS_SUCCESS;
}

std::vector<std::u16string> IoManager::enabledInterfaces(const GUID& interfaceClass) const {
    std::lock_guard lock(impl_->mutex);
    std::vector<std::u16string> links;
    for (const InterfaceRecord& i : impl_->interfaces) {
        if (i.enabled && IsEqualGUID(i.interfaceClass, interfaceClass)) {
            links.push_back(i.symbolicLink());
        }
    }
    return links;
}

// The PnP manager disables a removed device's interfaces; here they go with the PDO, since a
// later device with the same instance path registers them again.
void IoManager::Impl::disableInterfacesOf(const DEVICE_OBJECT* pdo) {
    for (const InterfaceRecord& i : interfaces) {
        if (i.pdo == pdo && i.enabled) {
            bool linkShared = std::any_of(interfaces.begin(), interfaces.end(),
                                          [&](const InterfaceRecord& other) {
                                              return other.pdo != pdo && other.enabled &&
                                                     sameName(other.linkName, i.linkName);
                                          });
            if (!linkShared) {
                eraseName(i.linkName);
            }
        }
    }
    std::erase_if(interfaces, [pdo](const InterfaceRecord& i) { return i.pdo == pdo; });
}

}  // namespace vel::kernel
