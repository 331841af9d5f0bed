// Work items: the driver's callback on a system worker at passive level.
#include "callback_tracker.h"
#include "ddi.h"
#include "ddi_support.h"
#include "deferred_object.h"
#include "vel/runtime/faults.h"

namespace vel::wdf {

namespace {

class WorkItem : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::WorkItem;

    WorkItem(Binding& binding, PFN_WDF_WORKITEM callback, CallbackLock* lock)
        : Object(kType, binding),
          callback_(callback),
          lock_(lock),
          runtime_(*rt::Runtime::current()),
          callbacks_(std::make_shared<CallbackTracker>("work item callbacks")) {}

    // An item queued and not yet started runs once for any number of enqueues. The queued
    // reference is held until the callback returns.
    void enqueue() {
        {
            std::lock_guard lock(mutex_);
            if (disposing_) {
                reportViolation(rt::Rule::ContractViolation, describe(),
                                "WdfWorkItemEnqueue after the work item was deleted");
                return;
            }
            if (queued_) {
                return;
            }
            queued_ = true;
        }
        callbacks_->add();
        addRef();
        runtime_.queueWorkItem([this, tracker = callbacks_] {
            run();
            // The queued reference is gone (the item may be freed): only the tracker remains.
            tracker->done();
        });
    }

    void flush() {
        if (callbacks_->calledFromCallback()) {
            reportViolation(rt::Rule::ContractViolation, describe(),
                            "WdfWorkItemFlush from the work item's own callback");
            return;
        }
        callbacks_->waitIdle();
    }

  protected:
    // Deletion waits for a queued or running callback, except from that callback itself: the
    // object then lives on until the callback returns.
    void onDispose() override {
        {
            std::lock_guard lock(mutex_);
            disposing_ = true;
        }
        if (!callbacks_->calledFromCallback()) {
            callbacks_->waitIdle();
        }
    }
    bool needsPassiveDispose() const override { return true; }

  private:
    void run() {
        {
            // Cleared first, so an enqueue from the callback schedules one more run.
            std::lock_guard lock(mutex_);
            queued_ = false;
        }
        {
            CallbackTracker::Running running(*callbacks_);
            SerializedScope serialized(lock_);
            callback_(static_cast<WDFWORKITEM>(handle()));
        }
        release();
    }

    const PFN_WDF_WORKITEM callback_;
    CallbackLock* const lock_;
    rt::Runtime& runtime_;
    const std::shared_ptr<CallbackTracker> callbacks_;

    std::mutex mutex_;
    bool queued_ = false;
    bool disposing_ = false;
};

}  // namespace

namespace ddi {

NTSTATUS WdfWorkItemCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PWDF_WORKITEM_CONFIG Config,
                           PWDF_OBJECT_ATTRIBUTES Attributes, WDFWORKITEM* WorkItem) {
    Binding* binding = callerBinding(DriverGlobals, "WdfWorkItemCreate");
    if (binding == nullptr || Config == nullptr || WorkItem == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *WorkItem = nullptr;
    if (Config->Size != sizeof(WDF_WORKITEM_CONFIG)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (Config->EvtWorkItemFunc == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = validateAttributes(Attributes); !NT_SUCCESS(status)) {
        return status;
    }
    Object* parent = nullptr;
    if (NTSTATUS status = resolveDeviceDescendantParent(*binding, Attributes, &parent);
        !NT_SUCCESS(status)) {
        return status;
    }
    CallbackLock* lock = Config->AutomaticSerialization ? parent->callbackLock() : nullptr;
    if (lock != nullptr && lock->executionLevel() != WdfExecutionLevelPassive) {
        return STATUS_WDF_INCOMPATIBLE_EXECUTION_LEVEL;
    }
    if (injectFault(rt::fault::kWorkItemCreate)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Object* published = nullptr;
    NTSTATUS status =
        publish(std::make_unique<vel::wdf::WorkItem>(*binding, Config->EvtWorkItemFunc, lock),
                Attributes, parent, &published);
    if (NT_SUCCESS(status)) {
        *WorkItem = static_cast<WDFWORKITEM>(published->handle());
    }
    return status;
}

VOID WdfWorkItemEnqueue(PWDF_DRIVER_GLOBALS DriverGlobals, WDFWORKITEM WorkItem) {
    if (auto* item = lookup<vel::wdf::WorkItem>(WorkItem, "WdfWorkItemEnqueue")) {
        item->enqueue();
    }
}

WDFOBJECT WdfWorkItemGetParentObject(PWDF_DRIVER_GLOBALS DriverGlobals, WDFWORKITEM WorkItem) {
    auto* item = lookup<vel::wdf::WorkItem>(WorkItem, "WdfWorkItemGetParentObject");
    return item != nullptr && item->parent() != nullptr ? item->parent()->handle() : nullptr;
}

VOID WdfWorkItemFlush(PWDF_DRIVER_GLOBALS DriverGlobals, WDFWORKITEM WorkItem) {
    if (auto* item = lookup<vel::wdf::WorkItem>(WorkItem, "WdfWorkItemFlush")) {
        item->flush();
    }
}

}  // namespace ddi
}  // namespace vel::wdf
