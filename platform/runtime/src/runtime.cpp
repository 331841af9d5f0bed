#include "vel/runtime/runtime.h"

#include <algorithm>
#include <mutex>

#include "clock.h"
#include "context.h"
#include "deferred.h"
#include "scheduler.h"
#include "vel/runtime/faults.h"
#include "vel/runtime/trace.h"
#include "vel/runtime/verifier.h"

namespace vel::rt {

namespace {

// The live runtimes, innermost last.
std::mutex liveMutex;
std::vector<Runtime*> live;

}  // namespace

struct Runtime::Impl {
    explicit Impl(Options opts)
        : options(opts),
          clock(opts.mode),
          trace([this] { return clock.now(); }),
          faults(opts.seed),
          scheduler(opts.mode, opts.seed, clock, queues, trace, verifier) {}

    void dispatchWorker();
    void systemWorker();
    // Runs one DPC or work item on the calling worker and checks it left the worker as found.
    void runDeferred(DeferredQueues::Routine routine, Irql level, const char* what);

    Options options;
    Clock clock;
    TraceLog trace;
    Verifier verifier;
    FaultInjector faults;
    DeferredQueues queues;
    Scheduler scheduler;
    ContextImpl* main = nullptr;
    ContextImpl* previousThreadContext = nullptr;
};

void Runtime::Impl::dispatchWorker() {
    for (;;) {
        queues.fireDue(clock.now());
        if (auto dpc = queues.takeDpc()) {
            runDeferred(std::move(*dpc), Irql::Dispatch, "DPC");
            continue;
        }
        if (queues.stopping()) {
            return;
        }
        // Wall time: wake when the next timer is due to fire it, and re-plan when the armed
        // timers change meanwhile; a simulated run fires timers itself as it moves the clock.
        const bool wall = options.mode == Mode::WallTime;
        std::optional<Ticks> due = wall ? queues.earliestDue() : std::nullopt;
        scheduler.block(Wait{WaitSite{"DPCs"},
                             [this, wall, due] {
                                 return queues.hasDpc() || queues.stopping() ||
                                        (wall && queues.earliestDue() != due);
                             },
                             due, WaitKind::WorkerIdle});
    }
}

void Runtime::Impl::systemWorker() {
    for (;;) {
        if (auto work = queues.takeWork()) {
            runDeferred(std::move(*work), Irql::Passive, "work item");
            continue;
        }
        if (queues.stopping()) {
            return;
        }
        scheduler.block(Wait{WaitSite{"work items"},
                             [this] { return queues.hasWork() || queues.stopping(); }, std::nullopt,
                             WaitKind::WorkerIdle});
    }
}

void Runtime::Impl::runDeferred(DeferredQueues::Routine routine, Irql level, const char* what) {
    routine();
    routine = nullptr;  // release what it captured before the item counts as done
    ContextImpl& self = *threadContext();
    if (self.irql() != level) {
        verifier.report(
            Rule::ContractViolation, what,
            std::string("returned at ") + toString(self.irql()) + " instead of " + toString(level));
        self.setIrql(level);
    }
    if (size_t held = verifier.spinLocksHeldByCurrentContext(); held != 0) {
        verifier.report(Rule::ContractViolation, what,
                        "returned holding " + std::to_string(held) + " spin lock(s)");
    }
    queues.done();
    scheduler.changed();
}

Runtime::Runtime(Options options) : impl_(std::make_unique<Impl>(options)) {
    {
        std::lock_guard lock(liveMutex);
        live.push_back(this);
    }
    Impl& impl = *impl_;
    impl.main = &impl.scheduler.attach(*this, "main", ContextKind::Application);
    impl.previousThreadContext = setThreadContext(impl.main);
    // At least one worker of each kind, so that queued work always has a taker.
    for (unsigned i = 0; i < std::max(1u, options.dispatchWorkers); ++i) {
        impl.scheduler.spawn(*this, "dispatch-" + std::to_string(i), ContextKind::Dispatch, true,
                             [&impl] { impl.dispatchWorker(); });
    }
    for (unsigned i = 0; i < std::max(1u, options.systemWorkers); ++i) {
        impl.scheduler.spawn(*this, "worker-" + std::to_string(i), ContextKind::SystemWorker, true,
                             [&impl] { impl.systemWorker(); });
    }
}

Runtime::~Runtime() {
    Impl& impl = *impl_;
    impl.scheduler.joinAll(
        [&impl](const ContextImpl& c) { return !c.worker() && &c != impl.main; });
    impl.scheduler.runUntilIdle(impl.clock.now());
    impl.queues.stop();
    impl.scheduler.changed();
    impl.scheduler.joinAll([](const ContextImpl& c) { return c.worker(); });
    impl.scheduler.detach(*impl.main);
    setThreadContext(impl.previousThreadContext);
    {
        std::lock_guard lock(liveMutex);
        std::erase(live, this);
    }
    impl_.reset();
}

Runtime* Runtime::current() {
    std::lock_guard lock(liveMutex);
    return live.empty() ? nullptr : live.back();
}

Mode Runtime::mode() const {
    return impl_->options.mode;
}

uint64_t Runtime::seed() const {
    return impl_->options.seed;
}

Context& Runtime::spawn(std::string name, ContextKind kind, std::function<void()> body) {
    return impl_->scheduler.spawn(*this, std::move(name), kind, false, std::move(body));
}

void Runtime::join(Context& context) {
    impl_->verifier.checkBlockingCall("join of context \"" + context.name() + "\"");
    impl_->scheduler.join(static_cast<ContextImpl&>(context));
}

Context* Runtime::currentContext() const {
    ContextImpl* context = threadContext();
    return context != nullptr && &context->runtime() == this ? context : nullptr;
}

void Runtime::yield() {
    impl_->scheduler.point();
}

Ticks Runtime::runUntilIdle(Ticks limit) {
    return impl_->scheduler.runUntilIdle(limit);
}

Ticks Runtime::now() const {
    return impl_->clock.now();
}

void Runtime::queueDpc(std::function<void()> routine) {
    impl_->queues.pushDpc(std::move(routine));
    impl_->scheduler.changed();
    impl_->scheduler.point();
}

void Runtime::queueWorkItem(std::function<void()> routine) {
    impl_->queues.pushWork(std::move(routine));
    impl_->scheduler.changed();
    impl_->scheduler.point();
}

Runtime::TimerId Runtime::armTimer(Ticks due, std::function<void()> routine) {
    TimerId id = impl_->queues.arm(due, std::move(routine));
    impl_->scheduler.changed();
    impl_->scheduler.point();
    return id;
}

bool Runtime::cancelTimer(TimerId id) {
    return impl_->queues.cancel(id);
}

Verifier& Runtime::verifier() {
    return impl_->verifier;
}

FaultInjector& Runtime::faults() {
    return impl_->faults;
}

TraceLog& Runtime::trace() {
    return impl_->trace;
}

Scheduler& Runtime::scheduler() {
    return impl_->scheduler;
}

Attachment::Attachment(Runtime& runtime, std::string name, ContextKind kind)
    : runtime_(runtime),
      context_(&runtime.scheduler().attach(runtime, std::move(name), kind)),
      previous_(setThreadContext(static_cast<ContextImpl*>(context_))) {}

Attachment::~Attachment() {
    runtime_.scheduler().detach(static_cast<ContextImpl&>(*context_));
    setThreadContext(static_cast<ContextImpl*>(previous_));
}

Context& Attachment::context() const {
    return *context_;
}

void delay(Ticks interval) {
    Runtime& runtime = hostRuntime();
    runtime.verifier().checkBlockingCall("delay");
    Scheduler& scheduler = runtime.scheduler();
    if (interval <= 0) {
        scheduler.point();
        return;
    }
    Ticks deadline = deadlineAfter(runtime.now(), interval);
    while (runtime.now() < deadline) {
        scheduler.block(
            Wait{WaitSite{"delay until " + std::to_string(deadline)}, nullptr, deadline});
    }
}

}  // namespace vel::rt
