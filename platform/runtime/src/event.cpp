#include <mutex>

#include "clock.h"
#include "context.h"
#include "scheduler.h"
#include "vel/runtime/runtime.h"
#include "vel/runtime/verifier.h"

namespace vel::rt {

struct Event::Impl {
    Impl(Type t, std::string n, bool s) : type(t), name(std::move(n)), signalled(s) {}

    const Type type;
    const std::string name;
    mutable std::mutex mutex;
    bool signalled;

    bool consume() {
        std::lock_guard lock(mutex);
        if (!signalled) {
            return false;
        }
        if (type == Type::AutoReset) {
            signalled = false;
        }
        return true;
    }

    bool peek() const {
        std::lock_guard lock(mutex);
        return signalled;
    }
};

Event::Event(Type type, bool signalled, std::string name)
    : impl_(std::make_unique<Impl>(type, std::move(name), signalled)) {}

Event::~Event() = default;

void Event::set() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->signalled = true;
    }
    Scheduler& scheduler = hostRuntime().scheduler();
    scheduler.changed();
    scheduler.point();
}

void Event::reset() {
    std::lock_guard lock(impl_->mutex);
    impl_->signalled = false;
}

bool Event::isSet() const {
    return impl_->peek();
}

bool Event::tryWait() {
    return impl_->consume();
}

bool Event::wait(std::optional<Ticks> timeout) {
    Runtime& runtime = hostRuntime();
    Scheduler& scheduler = runtime.scheduler();
    std::string site = "event \"" + impl_->name + "\"";
    // A zero timeout is a poll, allowed at any level.
    bool poll = timeout && *timeout <= 0;
    if (!poll) {
        runtime.verifier().checkBlockingCall("wait on " + site);
    }
    scheduler.point();
    if (poll) {
        return impl_->consume();
    }
    std::optional<Ticks> deadline;
    if (timeout) {
        deadline = deadlineAfter(runtime.now(), *timeout);
    }
    for (;;) {
        if (impl_->consume()) {
            return true;
        }
        if (deadline && runtime.now() >= *deadline) {
            return false;
        }
        scheduler.block(Wait{WaitSite{site}, [this] { return impl_->peek(); }, deadline});
    }
}

}  // namespace vel::rt
