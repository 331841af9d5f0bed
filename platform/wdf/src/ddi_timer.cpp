// Timers: a kernel timer of the runtime whose DPC calls the driver at dispatch level, or queues
// a work item for a passive-level timer.
//
// Every arming gets a token; only the expiry of the current token calls the driver, so a
// start or stop racing with an expiry (arming and queueing are scheduling points) can only
// make that expiry void. Each armed kernel timer and each queued callback holds a reference
// on the timer object, dropped when it runs or is cancelled.

#include "callback_tracker.h"
#include "ddi.h"
#include "ddi_support.h"
#include "deferred_object.h"
#include "vel/runtime/faults.h"

namespace vel::wdf {

namespace {

// The 1.7 layout, before TolerableDelay; a 1.9 framework accepts both sizes.
struct TimerConfigV1_7 {
    ULONG Size;
    PFN_WDF_TIMER EvtTimerFunc;
    ULONG Period;
    BOOLEAN AutomaticSerialization;
};

class Timer : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::Timer;

    Timer(Binding& binding, const WDF_TIMER_CONFIG& config, bool passive, CallbackLock* lock)
        : Object(kType, binding),
          callback_(config.EvtTimerFunc),
          period_(static_cast<rt::Ticks>(config.Period) * rt::kTicksPerMs),
          passive_(passive),
          lock_(lock),
          runtime_(*rt::Runtime::current()),
          callbacks_(std::make_shared<CallbackTracker>("timer callbacks")) {}

    bool start(LONGLONG dueTime) {
        const rt::Ticks due = absoluteDue(dueTime);
        Arm previous;
        uint64_t token;
        {
            std::lock_guard lock(mutex_);
            if (stopWaiters_ > 0 || disposing_) {
                return false;
            }
            previous = current_;
            token = ++tokens_;
            current_ = Arm{token, 0, false};
        }
        const bool wasQueued = cancel(previous);
        arm(token, due);
        return wasQueued;
    }

    // See WdfTimerStop below for the contract.
    bool stop(bool wait) {
        if (wait && callbacks_->calledFromCallback()) {
            reportViolation(rt::Rule::ContractViolation, describe(),
                            "WdfTimerStop with Wait from the timer's own callback");
            return false;
        }
        if (wait && rt::currentIrql() != rt::Irql::Passive) {
            runtime_.verifier().checkBlockingCall("WdfTimerStop(Wait) on " + describe());
            wait = false;
        }
        Arm previous;
        {
            std::lock_guard lock(mutex_);
            previous = current_;
            current_ = Arm{};
            if (wait) {
                ++stopWaiters_;
            }
        }
        const bool cancelled = cancel(previous);
        if (wait) {
            callbacks_->waitIdle();
            std::lock_guard lock(mutex_);
            --stopWaiters_;
        }
        return cancelled;
    }

    Object* parentObject() const { return parent(); }

  protected:
    // Deleting a timer stops it and waits for its callback, except from that callback itself,
    // where the object lives on until the callback returns.
    void onDispose() override {
        {
            std::lock_guard lock(mutex_);
            disposing_ = true;
        }
        if (callbacks_->calledFromCallback()) {
            Arm previous;
            {
                std::lock_guard lock(mutex_);
                previous = current_;
                current_ = Arm{};
            }
            cancel(previous);
            return;
        }
        stop(true);
    }
    bool needsPassiveDispose() const override { return true; }

  private:
    struct Arm {
        uint64_t token = 0;           // 0: not armed
        rt::Runtime::TimerId id = 0;  // 0 until the kernel timer is known
        bool fired = false;
    };

    rt::Ticks absoluteDue(LONGLONG dueTime) const {
        const rt::Ticks now = runtime_.now();
        if (dueTime <= 0) {
            return now - dueTime;
        }
        LARGE_INTEGER system;
        KeQuerySystemTime(&system);
        return now + std::max<LONGLONG>(0, dueTime - system.QuadPart);
    }

    // Cancels a previous arming; true when its kernel timer was still pending.
    bool cancel(const Arm& arm) {
        if (arm.token == 0 || arm.fired || arm.id == 0 || !runtime_.cancelTimer(arm.id)) {
            return false;
        }
        release();
        return true;
    }

    void arm(uint64_t token, rt::Ticks due) {
        addRef();
        const auto id = runtime_.armTimer(due, [this, token] { expire(token); });
        bool stale;
        {
            std::lock_guard lock(mutex_);
            stale = current_.token != token;
            if (!stale && !current_.fired) {
                current_.id = id;
            }
        }
        if (stale && runtime_.cancelTimer(id)) {
            release();
        }
    }

