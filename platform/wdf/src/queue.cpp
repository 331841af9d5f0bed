#include "queue.h"

#include <algorithm>

#include "deferred_object.h"
#include "device.h"
#include "framework_state.h"
#include "io_package_impl.h"
#include "request.h"

namespace vel::wdf {

namespace {

const rt::Context* currentContext() {
    rt::Runtime* runtime = rt::Runtime::current();
    return runtime != nullptr ? runtime->currentContext() : nullptr;
}

bool zeroLengthTransfer(const IRP* irp) {
    const IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(const_cast<IRP*>(irp));
    return (stack->MajorFunction == IRP_MJ_READ && stack->Parameters.Read.Length == 0) ||
           (stack->MajorFunction == IRP_MJ_WRITE && stack->Parameters.Write.Length == 0);
}

void erase(std::vector<Request*>& list, Request* request) {
    list.erase(std::remove(list.begin(), list.end(), request), list.end());
}

}  // namespace

// One piece of the loop's work, taken under the mutex and done outside it.
struct Queue::Work {
    enum class Kind {
        None,
        Present,
        Cancel,
        CanceledOnQueue,
        Stop,
        Resume,
        IdleCallback,
        ReadyNotify
    } kind = Kind::None;
    Request* request = nullptr;
    ULONG flags = 0;
    PFN_WDF_IO_QUEUE_STATE idleCallback = nullptr;
    WDFCONTEXT idleContext = nullptr;
    bool underLock = true;
};

Queue::Queue(Binding& binding, Device& device, const WDF_IO_QUEUE_CONFIG& config, bool powerManaged,
             bool poweredOn, WDF_SYNCHRONIZATION_SCOPE scope, WDF_EXECUTION_LEVEL level)
    : Object(kType, binding),
      device_(device),
      config_(config),
      powerManaged_(powerManaged),
      passive_(level == WdfExecutionLevelPassive),
      poweredOn_(poweredOn || !powerManaged),
      runtime_(*rt::Runtime::current()) {
    if (scope == WdfSynchronizationScopeQueue) {
        ownLock_ = std::make_unique<DeviceCallbackLock>(level, "queue callback lock");
        lock_ = ownLock_.get();
    } else if (scope == WdfSynchronizationScopeDevice) {
        lock_ = &device.deviceCallbackLock();
    } else {
        lock_ = nullptr;
    }
}

Queue::~Queue() = default;

CallbackLock* Queue::callbackLock() {
    return lock_;
}

bool Queue::handles(UCHAR major) const {
    if (config_.DispatchType == WdfIoQueueDispatchManual || config_.EvtIoDefault != nullptr) {
        return true;
    }
    switch (major) {
        case IRP_MJ_READ:
            return config_.EvtIoRead != nullptr;
        case IRP_MJ_WRITE:
            return config_.EvtIoWrite != nullptr;
        case IRP_MJ_DEVICE_CONTROL:
            return config_.EvtIoDeviceControl != nullptr;
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            return config_.EvtIoInternalDeviceControl != nullptr;
        default:
            return false;
    }
}

bool Queue::accepting() const {
    std::lock_guard lock(mutex_);
    return accept_;
}

// ----- Arrival ----------------------------------------------------------------------------------

bool Queue::installCancelRoutine(Request& request) {
    IRP* irp = request.irp();
    irp->Tail.Overlay.DriverContext[3] = &request;
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP cancelled) {
        IoReleaseCancelSpinLock(cancelled->CancelIrql);
        auto* r = static_cast<Request*>(cancelled->Tail.Overlay.DriverContext[3]);
        r->queue.load()->irpCancelled(*r);
    });
    // Cancelled before the routine was in place: take it back and answer it here.
    return !(cancelFlagSet(irp) && IoSetCancelRoutine(irp, nullptr) != nullptr);
}

bool Queue::enqueue(Request& request, bool front) {
    if (!config_.AllowZeroLengthRequests && zeroLengthTransfer(request.irp())) {
        request.completeByFramework(STATUS_SUCCESS);
        return true;
    }
    {
        std::lock_guard lock(mutex_);
        if (!accept_) {
            return false;
        }
        request.queue = this;
        waitLocked(request, front);
    }
    if (!installCancelRoutine(request)) {
        {
            std::lock_guard lock(mutex_);
            waiting_.erase(std::find(waiting_.begin(), waiting_.end(), &request));
        }
        cancelWaiting({&request});
    }
    run();
    return true;
}

