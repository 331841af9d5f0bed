// What timers and work items share: the parent rules at creation and running the driver's
// callback under the parent's callback lock when automatic serialisation applies.
#pragma once

#include "object.h"

namespace vel::wdf {

// The parent rules of objects whose callbacks a device drives: a parent is required
// (STATUS_WDF_PARENT_NOT_SPECIFIED) and must be, or descend from, a device
// (STATUS_INVALID_DEVICE_REQUEST).
NTSTATUS resolveDeviceDescendantParent(Binding& binding, const WDF_OBJECT_ATTRIBUTES* attributes,
                                       Object** parent);

// The execution level an object created with `attributes` under `parent` gets: its own unless
// it inherits, then the nearest ancestor's that is set; dispatch when none is.
WDF_EXECUTION_LEVEL effectiveExecutionLevel(const WDF_OBJECT_ATTRIBUTES* attributes,
                                            const Object* parent);

// Holds a callback lock (if any) for a scope.
class SerializedScope {
  public:
    explicit SerializedScope(CallbackLock* lock) : lock_(lock) {
        if (lock_ != nullptr) {
            lock_->acquire();
        }
    }
    ~SerializedScope() {
        if (lock_ != nullptr) {
            lock_->release();
        }
    }
    SerializedScope(const SerializedScope&) = delete;
    SerializedScope& operator=(const SerializedScope&) = delete;

  private:
    CallbackLock* lock_;
};

}  // namespace vel::wdf
