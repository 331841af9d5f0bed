// An application's handle table. Handles are small multiples of four, never reused while the
// table lives, so a stale handle fails with ERROR_INVALID_HANDLE instead of reaching another
// object.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

#include "file.h"
#include "objects.h"

namespace vel::io {

using HandleObject = std::variant<std::shared_ptr<File>, std::shared_ptr<EventObject>,
                                  std::shared_ptr<ThreadObject>>;

class HandleTable {
  public:
    HANDLE insert(HandleObject object);
    std::optional<HandleObject> find(HANDLE handle) const;
    std::optional<HandleObject> remove(HANDLE handle);
    std::vector<HANDLE> handles() const;

    // The object of `handle` if it is a T.
    template <typename T>
    std::shared_ptr<T> get(HANDLE handle) const {
        std::optional<HandleObject> object = find(handle);
        if (!object || !std::holds_alternative<std::shared_ptr<T>>(*object)) {
            return nullptr;
        }
        return std::get<std::shared_ptr<T>>(*object);
    }

    std::shared_ptr<Waitable> waitable(HANDLE handle) const;

  private:
    mutable std::mutex mutex_;
    std::map<uintptr_t, HandleObject> objects_;
    uintptr_t next_ = 4;
};

}  // namespace vel::io
