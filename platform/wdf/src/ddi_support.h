// Helpers shared by the framework calls: resolving a handle to its object with the verifier
// reports a bad handle deserves, and the calling driver's binding.
#pragma once

#include "framework_state.h"
#include "object.h"

namespace vel::wdf {

// The object behind `handle` if it is a live object of type T (any type for Object). Reports
// InvalidHandle (null, never a handle, wrong type) or UseAfterDelete (object gone) naming the
// call, and returns nullptr.
Object* findObject(WDFOBJECT handle, const char* call, const ObjectType* type);

template <typename T>
T* lookup(const void* handle, const char* call) {
    if constexpr (std::is_same_v<T, Object>) {
        return findObject(const_cast<void*>(handle), call, nullptr);
    } else {
        const ObjectType type = T::kType;
        return static_cast<T*>(findObject(const_cast<void*>(handle), call, &type));
    }
}

// The binding of the calling driver (its globals). Reports and returns nullptr for globals the
// framework never handed out.
Binding* callerBinding(PWDF_DRIVER_GLOBALS globals, const char* call);

// True when a fault is injected at `point` now.
bool injectFault(const char* point);

}  // namespace vel::wdf
