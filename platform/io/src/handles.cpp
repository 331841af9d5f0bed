#include "handles.h"

namespace vel::io {

HANDLE HandleTable::insert(HandleObject object) {
    std::lock_guard lock(mutex_);
    uintptr_t value = next_;
    next_ += 4;
    objects_.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::optional<HandleObject> HandleTable::find(HANDLE handle) const {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == objects_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::optional<HandleObject> HandleTable::remove(HANDLE handle) {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == objects_.end()) {
        return std::nullopt;
    }
    HandleObject object = std::move(it->second);
    objects_.erase(it);
    return object;
}

std::vector<HANDLE> HandleTable::handles() const {
    std::lock_guard lock(mutex_);
    std::vector<HANDLE> result;
    for (const auto& [value, object] : objects_) {
        result.push_back(reinterpret_cast<HANDLE>(value));
    }
    return result;
}

std::shared_ptr<Waitable> HandleTable::waitable(HANDLE handle) const {
    std::optional<HandleObject> object = find(handle);
    if (!object) {
        return nullptr;
    }
    return std::visit([](const auto& target) -> std::shared_ptr<Waitable> { return target; },
                      *object);
}

}  // namespace vel::io
