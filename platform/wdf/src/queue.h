// WDFQUEUE: requests waiting for the driver and those it owns from this queue, with the
// queue's dispatch loop.
//
// Every driver callback of the queue (EvtIo*, EvtIoStop/Resume/CanceledOnQueue, cancel
// callbacks, purge/drain callbacks) runs from the dispatch loop, under the queue's callback lock
// (scope Device: the device's; scope Queue: the queue's own; scope None: none). A context
// already inside the loop that causes more work (completing, forwarding, marking a cancelled
// request cancelable) only records it: the loop picks it up after the current callback returns,
// so the driver is never re-entered on its own stack. Work that arises outside any loop (an IRP
// cancelled by the application) runs the loop from a DPC, or a work item for a passive queue.
//
// The mutex guards the lists and flags and the queue fields of the requests in them; it is
// never held across a callback or a scheduling point.
#pragma once

#include <deque>
#include <mutex>
#include <vector>

#include "io_package_wait.h"
#include "object.h"

namespace vel::wdf {

class Device;
class Request;

class Queue : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::Queue;

    Queue(Binding& binding, Device& device, const WDF_IO_QUEUE_CONFIG& config, bool powerManaged,
          bool poweredOn, WDF_SYNCHRONIZATION_SCOPE scope, WDF_EXECUTION_LEVEL level);
    ~Queue() override;

    Device& device() const { return device_; }
    WDFQUEUE queueHandle() const { return static_cast<WDFQUEUE>(handle()); }
    bool isDefault() const { return config_.DefaultQueue != FALSE; }
    bool powerManaged() const { return powerManaged_; }
    const WDF_IO_QUEUE_CONFIG& config() const { return config_; }
    // A handler for this request type (its own EvtIo* or EvtIoDefault).
    bool handles(UCHAR major) const;
    CallbackLock* callbackLock() override;
    void setUndeletable() { setDeletable(false); }

    // ----- Requests arriving ------------------------------------------------------------------
    // A new or forwarded request. Not accepting: false (the caller answers). The request waits
    // (at the head when `front`) unless the framework answers it at once (cancelled IRP,
    // zero-length read/write).
    bool enqueue(Request& request, bool front = false);
    bool accepting() const;
    NTSTATUS retrieveNext(Request** request);

    // ----- The driver on its requests ---------------------------------------------------------
    // The request left the driver (completed, forwarded, sent and forgotten): no longer owned.
    void release(Request& request);
    NTSTATUS forward(Request& request, Queue& destination);
    NTSTATUS requeue(Request& request);
    void acknowledge(Request& request, bool requeue);
    // The IRP's cancel routine fired for a request of this queue.
    void irpCancelled(Request& request);
    // A cancelled request was marked cancelable: its callback is owed after the current one.
    void cancelOwed(Request& request);

    // ----- Queue control ----------------------------------------------------------------------
    void start();
    void stop(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context, bool wait);
    void purge(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context, bool wait);
    void drain(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context, bool wait);
    WDF_IO_QUEUE_STATE state(ULONG* queued, ULONG* owned) const;
    // WdfIoQueueReadyNotify: `callback` runs whenever the manual queue goes from empty to not
    // empty while it dispatches (and at once when it has requests already); nullptr clears it.
    NTSTATUS readyNotify(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context);

    // ----- Power and removal (the device's PnP context) ---------------------------------------
    void powerDown();
    void powerUp();
    void removalPurge();
    void flushFile(FILE_OBJECT* file);

    // Runs the dispatch loop in the calling context, or leaves the work to a loop this context
    // is already in. `deferred`, or the context holds the callback lock outside the loop: run
    // it from a DPC or work item instead.
    void run(bool deferred = false);

  protected:
    void onDispose() override;

  private:
    enum class Idle { None, Stop, Purge, Drain };
    struct Work;

    bool nextWork(Work* work);
    void invoke(Work& work);
    void cancelWaiting(std::vector<Request*> requests);
    void stopOwned(ULONG action);
    void waitStopped(const char* what);
    bool canPresentLocked() const;
    bool inLoopLocked() const;
    bool ownedLocked(const Request& request) const;
    // Lists the request's cancel callback as owed, holding a reference until it has run.
    void owe(Request& request);
    void removeOwnedLocked(Request& request);
    void waitLocked(Request& request, bool front);
    bool installCancelRoutine(Request& request);
    void startIdle(Idle kind, PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context, bool wait);

    Device& device_;
    const WDF_IO_QUEUE_CONFIG config_;
    const bool powerManaged_;
    const bool passive_;
    std::unique_ptr<CallbackLock> ownLock_;  // scope Queue
    CallbackLock* lock_;                     // the lock callbacks run under, if any

    mutable std::mutex mutex_;
    Waiters waiters_;
    std::deque<Request*> waiting_;
    std::vector<Request*> owned_;
    std::vector<Request*> cancelsOwed_;
    std::vector<Request*> canceledOnQueue_;
    std::vector<Request*> stopsOwed_;
    std::vector<Request*> resumesOwed_;
    bool accept_ = true;
    bool dispatch_ = true;
    bool poweredOn_;
    bool shutdown_ = false;
    Idle idle_ = Idle::None;
    PFN_WDF_IO_QUEUE_STATE idleCallback_ = nullptr;
    WDFCONTEXT idleContext_ = nullptr;
    PFN_WDF_IO_QUEUE_STATE readyCallback_ = nullptr;
    WDFCONTEXT readyContext_ = nullptr;
    bool readyDue_ = false;  // went from empty to not empty since the last notification
    std::vector<const rt::Context*> inLoop_;
    rt::Runtime& runtime_;
};

}  // namespace vel::wdf