NTSTATUS Queue::retrieveNext(Request** out) {
    *out = nullptr;
    if (config_.DispatchType == WdfIoQueueDispatchParallel) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::lock_guard lock(mutex_);
    if (!dispatch_ || !poweredOn_) {
        return STATUS_WDF_PAUSED;
    }
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
        Request* request = *it;
        if (IoSetCancelRoutine(request->irp(), nullptr) == nullptr) {
            continue;  // being cancelled; the cancel routine takes it out
        }
        waiting_.erase(it);
        request->owner = Request::Owner::Driver;
        request->presented = true;
        owned_.push_back(request);
        *out = request;
        return STATUS_SUCCESS;
    }
    return STATUS_NO_MORE_ENTRIES;
}

// ----- The driver's requests --------------------------------------------------------------------

bool Queue::ownedLocked(const Request& request) const {
    return std::find(owned_.begin(), owned_.end(), &request) != owned_.end();
}

void Queue::removeOwnedLocked(Request& request) {
    erase(owned_, &request);
    erase(stopsOwed_, &request);
    erase(resumesOwed_, &request);
    request.owner = Request::Owner::None;
    request.stop = Request::Stop::None;
}

// Puts the request in the waiting list; an empty list becoming non-empty is what a ready
// notification reports.
void Queue::waitLocked(Request& request, bool front) {
    if (waiting_.empty()) {
        readyDue_ = true;
    }
    request.owner = Request::Owner::Queue;
    if (front) {
        waiting_.push_front(&request);
    } else {
        waiting_.push_back(&request);
    }
}

void Queue::release(Request& request) {
    {
        std::lock_guard lock(mutex_);
        removeOwnedLocked(request);
        request.queue = nullptr;
    }
    waiters_.notify();
    run();
}

NTSTATUS Queue::forward(Request& request, Queue& destination) {
    if (&destination == this || &destination.device_ != &device_) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    {
        std::lock_guard lock(mutex_);
        if (!ownedLocked(request) || request.cancelable) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    if (!destination.accepting()) {
        return STATUS_WDF_BUSY;
    }
    {
        std::lock_guard lock(mutex_);
        removeOwnedLocked(request);
        request.queue = nullptr;
    }
    if (!destination.enqueue(request)) {
        // The destination stopped accepting meanwhile: the request stays the driver's.
        std::lock_guard lock(mutex_);
        request.queue = this;
        request.owner = Request::Owner::Driver;
        owned_.push_back(&request);
        return STATUS_WDF_BUSY;
    }
    waiters_.notify();
    run();
    return STATUS_SUCCESS;
}

NTSTATUS Queue::requeue(Request& request) {
    if (config_.DispatchType != WdfIoQueueDispatchManual) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    {
        std::lock_guard lock(mutex_);
        if (!ownedLocked(request) || request.cancelable) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        removeOwnedLocked(request);
        waitLocked(request, true);
    }
    if (!installCancelRoutine(request)) {
        {
            std::lock_guard lock(mutex_);
            waiting_.erase(std::find(waiting_.begin(), waiting_.end(), &request));
        }
        cancelWaiting({&request});
    }
    waiters_.notify();
    run();
    return STATUS_SUCCESS;
}

void Queue::acknowledge(Request& request, bool requeue) {
    bool putBack = false;
    {
        std::lock_guard lock(mutex_);
        if (request.stop == Request::Stop::Acked || request.stop == Request::Stop::AckedRequeue) {
            reportViolation(rt::Rule::AcknowledgedTwice, request.describe(),
                            "WdfRequestStopAcknowledge on a request already acknowledged");
            return;
        }
        if (request.stop != Request::Stop::Called && request.stop != Request::Stop::Due) {
            reportViolation(rt::Rule::ContractViolation, request.describe(),
                            "WdfRequestStopAcknowledge outside EvtIoStop");
            return;
        }
        if (requeue && request.cancelable) {
            reportViolation(rt::Rule::ContractViolation, request.describe(),
                            "requeued by WdfRequestStopAcknowledge while cancelable");
        }
        erase(stopsOwed_, &request);
        if (requeue) {
            removeOwnedLocked(request);
            waitLocked(request, true);
            putBack = true;
        } else {
            request.stop = Request::Stop::Acked;
        }
    }
    if (putBack && !installCancelRoutine(request)) {
        {
            std::lock_guard lock(mutex_);
            waiting_.erase(std::find(waiting_.begin(), waiting_.end(), &request));
        }
        cancelWaiting({&request});
    }
    waiters_.notify();
}

void Queue::irpCancelled(Request& request) {
    bool waiting = false;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find(waiting_.begin(), waiting_.end(), &request);
        if (it != waiting_.end()) {
            waiting_.erase(it);
            waiting = true;
        } else if (request.cancelable) {
            request.cancelFired = true;  // before clearing cancelable: see unmarkCancelable
            request.cancelDue = true;
            request.cancelable = false;
            owe(request);
        } else {
            return;
        }
    }
    if (waiting) {
        cancelWaiting({&request});
        run();
        return;
    }
    run(true);
}

