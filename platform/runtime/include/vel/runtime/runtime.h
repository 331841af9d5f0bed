// The runtime: execution contexts at an IRQL, the scheduler (simulated or wall time), the clock,
// deferred execution (DPCs, system work items, kernel timers), and the verifier and fault
// injector that every platform component reports to. One Runtime object owns all mutable state
// of a run; platform code reaches the active one through Runtime::current().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vel::rt {

class Verifier;
class FaultInjector;
class TraceLog;
class Scheduler;

// Time in 100 ns units, as the kernel counts it.
using Ticks = int64_t;
constexpr Ticks kTicksPerUs = 10;
constexpr Ticks kTicksPerMs = 10'000;
constexpr Ticks kTicksPerSec = 10'000'000;

enum class Mode {
    Simulated,  // one context runs at a time; seeded choice at scheduling points; virtual clock
    WallTime,   // contexts run in parallel on real threads with the real clock
};

enum class Irql : uint8_t { Passive = 0, Apc = 1, Dispatch = 2 };

// What a context is for; used in reports and to pick the IRQL it starts at.
enum class ContextKind {
    Application,   // user I/O calls, and a test's own thread
    Pnp,           // PnP/power callbacks, driver entry
    SystemWorker,  // work items (passive)
    Dispatch,      // DPCs: timers, completions, queue callbacks raised to dispatch level
    Device,        // simulated USB device behaviour
};

const char* toString(ContextKind kind);
const char* toString(Irql irql);

class Context;

// A thing a context can wait on, as shown in a deadlock report ("waits for <description>").
struct WaitSite {
    std::string description;
};

class Runtime {
  public:
    struct Options {
        Mode mode = Mode::Simulated;
        uint64_t seed = 1;
        unsigned dispatchWorkers = 2;  // contexts that run DPCs (at least one is started)
        unsigned systemWorkers = 2;    // contexts that run system work items (at least one)
    };

    explicit Runtime(Options options);
    Runtime() : Runtime(Options{}) {}
    // Runs on the constructing thread: waits for every spawned context to end, drains the DPC
    // and work queues (timers not yet due are dropped), then stops and joins the workers.
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    // The runtime installed by the innermost live Runtime object (nullptr when none).
    static Runtime* current();

    Mode mode() const;
    uint64_t seed() const;

    // ----- Contexts -------------------------------------------------------------------------
    // The constructing thread is attached as the Application context "main". Other threads
    // attach for their lifetime with an Attachment (wall time only; simulated runs create
    // contexts with spawn()).
    Context& spawn(std::string name, ContextKind kind, std::function<void()> body);
    void join(Context& context);      // blocks the caller's context until `context` ends
    Context* currentContext() const;  // nullptr on a thread that is not a context

    // A scheduling point: in simulated mode the baton may pass to another runnable context
    // (chosen with the seeded PRNG); in wall time it does nothing.
    void yield();

    // Wait until nothing but the caller can run, no DPC or work item is queued and no timer
    // is due at or before `limit` (simulated: the clock jumps through due timers and timed
    // waits up to `limit`, never past the last one; wall time: blocks until the queues are
    // empty and the workers idle). Returns the clock when quiescent. Tests use it instead of
    // sleeping.
    Ticks runUntilIdle(Ticks limit = INT64_MAX);

    // ----- Clock ----------------------------------------------------------------------------
    Ticks now() const;  // since the runtime started

    // ----- Deferred execution ---------------------------------------------------------------
    // A DPC runs at Dispatch level on one of the dispatch workers; a work item at Passive
    // level on one of the system workers. FIFO per queue.
    void queueDpc(std::function<void()> routine);
    void queueWorkItem(std::function<void()> routine);

    // Kernel timers: the routine runs as a DPC when the clock reaches `due` (absolute ticks).
    using TimerId = uint64_t;
    TimerId armTimer(Ticks due, std::function<void()> routine);
    bool cancelTimer(TimerId id);  // true when it was still pending (the routine will not run)

    // ----- Reporting components -------------------------------------------------------------
    Verifier& verifier();
    FaultInjector& faults();
    TraceLog& trace();

    // The runtime's own primitives (Event, SpinLock, delay) block through it; its definition
    // is internal to the runtime.
    Scheduler& scheduler();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Attaches the calling thread as a context for the attachment's lifetime (wall time only; a
// simulated run creates its contexts with spawn()).
class Attachment {
  public:
    Attachment(Runtime& runtime, std::string name, ContextKind kind = ContextKind::Application);
    ~Attachment();
    Attachment(const Attachment&) = delete;
    Attachment& operator=(const Attachment&) = delete;

    Context& context() const;

  private:
    Runtime& runtime_;
    Context* context_;
    Context* previous_;
};

// An execution context: a thread of driver or platform work with its own IRQL.
class Context {
  public:
    virtual ~Context() = default;
    virtual const std::string& name() const = 0;
    virtual ContextKind kind() const = 0;
    virtual Irql irql() const = 0;
    virtual bool finished() const = 0;
    // What it waits for now, empty when runnable.
    virtual std::string waitingFor() const = 0;
};

// The current context's IRQL (Passive on a thread that is not a context).
Irql currentIrql();
// Raise or lower the current context's IRQL; returns the previous level.
Irql raiseIrql(Irql level);
void lowerIrql(Irql level);

// A kernel event, manual- or auto-reset. Waiting is a blocking call: the verifier checks the
// IRQL and held spin locks first. Works in both modes.
class Event {
  public:
    enum class Type { ManualReset, AutoReset };
    Event(Type type, bool signalled, std::string name = "event");
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    bool isSet() const;
    // Waits until signalled or until the relative timeout (ticks) passes; true when signalled.
    bool wait(std::optional<Ticks> timeout = std::nullopt);
    // Non-blocking attempt (auto-reset: consumes the signal); allowed at any IRQL.
    bool tryWait();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A spin lock: acquiring raises to Dispatch, is a scheduling point, is tracked by the verifier
// (lock order, blocking calls while held) and is never recursive.
class SpinLock {
  public:
    explicit SpinLock(std::string name = "spinlock");
    ~SpinLock();
    SpinLock(const SpinLock&) = delete;
    SpinLock& operator=(const SpinLock&) = delete;

    void acquire();
    void release();
    const std::string& name() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Sleep the current context for `interval` ticks (a blocking call).
void delay(Ticks interval);

}  // namespace vel::rt
