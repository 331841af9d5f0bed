// Spin locks and wait locks over the runtime's primitives, so that IRQL, lock order and
// blocking calls are checked by the verifier and contention is a scheduling point.
#include <optional>

#include "ddi.h"
#include "ddi_support.h"
#include "vel/runtime/faults.h"

namespace vel::wdf {

namespace {

// The runtime lock is made once the object has its handle: the handle names it for the
// verifier, and lock-order bookkeeping treats equally named locks as one class.
class SpinLockObject : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::SpinLock;
    explicit SpinLockObject(Binding& binding) : Object(kType, binding) {}

    void name() { lock_.emplace(describe()); }
    rt::SpinLock& lock() { return *lock_; }

  private:
    std::optional<rt::SpinLock> lock_;
};

// A wait lock is an auto-reset event: whoever consumes the signal owns the lock; release
// signals it again. Not recursive.
class WaitLockObject : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::WaitLock;
    explicit WaitLockObject(Binding& binding) : Object(kType, binding) {}

    void name() { event_.emplace(rt::Event::Type::AutoReset, true, describe()); }
    rt::Event& event() { return *event_; }

  private:
    std::optional<rt::Event> event_;
};

template <typename T>
NTSTATUS createLock(PWDF_DRIVER_GLOBALS globals, const char* call, const char* fault,
                    PWDF_OBJECT_ATTRIBUTES attributes, T** created) {
    Binding* binding = callerBinding(globals, call);
    if (binding == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = validateAttributes(attributes); !NT_SUCCESS(status)) {
        return status;
    }
    Object* parent = nullptr;
    if (NTSTATUS status = resolveParent(*binding, attributes, false, &parent);
        !NT_SUCCESS(status)) {
        return status;
    }
    if (injectFault(fault)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Object* published = nullptr;
    if (NTSTATUS status = publish(std::make_unique<T>(*binding), attributes, parent, &published);
        !NT_SUCCESS(status)) {
        return status;
    }
    *created = static_cast<T*>(published);
    (*created)->name();
    return STATUS_SUCCESS;
}

// Ticks from now until a KMDF timeout expires: negative values are relative, positive ones
// absolute system time.
rt::Ticks relativeTimeout(LONGLONG timeout) {
    if (timeout < 0) {
        return -timeout;
    }
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return timeout > now.QuadPart ? timeout - now.QuadPart : 0;
}

}  // namespace

namespace ddi {

NTSTATUS WdfSpinLockCreate(PWDF_DRIVER_GLOBALS DriverGlobals,
                           PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock) {
    if (SpinLock == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *SpinLock = nullptr;
    SpinLockObject* lock = nullptr;
    NTSTATUS status = createLock(DriverGlobals, "WdfSpinLockCreate", rt::fault::kSpinLockCreate,
                                 SpinLockAttributes, &lock);
    if (NT_SUCCESS(status)) {
        *SpinLock = static_cast<WDFSPINLOCK>(lock->handle());
    }
    return status;
}

VOID WdfSpinLockAcquire(PWDF_DRIVER_GLOBALS DriverGlobals, WDFSPINLOCK SpinLock) {
    if (auto* lock = lookup<SpinLockObject>(SpinLock, "WdfSpinLockAcquire")) {
        lock->lock().acquire();
    }
}

VOID WdfSpinLockRelease(PWDF_DRIVER_GLOBALS DriverGlobals, WDFSPINLOCK SpinLock) {
    if (auto* lock = lookup<SpinLockObject>(SpinLock, "WdfSpinLockRelease")) {
        lock->lock().release();
    }
}

NTSTATUS WdfWaitLockCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PWDF_OBJECT_ATTRIBUTES LockAttributes,
                           WDFWAITLOCK* Lock) {
    if (Lock == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Lock = nullptr;
    WaitLockObject* lock = nullptr;
    NTSTATUS status = createLock(DriverGlobals, "WdfWaitLockCreate", rt::fault::kWaitLockCreate,
                                 LockAttributes, &lock);
    if (NT_SUCCESS(status)) {
        *Lock = static_cast<WDFWAITLOCK>(lock->handle());
    }
    return status;
}

// A zero timeout is a try-acquire, allowed up to dispatch level. Anything else is a blocking
// call: above passive level it is reported and degrades to a try-acquire, so that the faulty
// driver keeps running instead of blocking a dispatch context. STATUS_TIMEOUT (a success code)
// when the lock was not obtained.
NTSTATUS WdfWaitLockAcquire(PWDF_DRIVER_GLOBALS DriverGlobals, WDFWAITLOCK Lock,
                            PLONGLONG Timeout) {
    auto* lock = lookup<WaitLockObject>(Lock, "WdfWaitLockAcquire");
    if (lock == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Timeout != nullptr && *Timeout == 0) {
        return lock->event().tryWait() ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }
    if (rt::currentIrql() != rt::Irql::Passive) {
        frameworkState().runtime.verifier().checkBlockingCall("WdfWaitLockAcquire on " +
                                                              lock->describe());
        return lock->event().tryWait() ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }
    if (Timeout == nullptr) {
        lock->event().wait();
        return STATUS_SUCCESS;
    }
    return lock->event().wait(relativeTimeout(*Timeout)) ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

VOID WdfWaitLockRelease(PWDF_DRIVER_GLOBALS DriverGlobals, WDFWAITLOCK Lock) {
    if (auto* lock = lookup<WaitLockObject>(Lock, "WdfWaitLockRelease")) {
        lock->event().set();
    }
}

}  // namespace ddi
}  // namespace vel::wdf