// The reference is taken with the request listed: a loop in another context may run the
// callback (and drop the reference) as soon as the mutex is released.
void Queue::owe(Request& request) {
    request.addRef(&request);
    cancelsOwed_.push_back(&request);
}

void Queue::cancelOwed(Request& request) {
    {
        std::lock_guard lock(mutex_);
        request.cancelFired = true;  // before clearing cancelable: see unmarkCancelable
        request.cancelDue = true;
        request.cancelable = false;
        owe(request);
    }
    bool inLoop;
    {
        std::lock_guard lock(mutex_);
        inLoop = inLoopLocked();
    }
    // The loop this context is in runs it after the current callback; otherwise a DPC does,
    // never WdfRequestMarkCancelable itself.
    if (!inLoop) {
        run(true);
    }
}

// Requests taken out of the waiting list because they were cancelled (or the queue purged):
// handed to EvtIoCanceledOnQueue when presented before, else completed as cancelled.
void Queue::cancelWaiting(std::vector<Request*> requests) {
    std::vector<Request*> complete;
    {
        std::lock_guard lock(mutex_);
        for (Request* request : requests) {
            if (request->presented && config_.EvtIoCanceledOnQueue != nullptr) {
                request->owner = Request::Owner::Driver;
                owned_.push_back(request);
                canceledOnQueue_.push_back(request);
            } else {
                request->queue = nullptr;
                request->owner = Request::Owner::None;
                complete.push_back(request);
            }
        }
    }
    for (Request* request : complete) {
        request->completeByFramework(STATUS_CANCELLED);
    }
    waiters_.notify();
}

// ----- Control ----------------------------------------------------------------------------------

void Queue::start() {
    {
        std::lock_guard lock(mutex_);
        dispatch_ = true;
        if (!shutdown_) {
            accept_ = true;
        }
        readyDue_ = !waiting_.empty();
    }
    run();
}

NTSTATUS Queue::readyNotify(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context) {
    if (config_.DispatchType != WdfIoQueueDispatchManual) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    {
        std::lock_guard lock(mutex_);
        if (callback == nullptr) {
            readyCallback_ = nullptr;
            readyContext_ = nullptr;
            return STATUS_SUCCESS;
        }
        if (readyCallback_ != nullptr) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        readyCallback_ = callback;
        readyContext_ = context;
        readyDue_ = !waiting_.empty();
    }
    run();
    return STATUS_SUCCESS;
}

void Queue::startIdle(Idle kind, PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context, bool wait) {
    std::vector<Request*> cancelled;
    std::vector<Request*> owedCancels;
    {
        std::lock_guard lock(mutex_);
        if (kind == Idle::Stop) {
            dispatch_ = false;
        } else {
            accept_ = false;
        }
        if (kind == Idle::Purge) {
            for (Request* request : waiting_) {
                if (IoSetCancelRoutine(request->irp(), nullptr) != nullptr) {
                    cancelled.push_back(request);
                }
            }
            for (Request* request : cancelled) {
                waiting_.erase(std::find(waiting_.begin(), waiting_.end(), request));
            }
            for (Request* request : owned_) {
                if (request->cancelable && IoSetCancelRoutine(request->irp(), nullptr) != nullptr) {
                    request->cancelFired =
                        true;  // before clearing cancelable: see unmarkCancelable
                    request->cancelDue = true;
                    request->cancelable = false;
                    owe(*request);
                    owedCancels.push_back(request);
                }
            }
        }
        if (callback != nullptr) {
            if (idle_ != Idle::None) {
                reportViolation(rt::Rule::ContractViolation, describe(),
                                "a second stop, purge or drain callback while one is pending");
            } else {
                idle_ = kind;
                idleCallback_ = callback;
                idleContext_ = context;
            }
        }
    }
    for (Request* request : owedCancels) {
        request->release(&request->cancelQueue);  // the routine taken back
    }
    cancelWaiting(std::move(cancelled));
    run();
    if (wait) {
        waiters_.waitFor(
            mutex_, [&] { return owned_.empty() && (kind == Idle::Stop || waiting_.empty()); },
            "queue idle");
    }
}

