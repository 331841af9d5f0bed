#include "vel/runtime/verifier.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "context.h"

namespace vel::rt {

namespace {

std::string describeCaller() {
    ContextImpl* context = threadContext();
    if (context == nullptr) {
        return "(not a context)";
    }
    return context->name() + " @ " + toString(context->irql());
}

std::string spinLockObject(const std::string& name) {
    return "spin lock \"" + name + "\"";
}

struct HeldLock {
    uintptr_t id;
    std::string name;
};

}  // namespace

std::string Violation::toString() const {
    return std::string(rt::toString(rule)) + ": " + object + " [" + context + "] " + message;
}

struct Verifier::Impl {
    mutable std::mutex mutex;
    std::vector<Violation> violations;
    std::function<void(const Violation&)> listener;
    // Spin locks held, per context (or bare thread), in acquisition order.
    std::map<const void*, std::vector<HeldLock>> held;
    // Lock order by lock name: an edge a -> b means b was taken (or declared) while a was held,
    // so one class of lock shared by many devices has one order.
    std::map<std::string, std::set<std::string>> order;

    // Whether a chain of order edges leads from `from` to `to`. Caller holds `mutex`.
    bool reaches(const std::string& from, const std::string& to) const {
        std::vector<const std::string*> pending{&from};
        std::set<std::string> seen{from};
        while (!pending.empty()) {
            const std::string* name = pending.back();
            pending.pop_back();
            if (*name == to) {
                return true;
            }
            auto edges = order.find(*name);
            if (edges == order.end()) {
                continue;
            }
            for (const std::string& next : edges->second) {
                if (seen.insert(next).second) {
                    pending.push_back(&next);
                }
            }
        }
        return false;
    }
};

Verifier::Verifier() : impl_(std::make_unique<Impl>()) {}

Verifier::~Verifier() = default;

void Verifier::report(Rule rule, std::string object, std::string message) {
    Violation violation{rule, std::move(object), describeCaller(), std::move(message)};
    std::function<void(const Violation&)> listener;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->violations.push_back(violation);
        listener = impl_->listener;
    }
    // Outside the lock: a listener may report or read violations itself.
    if (listener) {
        listener(violation);
    }
}

std::vector<Violation> Verifier::violations() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->violations;
}

size_t Verifier::count() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->violations.size();
}

std::vector<Violation> Verifier::take() {
    std::lock_guard lock(impl_->mutex);
    return std::exchange(impl_->violations, {});
}

bool Verifier::contains(Rule rule) const {
    std::lock_guard lock(impl_->mutex);
    return std::any_of(impl_->violations.begin(), impl_->violations.end(),
                       [rule](const Violation& v) { return v.rule == rule; });
}

void Verifier::setListener(std::function<void(const Violation&)> listener) {
    std::lock_guard lock(impl_->mutex);
    impl_->listener = std::move(listener);
}

void Verifier::checkBlockingCall(const std::string& what) {
    std::string held;
    {
        std::lock_guard lock(impl_->mutex);
        auto it = impl_->held.find(callerIdentity());
        if (it != impl_->held.end()) {
            for (const HeldLock& lock : it->second) {
                held += (held.empty() ? "" : ", ") + spinLockObject(lock.name);
            }
        }
    }
    // Holding a spin lock implies dispatch level; the spin lock is the more telling fault.
    if (!held.empty()) {
        report(Rule::BlockingWithSpinLock, what, "blocking call while holding " + held);
    } else if (currentIrql() >= Irql::Dispatch) {
        report(Rule::BlockingAtDispatch, what,
               std::string("blocking call at ") + toString(currentIrql()));
    }
}

void Verifier::noteSpinLockAcquire(uintptr_t lockId, const std::string& name) {
    std::vector<std::pair<Rule, std::string>> found;
    {
        std::lock_guard lock(impl_->mutex);
        std::vector<HeldLock>& held = impl_->held[callerIdentity()];
        if (std::any_of(held.begin(), held.end(), [&](auto& h) { return h.id == lockId; })) {
            found.emplace_back(Rule::SpinLockRecursion, "acquired again by the context holding it");
        } else {
            for (const HeldLock& outer : held) {
                // Two locks of one class carry no order between them.
                if (outer.name == name) {
                    continue;
                }
                if (impl_->reaches(name, outer.name)) {
                    found.emplace_back(Rule::SpinLockOrder,
                                       "acquired while holding " + spinLockObject(outer.name) +
                                           ", against the order " + spinLockObject(name) +
                                           " before " + spinLockObject(outer.name));
                } else {
                    impl_->order[outer.name].insert(name);
                }
            }
            held.push_back(HeldLock{lockId, name});
        }
    }
    for (auto& [rule, message] : found) {
        report(rule, spinLockObject(name), message);
    }
}

void Verifier::noteSpinLockRelease(uintptr_t lockId, const std::string& name) {
    bool owned;
    {
        std::lock_guard lock(impl_->mutex);
        std::vector<HeldLock>& held = impl_->held[callerIdentity()];
        auto it = std::find_if(held.begin(), held.end(), [&](auto& h) { return h.id == lockId; });
        owned = it != held.end();
        if (owned) {
            held.erase(it);
        }
    }
    if (!owned) {
        report(Rule::SpinLockNotOwner, spinLockObject(name),
               "released by a context that does not hold it");
    }
}

void Verifier::declareLockOrder(const std::string& before, const std::string& after) {
    std::lock_guard lock(impl_->mutex);
    impl_->order[before].insert(after);
}

size_t Verifier::spinLocksHeldByCurrentContext() const {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->held.find(callerIdentity());
    return it == impl_->held.end() ? 0 : it->second.size();
}

void Verifier::forgetSpinLock(uintptr_t lockId) {
    std::lock_guard lock(impl_->mutex);
    for (auto& [owner, held] : impl_->held) {
        std::erase_if(held, [lockId](const HeldLock& h) { return h.id == lockId; });
    }
}

}  // namespace vel::rt