    // The kernel timer's DPC.
    void expire(uint64_t token) {
        bool current;
        bool dropped = false;
        {
            std::lock_guard lock(mutex_);
            current = current_.token == token;
            if (current) {
                if (period_ > 0) {
                    current_.id = 0;
                } else {
                    current_.fired = true;
                }
                // A passive callback still running makes this expiry void.
                dropped = passive_ && passiveBusy_;
                passiveBusy_ = passiveBusy_ || passive_;
            }
        }
        if (!current || dropped) {
            release();
            return;
        }
        if (period_ > 0) {
            arm(token, runtime_.now() + period_);
        }
        callbacks_->add();
        if (!passive_) {
            runCallback();
            finishCallback(callbacks_);
            return;
        }
        runtime_.queueWorkItem([this, tracker = callbacks_] {
            runCallback();
            {
                std::lock_guard lock(mutex_);
                passiveBusy_ = false;
            }
            finishCallback(tracker);
        });
    }

    void runCallback() {
        CallbackTracker::Running running(*callbacks_);
        SerializedScope serialized(lock_);
        callback_(static_cast<WDFTIMER>(handle()));
    }

    // Drops the reference the expiry held (this may free the timer), then reports the callback
    // done.
    void finishCallback(std::shared_ptr<CallbackTracker> tracker) {
        release();
        tracker->done();
    }

    const PFN_WDF_TIMER callback_;
    const rt::Ticks period_;
    const bool passive_;
    CallbackLock* const lock_;
    rt::Runtime& runtime_;
    const std::shared_ptr<CallbackTracker> callbacks_;

    std::mutex mutex_;
    uint64_t tokens_ = 0;
    Arm current_;
    int stopWaiters_ = 0;
    bool passiveBusy_ = false;
    bool disposing_ = false;
};

}  // namespace

namespace ddi {

NTSTATUS WdfTimerCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PWDF_TIMER_CONFIG Config,
                        PWDF_OBJECT_ATTRIBUTES Attributes, WDFTIMER* Timer) {
    Binding* binding = callerBinding(DriverGlobals, "WdfTimerCreate");
    if (binding == nullptr || Config == nullptr || Timer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Timer = nullptr;
    if (Config->Size != sizeof(WDF_TIMER_CONFIG) && Config->Size != sizeof(TimerConfigV1_7)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    WDF_TIMER_CONFIG config{};
    std::memcpy(&config, Config, Config->Size);
    if (config.EvtTimerFunc == nullptr || config.Period > 0x7FFFFFFFu) {
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
    const bool passive = effectiveExecutionLevel(Attributes, parent) == WdfExecutionLevelPassive;
    if (passive && config.Period != 0) {
        return STATUS_NOT_SUPPORTED;
    }
    CallbackLock* lock = config.AutomaticSerialization ? parent->callbackLock() : nullptr;
    if (lock != nullptr && lock->executionLevel() !=
                               (passive ? WdfExecutionLevelPassive : WdfExecutionLevelDispatch)) {
        return STATUS_WDF_INCOMPATIBLE_EXECUTION_LEVEL;
    }
    if (injectFault(rt::fault::kTimerCreate)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Object* published = nullptr;
    NTSTATUS status = publish(std::make_unique<vel::wdf::Timer>(*binding, config, passive, lock),
                              Attributes, parent, &published);
    if (NT_SUCCESS(status)) {
        *Timer = static_cast<WDFTIMER>(published->handle());
    }
    return status;
}

// TRUE when the timer was queued already (it is reset to the new due time). Ignored while a
// stop with wait is in progress or the timer is being deleted.
BOOLEAN WdfTimerStart(PWDF_DRIVER_GLOBALS DriverGlobals, WDFTIMER Timer, LONGLONG DueTime) {
    auto* timer = lookup<vel::wdf::Timer>(Timer, "WdfTimerStart");
    return timer != nullptr && timer->start(DueTime) ? TRUE : FALSE;
}

// TRUE when the timer was still queued (that expiry will not call the driver). With Wait it
// also waits for a running callback; Wait from the timer's own callback is refused (FALSE),
// and Wait above passive level is reported and does not wait.
BOOLEAN WdfTimerStop(PWDF_DRIVER_GLOBALS DriverGlobals, WDFTIMER Timer, BOOLEAN Wait) {
    auto* timer = lookup<vel::wdf::Timer>(Timer, "WdfTimerStop");
    return timer != nullptr && timer->stop(Wait != FALSE) ? TRUE : FALSE;
}

WDFOBJECT WdfTimerGetParentObject(PWDF_DRIVER_GLOBALS DriverGlobals, WDFTIMER Timer) {
    auto* timer = lookup<vel::wdf::Timer>(Timer, "WdfTimerGetParentObject");
    return timer != nullptr && timer->parentObject() != nullptr ? timer->parentObject()->handle()
                                                                : nullptr;
}

}  // namespace ddi
}  // namespace vel::wdf