void Queue::stop(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context, bool wait) {
    startIdle(Idle::Stop, callback, context, wait);
}
void Queue::purge(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context, bool wait) {
    startIdle(Idle::Purge, callback, context, wait);
}
void Queue::drain(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context, bool wait) {
    startIdle(Idle::Drain, callback, context, wait);
}

WDF_IO_QUEUE_STATE Queue::state(ULONG* queued, ULONG* owned) const {
    std::lock_guard lock(mutex_);
    int bits = 0;
    if (accept_)
        bits |= WdfIoQueueAcceptRequests;
    if (dispatch_)
        bits |= WdfIoQueueDispatchRequests;
    if (waiting_.empty())
        bits |= WdfIoQueueNoRequests;
    if (owned_.empty())
        bits |= WdfIoQueueDriverNoRequests;
    if (powerManaged_ && !poweredOn_)
        bits |= WdfIoQueuePnpHeld;
    if (queued != nullptr)
        *queued = static_cast<ULONG>(waiting_.size());
    if (owned != nullptr)
        *owned = static_cast<ULONG>(owned_.size());
    return static_cast<WDF_IO_QUEUE_STATE>(bits);
}

// ----- Power and removal ------------------------------------------------------------------------

// EvtIoStop once for each request the driver owns that is not cancelled, then waits until each
// is acknowledged or completed.
void Queue::stopOwned(ULONG action) {
    {
        std::lock_guard lock(mutex_);
        for (Request* request : owned_) {
            // A request kept at D0 exit is stopped again for a purge.
            const bool stoppable =
                request->stop == Request::Stop::None ||
                (request->stop == Request::Stop::Acked && action == WdfRequestStopActionPurge);
            if (!stoppable || request->cancelDue || cancelFlagSet(request->irp())) {
                continue;
            }
            request->stop = Request::Stop::Due;
            request->stopFlags =
                action | (request->cancelable ? WdfRequestStopRequestCancelable : 0);
            stopsOwed_.push_back(request);
        }
    }
    run();
    waitStopped("power-managed queue stop");
}

void Queue::waitStopped(const char* what) {
    waiters_.waitFor(
        mutex_,
        [&] {
            return std::none_of(owned_.begin(), owned_.end(), [](const Request* r) {
                return r->stop == Request::Stop::Due || r->stop == Request::Stop::Called;
            });
        },
        what);
}

void Queue::powerDown() {
    {
        std::lock_guard lock(mutex_);
        poweredOn_ = false;
    }
    stopOwned(WdfRequestStopActionSuspend);
}

void Queue::powerUp() {
    {
        std::lock_guard lock(mutex_);
        poweredOn_ = true;
        readyDue_ = !waiting_.empty();
        for (Request* request : owned_) {
            if (request->stop == Request::Stop::Acked) {
                resumesOwed_.push_back(request);
            }
            request->stop = Request::Stop::None;
        }
    }
    run();
}

void Queue::removalPurge() {
    {
        std::lock_guard lock(mutex_);
        shutdown_ = true;
    }
    startIdle(Idle::Purge, nullptr, nullptr, false);
    stopOwned(WdfRequestStopActionPurge);
    if (config_.EvtIoStop == nullptr) {
        waiters_.waitFor(
            mutex_, [&] { return owned_.empty(); }, "queue purge at removal");
    }
    std::vector<Request*> left;
    {
        std::lock_guard lock(mutex_);
        left = owned_;
    }
    // Reported, then ended here so that the application does not wait for it forever.
    for (Request* request : left) {
        reportViolation(rt::Rule::RequestOwnedAtRemoval, request->describe(),
                        "the driver still owns the request after its queue was purged for removal");
        {
            std::lock_guard lock(mutex_);
            removeOwnedLocked(*request);
            request->queue = nullptr;
        }
        request->completeByFramework(STATUS_CANCELLED);
    }
}

