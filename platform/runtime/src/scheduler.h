// The scheduler: creates and tracks contexts and blocks them until what they wait for is
// ready. Simulated, it passes a single baton between contexts, choosing with a seeded PRNG at
// each scheduling point, advances the virtual clock when every context waits, and reports a
// deadlock when nothing can ever run again. In wall time contexts run in parallel and waits
// use a condition variable.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "clock.h"
#include "context.h"
#include "deferred.h"
#include "prng.h"

namespace vel::rt {

class TraceLog;
class Verifier;

class Scheduler {
  public:
    Scheduler(Mode mode, uint64_t seed, Clock& clock, DeferredQueues& queues, TraceLog& trace,
              Verifier& verifier);
    ~Scheduler();  // joins the threads of spawned contexts
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    Mode mode() const { return mode_; }
    Ticks now() const { return clock_.now(); }

    // Registers the calling thread as a context. Simulated runs allow it once, for the thread
    // that creates the runtime, which then holds the baton.
    ContextImpl& attach(Runtime& runtime, std::string name, ContextKind kind);
    // The attached thread leaves (marked finished).
    void detach(ContextImpl& context);
    ContextImpl& spawn(Runtime& runtime, std::string name, ContextKind kind, bool worker,
                       std::function<void()> body);

    // A scheduling point (simulated; nothing in wall time).
    void point();
    // Blocks the calling context until wait.ready() holds or the deadline passes. May return
    // early; callers re-check their condition and block again.
    void block(Wait wait);
    // Something a waiter may test has changed (wall time wakes the waiters to re-check;
    // simulated runs re-check at every scheduling point anyway).
    void changed();

    void join(ContextImpl& context);
    // Blocks until every spawned context for which `select` holds has finished.
    void joinAll(const std::function<bool(const ContextImpl&)>& select);
    Ticks runUntilIdle(Ticks limit);

    bool finished(const ContextImpl& context) const;
    std::string waitingFor(const ContextImpl& context) const;

  private:
    using Lock = std::unique_lock<std::mutex>;

    void run(ContextImpl& context, const std::function<void()>& body);
    void finish(ContextImpl& context);
    // Simulated: passes the baton to the next context and returns when `self` holds it again
    // (at once when `self` has finished).
    void switchAway(Lock& lock, ContextImpl& self);
    ContextImpl* pickNext(Lock& lock);
    void wakeReady();
    std::optional<Ticks> earliestDeadline() const;
    [[noreturn]] void reportDeadlock(Lock& lock);

    const Mode mode_;
    Clock& clock_;
    DeferredQueues& queues_;
    TraceLog& trace_;
    Verifier& verifier_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;                     // wall time: any waiter may re-check
    std::vector<std::unique_ptr<ContextImpl>> contexts_;  // creation order: the PRNG's domain
    ContextImpl* running_ = nullptr;                      // simulated: the baton holder
    SplitMix64 prng_;
};

}  // namespace vel::rt
