#include "scheduler.h"

#include <algorithm>

#include "vel/runtime/trace.h"
#include "vel/runtime/verifier.h"

namespace vel::rt {

Scheduler::Scheduler(Mode mode, uint64_t seed, Clock& clock, DeferredQueues& queues,
                     TraceLog& trace, Verifier& verifier)
    : mode_(mode),
      clock_(clock),
      queues_(queues),
      trace_(trace),
      verifier_(verifier),
      prng_(seed) {}

Scheduler::~Scheduler() {
    for (auto& context : contexts_) {
        if (context->thread.joinable()) {
            context->thread.join();
        }
    }
}

ContextImpl& Scheduler::attach(Runtime& runtime, std::string name, ContextKind kind) {
    Lock lock(mutex_);
    if (mode_ == Mode::Simulated && running_ != nullptr) {
        fatal("a simulated run attaches only the thread that creates it; use spawn()");
    }
    auto& context = contexts_.emplace_back(
        std::make_unique<ContextImpl>(runtime, *this, std::move(name), kind, false));
    if (mode_ == Mode::Simulated) {
        running_ = context.get();
    }
    return *context;
}

void Scheduler::detach(ContextImpl& context) {
    finish(context);
}

ContextImpl& Scheduler::spawn(Runtime& runtime, std::string name, ContextKind kind, bool worker,
                              std::function<void()> body) {
    ContextImpl* context;
    {
        Lock lock(mutex_);
        context = contexts_
                      .emplace_back(std::make_unique<ContextImpl>(runtime, *this, std::move(name),
                                                                  kind, worker))
                      .get();
        trace_.write(TraceCategory::Scheduler, "spawn " + context->name());
        // Simulated: the new thread first waits for the baton, which needs this lock, so
        // starting it here is safe; wall time: it starts running at once.
        context->thread =
            std::thread([this, context, body = std::move(body)] { run(*context, body); });
    }
    point();
    return *context;
}

void Scheduler::run(ContextImpl& context, const std::function<void()>& body) {
    setThreadContext(&context);
    if (mode_ == Mode::Simulated) {
        Lock lock(mutex_);
        context.turn.wait(lock, [&] { return running_ == &context; });
    }
    body();
    finish(context);
}

void Scheduler::finish(ContextImpl& context) {
    Lock lock(mutex_);
    context.state = RunState::Finished;
    trace_.write(TraceCategory::Scheduler, "finish " + context.name());
    if (mode_ == Mode::Simulated) {
        switchAway(lock, context);
    } else {
        changed_.notify_all();
    }
}

void Scheduler::point() {
    if (mode_ != Mode::Simulated) {
        return;
    }
    ContextImpl* self = threadContext();
    if (self == nullptr) {
        return;
    }
    Lock lock(mutex_);
    switchAway(lock, *self);
}

void Scheduler::block(Wait wait) {
    ContextImpl* self = threadContext();
    Lock lock(mutex_);
    if (mode_ == Mode::WallTime) {
        if (wait.ready && wait.ready()) {
            return;
        }
        std::optional<Ticks> deadline = wait.deadline;
        if (self != nullptr) {
            self->state = RunState::Blocked;
            self->wait = std::move(wait);
        }
        if (deadline) {
            changed_.wait_until(lock, clock_.realTime(*deadline));
        } else {
            changed_.wait(lock);
        }
        if (self != nullptr) {
            self->state = RunState::Runnable;
            self->wait = Wait{};
        }
        return;
    }
    if (self == nullptr || running_ != self) {
        fatal("a simulated wait was made by a thread that does not hold the baton");
    }
    self->state = RunState::Blocked;
    self->wait = std::move(wait);
    switchAway(lock, *self);
    self->wait = Wait{};
}

void Scheduler::changed() {
    if (mode_ != Mode::WallTime) {
        return;
    }
    // Taking the lock orders this notification after any waiter's check of its condition.
    { Lock lock(mutex_); }
    changed_.notify_all();
}

void Scheduler::join(ContextImpl& context) {
    while (!finished(context)) {
        block(Wait{.site = WaitSite{"context \"" + context.name() + "\" to finish"},
                   .ready = [&context] { return context.state == RunState::Finished; }});
    }
}

void Scheduler::joinAll(const std::function<bool(const ContextImpl&)>& select) {
    auto allFinished = [this, &select] {
        return std::all_of(contexts_.begin(), contexts_.end(), [&](const auto& context) {
            return !select(*context) || context->state == RunState::Finished;
        });
    };
    for (;;) {
        {
            Lock lock(mutex_);
            if (allFinished()) {
                return;
            }
        }
        block(Wait{.site = WaitSite{"spawned contexts to finish"}, .ready = allFinished});
    }
}

Ticks Scheduler::runUntilIdle(Ticks limit) {
    if (mode_ == Mode::WallTime) {
        while (!queues_.quiet(limit)) {
            block(Wait{WaitSite{"the runtime to become idle"},
                       [this, limit] { return queues_.quiet(limit); }, queues_.earliestDue()});
        }
        return clock_.now();
    }
    ContextImpl* self = threadContext();
    Lock lock(mutex_);
    if (self == nullptr || running_ != self) {
        fatal("runUntilIdle() was called by a thread that does not hold the baton");
    }
    self->state = RunState::Blocked;
    self->wait = Wait{WaitSite{"the runtime to become idle"}, nullptr, std::nullopt,
                      WaitKind::RunUntilIdle, limit};
    switchAway(lock, *self);
    self->wait = Wait{};
    return clock_.now();
}

bool Scheduler::finished(const ContextImpl& context) const {
    Lock lock(mutex_);
    return context.state == RunState::Finished;
}

std::string Scheduler::waitingFor(const ContextImpl& context) const {
    Lock lock(mutex_);
    return context.state == RunState::Blocked ? context.wait.site.description : std::string();
}

void Scheduler::switchAway(Lock& lock, ContextImpl& self) {
    ContextImpl* next = pickNext(lock);
    if (next != &self) {
        if (next != nullptr) {
            trace_.write(TraceCategory::Scheduler, "switch to " + next->name());
        }
        running_ = next;
        if (next != nullptr) {
            next->turn.notify_one();
        }
    }
    if (self.state == RunState::Finished) {
        return;
    }
    self.turn.wait(lock, [&] { return running_ == &self; });
}

ContextImpl* Scheduler::pickNext(Lock& lock) {
    // Every pass either returns, wakes a runUntilIdle() caller or moves the clock forward.
    for (;;) {
        queues_.fireDue(clock_.now());
        wakeReady();
        std::vector<ContextImpl*> runnable;
        for (auto& context : contexts_) {
            if (context->state == RunState::Runnable) {
                runnable.push_back(context.get());
            }
        }
        if (runnable.size() == 1) {
            return runnable.front();
        }
        if (!runnable.empty()) {
            return runnable[prng_.below(runnable.size())];
        }

        std::optional<Ticks> deadline = earliestDeadline();
        bool woke = false;
        for (auto& context : contexts_) {
            if (context->state == RunState::Blocked &&
                context->wait.kind == WaitKind::RunUntilIdle &&
                (!deadline || *deadline > context->wait.limit)) {
                context->state = RunState::Runnable;
                woke = true;
            }
        }
        if (woke) {
            continue;
        }
        if (deadline) {
            clock_.advanceTo(*deadline);
            trace_.write(TraceCategory::Scheduler, "clock jumps to " + std::to_string(*deadline));
            continue;
        }
        bool onlyIdleWorkers = std::all_of(contexts_.begin(), contexts_.end(), [](auto& c) {
            return c->state == RunState::Finished ||
                   (c->state == RunState::Blocked && c->wait.kind == WaitKind::WorkerIdle);
        });
        if (onlyIdleWorkers) {
            return nullptr;
        }
        reportDeadlock(lock);
    }
}

void Scheduler::wakeReady() {
    Ticks now = clock_.now();
    for (auto& context : contexts_) {
        if (context->state != RunState::Blocked || context->wait.kind == WaitKind::RunUntilIdle) {
            continue;
        }
        const Wait& wait = context->wait;
        if ((wait.deadline && *wait.deadline <= now) || (wait.ready && wait.ready())) {
            context->state = RunState::Runnable;
        }
    }
}

std::optional<Ticks> Scheduler::earliestDeadline() const {
    std::optional<Ticks> earliest = queues_.earliestDue();
    for (auto& context : contexts_) {
        const Wait& wait = context->wait;
        if (context->state == RunState::Blocked && wait.kind != WaitKind::RunUntilIdle &&
            wait.deadline && (!earliest || *wait.deadline < *earliest)) {
            earliest = wait.deadline;
        }
    }
    return earliest;
}

void Scheduler::reportDeadlock(Lock& lock) {
    std::string report = "deadlock: every context waits and no timer is pending\n";
    for (auto& context : contexts_) {
        if (context->state == RunState::Finished) {
            continue;
        }
        report += "  " + context->name() + " (" + toString(context->kind()) + ", " +
                  toString(context->irql()) + ") ";
        if (context->wait.kind == WaitKind::WorkerIdle) {
            report += "idle, waits for " + context->wait.site.description + "\n";
        } else {
            report += "waits for " + context->wait.site.description + "\n";
        }
    }
    lock.unlock();
    verifier_.report(Rule::Deadlock, "runtime", report);
    fatal(report);
}

}  // namespace vel::rt