void Queue::flushFile(FILE_OBJECT* file) {
    std::vector<Request*> cancelled;
    {
        std::lock_guard lock(mutex_);
        for (Request* request : waiting_) {
            if (IoGetCurrentIrpStackLocation(request->irp())->FileObject == file &&
                IoSetCancelRoutine(request->irp(), nullptr) != nullptr) {
                cancelled.push_back(request);
            }
        }
        for (Request* request : cancelled) {
            waiting_.erase(std::find(waiting_.begin(), waiting_.end(), request));
        }
    }
    cancelWaiting(std::move(cancelled));
    run();
}

void Queue::onDispose() {
    {
        IoPackage::Impl& io = device_.io().impl();
        std::lock_guard lock(io.mutex);
        std::erase(io.queues, this);
        std::erase_if(io.routes, [this](const auto& route) { return route.second == this; });
        if (io.defaultQueue == this) {
            io.defaultQueue = nullptr;
        }
    }
    // The device purged its queues at removal; a queue the driver deletes earlier must be
    // empty (the framework fails what still waits).
    std::vector<Request*> left;
    {
        std::lock_guard lock(mutex_);
        accept_ = false;
        shutdown_ = true;
        for (Request* request : waiting_) {
            if (IoSetCancelRoutine(request->irp(), nullptr) != nullptr) {
                left.push_back(request);
            }
        }
        for (Request* request : left) {
            waiting_.erase(std::find(waiting_.begin(), waiting_.end(), request));
            request->queue = nullptr;
            request->owner = Request::Owner::None;
        }
    }
    for (Request* request : left) {
        request->completeByFramework(STATUS_CANCELLED);
    }
}

// ----- The loop ---------------------------------------------------------------------------------

bool Queue::inLoopLocked() const {
    return std::find(inLoop_.begin(), inLoop_.end(), currentContext()) != inLoop_.end();
}

bool Queue::canPresentLocked() const {
    if (config_.DispatchType == WdfIoQueueDispatchManual || !dispatch_ || !poweredOn_) {
        return false;
    }
    if (config_.DispatchType == WdfIoQueueDispatchSequential) {
        return owned_.empty();
    }
    const ULONG limit = config_.Settings.Parallel.NumberOfPresentedRequests;
    return limit == 0 || limit == ULONG(-1) || owned_.size() < limit;
}

bool Queue::nextWork(Work* work) {
    *work = Work{};
    if (!cancelsOwed_.empty()) {
        work->kind = Work::Kind::Cancel;
        work->request = cancelsOwed_.front();
        cancelsOwed_.erase(cancelsOwed_.begin());
        return true;
    }
    if (!canceledOnQueue_.empty()) {
        work->kind = Work::Kind::CanceledOnQueue;
        work->request = canceledOnQueue_.front();
        canceledOnQueue_.erase(canceledOnQueue_.begin());
        return true;
    }
    if (config_.EvtIoStop != nullptr) {
        for (Request* request : stopsOwed_) {
            if (request->stop == Request::Stop::Due) {
                request->stop = Request::Stop::Called;
                work->kind = Work::Kind::Stop;
                work->request = request;
                work->flags = request->stopFlags;
                return true;
            }
        }
    }
    if (!resumesOwed_.empty()) {
        work->request = resumesOwed_.front();
        resumesOwed_.erase(resumesOwed_.begin());
        if (config_.EvtIoResume != nullptr) {
            work->kind = Work::Kind::Resume;
            return true;
        }
    }
    if (readyDue_ && readyCallback_ != nullptr && dispatch_ && poweredOn_ && !waiting_.empty()) {
        readyDue_ = false;
        work->kind = Work::Kind::ReadyNotify;
        work->idleCallback = readyCallback_;
        work->idleContext = readyContext_;
        return true;
    }
    while (canPresentLocked() && !waiting_.empty()) {
        auto it = std::find_if(waiting_.begin(), waiting_.end(), [](Request* r) {
            return IoSetCancelRoutine(r->irp(), nullptr) != nullptr;
        });
        if (it == waiting_.end()) {
            break;
        }
        Request* request = *it;
        waiting_.erase(it);
        request->owner = Request::Owner::Driver;
        request->presented = true;
        owned_.push_back(request);
        work->kind = Work::Kind::Present;
        work->request = request;
        return true;
    }
    if (idle_ != Idle::None && owned_.empty() && (idle_ == Idle::Stop || waiting_.empty())) {
        work->kind = Work::Kind::IdleCallback;
        work->idleCallback = idleCallback_;
        work->idleContext = idleContext_;
        work->underLock = idle_ != Idle::Stop;
        idle_ = Idle::None;
        idleCallback_ = nullptr;
        return true;
    }
    return false;
}

