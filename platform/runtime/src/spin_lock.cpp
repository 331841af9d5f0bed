#include <mutex>

#include "context.h"
#include "scheduler.h"
#include "vel/runtime/runtime.h"
#include "vel/runtime/verifier.h"

namespace vel::rt {

// Ownership lives under a small mutex; a context that finds the lock taken waits through the
// scheduler (simulated: another context runs; wall time: a condition variable), so contention
// is a scheduling point and shows in deadlock reports as "spin lock <name>".
struct SpinLock::Impl {
    std::string name;
    mutable std::mutex mutex;
    const void* owner = nullptr;
    Irql previousIrql = Irql::Passive;

    uintptr_t id() const { return reinterpret_cast<uintptr_t>(this); }

    bool tryTake(const void* who) {
        std::lock_guard lock(mutex);
        if (owner != nullptr) {
            return false;
        }
        owner = who;
        return true;
    }

    bool ownedBy(const void* who) const {
        std::lock_guard lock(mutex);
        return owner == who;
    }

    bool free() const { return ownedBy(nullptr); }
};

SpinLock::SpinLock(std::string name) : impl_(std::make_unique<Impl>()) {
    impl_->name = std::move(name);
}

SpinLock::~SpinLock() {
    if (Runtime* runtime = callerRuntime()) {
        runtime->verifier().forgetSpinLock(impl_->id());
    }
}

void SpinLock::acquire() {
    Runtime& runtime = hostRuntime();
    const void* self = callerIdentity();
    Irql previous = raiseIrql(Irql::Dispatch);
    // Checks order and recursion before spinning, so an order fault is reported even when the
    // interleaving then deadlocks.
    runtime.verifier().noteSpinLockAcquire(impl_->id(), impl_->name);
    if (impl_->ownedBy(self)) {
        return;  // recursion, reported above; waiting for ourselves would hang the run
    }
    Scheduler& scheduler = runtime.scheduler();
    scheduler.point();
    while (!impl_->tryTake(self)) {
        scheduler.block(Wait{.site = WaitSite{"spin lock \"" + impl_->name + "\""},
                             .ready = [this] { return impl_->free(); }});
    }
    impl_->previousIrql = previous;
}

void SpinLock::release() {
    Runtime& runtime = hostRuntime();
    const void* self = callerIdentity();
    runtime.verifier().noteSpinLockRelease(impl_->id(), impl_->name);
    Irql restore;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->owner != self) {
            return;  // not the owner, reported above
        }
        impl_->owner = nullptr;
        restore = impl_->previousIrql;
    }
    Scheduler& scheduler = runtime.scheduler();
    scheduler.changed();
    lowerIrql(restore);
    scheduler.point();
}

const std::string& SpinLock::name() const {
    return impl_->name;
}

}  // namespace vel::rt
