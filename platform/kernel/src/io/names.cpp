// The object namespace: device names and symbolic links in one flat table keyed by the folded
// full name. Resolution takes the longest leading run of path components that names something,
// follows links, and hands back what is left of the path.

#include "../text.h"
#include "io_impl.h"

namespace vel::kernel {

namespace {

constexpr std::u16string_view kDosDevices = u"\\DOSDEVICES\\";
constexpr std::u16string_view kGlobalDirectory = u"\\??\\";
constexpr int kMaxLinkHops = 32;  // a longer chain is taken for a loop

}  // namespace

std::u16string foldName(const std::u16string& name) {
    std::u16string folded;
    folded.reserve(name.size());
    for (char16_t c : name) {
        folded.push_back(upcase(c));
    }
    if (folded.starts_with(kDosDevices)) {
        folded.replace(0, kDosDevices.size(), kGlobalDirectory);
    }
    return folded;
}

bool isAbsoluteName(const std::u16string& name) {
    return name.size() > 1 && name.front() == u'\\' && name.back() != u'\\';
}

NTSTATUS IoManager::Impl::insertName(const std::u16string& name, NameEntry entry) {
    if (!names.emplace(foldName(name), std::move(entry)).second) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    return STATUS_SUCCESS;
}

void IoManager::Impl::eraseName(const std::u16string& name) {
    names.erase(foldName(name));
}

NTSTATUS IoManager::createSymbolicLink(const std::u16string& link, const std::u16string& target) {
    if (!isAbsoluteName(link) || !isAbsoluteName(target)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::lock_guard lock(impl_->mutex);
    return impl_->insertName(link, NameEntry{link, nullptr, target});
}

NTSTATUS IoManager::deleteSymbolicLink(const std::u16string& link) {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->names.find(foldName(link));
    if (it == impl_->names.end() || it->second.device != nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    impl_->names.erase(it);
    return STATUS_SUCCESS;
}

std::optional<std::u16string> IoManager::symbolicLinkTarget(const std::u16string& link) const {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->names.find(foldName(link));
    if (it == impl_->names.end() || it->second.device != nullptr) {
        return std::nullopt;
    }
    return it->second.linkTarget;
}

NTSTATUS IoManager::resolve(const std::u16string& name, ResolvedName* resolved) const {
    *resolved = ResolvedName{};
    if (!isAbsoluteName(name)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::lock_guard lock(impl_->mutex);
    std::u16string path = name;
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        std::u16string folded = foldName(path);
        // The fold only ever shortens the "\DosDevices\" prefix; keep the original spelling of
        // the remainder by measuring it from the end.
        const NameEntry* entry = nullptr;
        size_t end = folded.size();
        while (end > 0) {
            auto it = impl_->names.find(folded.substr(0, end));
            if (it != impl_->names.end()) {
                entry = &it->second;
                break;
            }
            end = folded.rfind(u'\\', end - 1);
            if (end == std::u16string::npos || end == 0) {
                break;
            }
        }
        if (entry == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        std::u16string remainder = path.substr(path.size() - (folded.size() - end));
        if (entry->device != nullptr) {
            resolved->device = entry->device;
            resolved->remainder = std::move(remainder);
            return STATUS_SUCCESS;
        }
        path = entry->linkTarget + remainder;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // namespace vel::kernel