void Queue::run(bool deferred) {
    const rt::Context* self = currentContext();
    bool here = !deferred && !(passive_ && rt::currentIrql() != rt::Irql::Passive);
    if (here) {
        std::lock_guard lock(mutex_);
        if (inLoopLocked()) {
            return;
        }
        // A callback outside this loop that holds the lock (an automatically serialised timer,
        // another queue of the device) cannot present: the loop would take the lock again.
        here = lock_ == nullptr || !lock_->heldHere();
        if (here) {
            inLoop_.push_back(self);
        }
    }
    if (!here) {
        addRef(this);
        auto body = [this] {
            run();
            Object::release(this);
        };
        if (passive_) {
            runtime_.queueWorkItem(body);
        } else {
            runtime_.queueDpc(body);
        }
        return;
    }
    for (;;) {
        Work work;
        {
            std::lock_guard lock(mutex_);
            if (!nextWork(&work)) {
                inLoop_.erase(std::find(inLoop_.begin(), inLoop_.end(), self));
                break;
            }
        }
        invoke(work);
    }
    waiters_.notify();
}

void Queue::invoke(Work& work) {
    const WDFQUEUE queue = queueHandle();
    Request* request = work.request;
    const WDFREQUEST handle = request != nullptr ? request->requestHandle() : nullptr;
    SerializedScope serialized(work.underLock ? lock_ : nullptr);
    switch (work.kind) {
        case Work::Kind::None:
            break;
        case Work::Kind::Cancel:
            request->cancelCallback(handle);
            {
                std::lock_guard lock(mutex_);
                request->cancelDue = false;
            }
            request->release(request);
            break;
        case Work::Kind::CanceledOnQueue:
            config_.EvtIoCanceledOnQueue(queue, handle);
            break;
        case Work::Kind::Stop:
            config_.EvtIoStop(queue, handle, work.flags);
            break;
        case Work::Kind::Resume:
            config_.EvtIoResume(queue, handle);
            break;
        case Work::Kind::IdleCallback:
        case Work::Kind::ReadyNotify:
            work.idleCallback(queue, work.idleContext);
            break;
        case Work::Kind::Present: {
            IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(request->irp());
            switch (stack->MajorFunction) {
                case IRP_MJ_READ:
                    if (config_.EvtIoRead != nullptr) {
                        config_.EvtIoRead(queue, handle, stack->Parameters.Read.Length);
                        return;
                    }
                    break;
                case IRP_MJ_WRITE:
                    if (config_.EvtIoWrite != nullptr) {
                        config_.EvtIoWrite(queue, handle, stack->Parameters.Write.Length);
                        return;
                    }
                    break;
                case IRP_MJ_DEVICE_CONTROL:
                    if (config_.EvtIoDeviceControl != nullptr) {
                        config_.EvtIoDeviceControl(
                            queue, handle, stack->Parameters.DeviceIoControl.OutputBufferLength,
                            stack->Parameters.DeviceIoControl.InputBufferLength,
                            stack->Parameters.DeviceIoControl.IoControlCode);
                        return;
                    }
                    break;
                case IRP_MJ_INTERNAL_DEVICE_CONTROL:
                    if (config_.EvtIoInternalDeviceControl != nullptr) {
                        config_.EvtIoInternalDeviceControl(
                            queue, handle, stack->Parameters.DeviceIoControl.OutputBufferLength,
                            stack->Parameters.DeviceIoControl.InputBufferLength,
                            stack->Parameters.DeviceIoControl.IoControlCode);
                        return;
                    }
                    break;
                default:
                    break;
            }
            if (config_.EvtIoDefault != nullptr) {
                config_.EvtIoDefault(queue, handle);
                return;
            }
            request->complete(STATUS_INVALID_DEVICE_REQUEST, nullptr);
            break;
        }
    }
}

}  // namespace vel::wdf
