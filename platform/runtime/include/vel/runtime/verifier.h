// The verifier: checks the rules a driver verifier checks and records each violation with the
// rule, the object and the context. Platform components call the check*/note* entry points;
// tests read and clear the violations (a test fixture fails any test that leaves one behind).
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <memory>
#include <vector>

namespace vel::rt {

enum class Rule {
    BlockingAtDispatch,       // a blocking call or wait-lock acquisition at dispatch level
    BlockingWithSpinLock,     // a blocking call while a spin lock is held
    SpinLockOrder,            // spin locks taken against an order seen before or declared
    SpinLockRecursion,        // a spin lock acquired again by its owner
    SpinLockNotOwner,         // released by a context that does not hold it
    UseAfterDelete,           // a handle used after its object was deleted
    InvalidHandle,            // a value that never was a handle of that type
    ReferenceLeak,            // references (or objects) left at unload/teardown
    RequestCompletedTwice,
    RequestCompletedAfterForward,
    RequestOwnedAtRemoval,
    CompletedWithSpinLock,    // a request completed while a spin lock is held
    AcknowledgedTwice,
    ContractViolation,        // any other framework rule (the message says which)
    Deadlock,
};

const char* toString(Rule rule);

struct Violation {
    Rule rule;
    std::string object;   // which object, e.g. "WDFSPINLOCK 0x1c01 (ReadSyncSpinLock)"
    std::string context;  // which context, e.g. "dispatch-0 @ DISPATCH_LEVEL"
    std::string message;
    std::string toString() const;
};

class Verifier {
public:
    Verifier();
    ~Verifier();

    // Record a violation. `object` names the object; the current context is filled in.
    void report(Rule rule, std::string object, std::string message);

    std::vector<Violation> violations() const;
    size_t count() const;
    // Returns and clears the recorded violations (tests that expect a violation use this).
    std::vector<Violation> take();
    bool contains(Rule rule) const;

    // Called on every report (the CLI counts and prints; tests may log).
    void setListener(std::function<void(const Violation&)> listener);

    // ----- IRQL and blocking ------------------------------------------------------------------
    // Call at the start of every blocking operation (waits, synchronous sends, delays,
    // wait-lock acquisition without a zero timeout). `what` names the call.
    void checkBlockingCall(const std::string& what);

    // ----- Spin-lock order --------------------------------------------------------------------
    // Locks are identified by an id and a display name. Each context's held stack is tracked;
    // acquiring B while holding A records A->B; a later B->A (directly or through a chain of
    // recorded edges) is a violation. A declared order is recorded the same way up front.
    void noteSpinLockAcquire(uintptr_t lockId, const std::string& name);
    void noteSpinLockRelease(uintptr_t lockId, const std::string& name);
    void declareLockOrder(const std::string& before, const std::string& after);
    size_t spinLocksHeldByCurrentContext() const;
    // Forget lock bookkeeping of a destroyed lock.
    void forgetSpinLock(uintptr_t lockId);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vel::rt
