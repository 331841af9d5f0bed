// A context as the scheduler keeps it, what it waits for, and the calling thread's context.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <optional>
#include <thread>

#include "vel/runtime/runtime.h"

namespace vel::rt {

enum class WaitKind {
    Blocking,      // a driver-visible wait (event, spin lock, delay, join)
    WorkerIdle,    // a worker waiting for work; never part of a deadlock
    RunUntilIdle,  // runUntilIdle(): woken when nothing else can run before `limit`
};

struct Wait {
    WaitSite site = {};
    std::function<bool()> ready = nullptr;         // evaluated with the scheduler's lock held
    std::optional<Ticks> deadline = std::nullopt;  // absolute; the wait ends when it is reached
    WaitKind kind = WaitKind::Blocking;
    Ticks limit = 0;  // RunUntilIdle only
};

enum class RunState { Runnable, Blocked, Finished };

class ContextImpl final : public Context {
  public:
    ContextImpl(Runtime& runtime, Scheduler& scheduler, std::string name, ContextKind kind,
                bool worker);

    const std::string& name() const override { return name_; }
    ContextKind kind() const override { return kind_; }
    Irql irql() const override { return irql_.load(std::memory_order_relaxed); }
    bool finished() const override;
    std::string waitingFor() const override;

    void setIrql(Irql level) { irql_.store(level, std::memory_order_relaxed); }
    Runtime& runtime() const { return runtime_; }
    bool worker() const { return worker_; }

    // Owned by the scheduler and guarded by its lock.
    RunState state = RunState::Runnable;
    Wait wait;
    std::condition_variable turn;  // simulated: notified when this context gets the baton
    std::thread thread;            // empty for attached threads

  private:
    Runtime& runtime_;
    Scheduler& scheduler_;
    std::string name_;
    ContextKind kind_;
    bool worker_;
    std::atomic<Irql> irql_;
};

// The calling thread's context (nullptr when the thread is not one).
ContextImpl* threadContext();
// Installs `context` for the calling thread; returns the one it replaces.
ContextImpl* setThreadContext(ContextImpl* context);
// Who holds spin locks: the calling context, or the bare thread when it is not one.
const void* callerIdentity();

// The runtime the caller works for: its context's, else the innermost live one. The first
// aborts when there is none; the second returns nullptr.
Runtime& hostRuntime();
Runtime* callerRuntime();

[[noreturn]] void fatal(const std::string& message);

}  // namespace vel::rt
