// WDFREQUEST: a framework object around an IRP. Requests the framework made for IRPs its
// device received belong to a queue while they wait there and to the driver once presented or
// retrieved; the driver completes them exactly once. Requests the driver creates
// (WdfRequestCreate, WdfRequestCreateFromIrp) are only ever sent, reused and deleted.
//
// Locking: the fields a queue manipulates (owner, cancel state, stop state) are guarded by the
// mutex of the queue the request belongs to; the send state by the request's own mutex. A
// queue's mutex may be taken before a request's, never the other way round.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "object.h"
#include "vel/runtime/runtime.h"

namespace vel::wdf {

class Device;
class Queue;
class IoTarget;

class Request : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::Request;

    enum class Origin {
        Queue,    // the framework's, for an IRP a device received
        Created,  // WdfRequestCreate: the framework allocates (and frees) the IRP
        Wrapped,  // WdfRequestCreateFromIrp: the driver's IRP
    };
    // Where a queue request is.
    enum class Owner { None, Queue, Driver, Done };
    // How the next stack location was formatted, for the completion parameters.
    enum class Format { None, CurrentType, StackLocation, Read, Write, Ioctl, InternalIoctl, Usb };

    Request(Binding& binding, IRP* irp, Origin origin, bool freesIrp, Device* device);
    ~Request() override;

    IRP* irp() const { return irp_; }
    Origin origin() const { return origin_; }
    Device* device() const { return device_; }
    WDFREQUEST requestHandle() const { return static_cast<WDFREQUEST>(handle()); }
    static Request* fromIrp(IRP* irp);

    // ----- Completion -------------------------------------------------------------------------
    // WdfRequestCompleteWithInformation's work (Information already set when `information` is
    // empty). Checks the completion rules and reports breaches to the verifier.
    void complete(NTSTATUS status, const ULONG_PTR* information);
    // Completes a request the framework answers itself (never presented): rejected, cancelled
    // on its queue, zero-length.
    void completeByFramework(NTSTATUS status);

    // ----- Cancellation (queue requests owned by the driver) ----------------------------------
    void markCancelable(PFN_WDF_REQUEST_CANCEL callback, bool ex, NTSTATUS* result);
    NTSTATUS unmarkCancelable();
    bool isCanceled() const;

    // ----- Buffers ----------------------------------------------------------------------------
    NTSTATUS retrieveBuffer(bool input, size_t required, void** buffer, size_t* length);
    NTSTATUS retrieveMemory(bool input, WDFMEMORY* memory);
    NTSTATUS retrieveMdl(bool input, PMDL* mdl);
    void parameters(WDF_REQUEST_PARAMETERS* parameters) const;

    // ----- Sending ----------------------------------------------------------------------------
    // Makes the next stack location available for a target needing `stackSize` locations:
    // a framework IRP is (re)allocated; another IRP must have room (STATUS_REQUEST_NOT_ACCEPTED).
    NTSTATUS prepareNextLocation(CCHAR stackSize);
    // Records a format: the saved buffers are put back and parameters filled at completion.
    void setFormat(Format format, const WDF_REQUEST_COMPLETION_PARAMS& params);
    Format format() const;
    void setCompletionRoutine(PFN_WDF_REQUEST_COMPLETION_ROUTINE routine, WDFCONTEXT context);
    void completionParams(WDF_REQUEST_COMPLETION_PARAMS* params) const;
    // Keeps a buffer the request owns while sent (a METHOD_BUFFERED ioctl's double buffer, an
    // MDL); returned pointer valid until the request is formatted again or reused.
    void* ownBuffer(size_t size);
    PMDL ownMdl(void* buffer, ULONG length);
    // A buffered ioctl's result copied back to the caller's output on completion.
    void setCopyBack(void* from, WDFMEMORY to, size_t offset, size_t length);
    // A USB format: `urb` travels with the request; at completion the USB parameters get its
    // USBD status and, for transfers, the length moved.
    void setUsbFormat(URB* urb, const WDF_REQUEST_COMPLETION_PARAMS& params,
                      const WDF_USB_REQUEST_COMPLETION_PARAMS& usb);

    bool send(IoTarget& target, const WDF_REQUEST_SEND_OPTIONS* options);
    bool cancelSent();
    NTSTATUS reuse(const WDF_REQUEST_REUSE_PARAMS& params);
    NTSTATUS status() const;

    // ----- Queue bookkeeping ------------------------------------------------------------------
    // Changed under the owning queue's mutex. The ones the driver's calls read without it, while
    // an application's cancel or the PnP side may change them on another thread, are atomic.
    std::atomic<Queue*> queue{nullptr};
    std::atomic<Owner> owner{Owner::None};
    bool presented = false;                // handed to the driver at least once
    std::atomic<bool> cancelable{false};   // marked, with the IRP's cancel routine installed
    std::atomic<bool> cancelDue{false};    // its cancel callback is owed
    std::atomic<bool> cancelFired{false};  // a cancel reached it since it was last marked
    // The queue its cancel routine reports to; the routine holds a reference (tagged with this
    // field) until it has run or is taken back. Set before the routine is installed.
    Queue* cancelQueue = nullptr;
    PFN_WDF_REQUEST_CANCEL cancelCallback = nullptr;
    enum class Stop { None, Due, Called, Acked, AckedRequeue } stop = Stop::None;
    ULONG stopFlags = 0;
    std::atomic<bool> forwardedAway{false};  // handed to a parent queue, send-and-forget
    std::atomic<bool> completed{false};

    // The parent device's queue has the request: the IRP location moved to the parent.
    bool forwardedToParent = false;

  private:
    friend class IoTarget;
    static NTSTATUS onIrpComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    static void onIrpCancel(PDEVICE_OBJECT device, PIRP irp);
    void finishSend();
    void finishCancel(bool fromDriver);
    void deliverCompletion();
    void armTimeout(rt::Ticks due);
    void releaseFormat();
    void recordUsbResult();
    bool withinCompletionLocks() const;

    IRP* irp_;
    const Origin origin_;
    bool freesIrp_;
    Device* const device_;

    mutable std::mutex mutex_;  // send state below
    Format format_ = Format::None;
    PFN_WDF_REQUEST_COMPLETION_ROUTINE routine_ = nullptr;
    WDFCONTEXT routineContext_ = nullptr;
    WDF_REQUEST_COMPLETION_PARAMS params_{};
    IoTarget* target_ = nullptr;  // while sent
    bool inFlight_ = false;
    bool synchronous_ = false;
    bool ignoresState_ = false;
    bool cancelledBeforeSend_ = false;
    bool timedOut_ = false;
    int cancelling_ = 0;          // cancellers inside IoCancelIrp for the send in flight
    bool deliveryWaits_ = false;  // the IRP came back while a canceller was inside
    uint64_t sendToken_ = 0;
    uint64_t timerId_ = 0;
    std::unique_ptr<rt::Event> sendDone_;
    // A queue request's own buffers, put back when a send returns.
    void* savedSystemBuffer_ = nullptr;
    void* savedUserBuffer_ = nullptr;
    PMDL savedMdl_ = nullptr;
    bool buffersSaved_ = false;
    std::vector<unsigned char> ownBuffer_;
    MDL ownMdl_{};
    URB* urb_ = nullptr;  // Format::Usb
    WDF_USB_REQUEST_COMPLETION_PARAMS usbParams_{};
    void* copyFrom_ = nullptr;
    WDFMEMORY copyTo_ = nullptr;
    size_t copyOffset_ = 0;
    size_t copyLength_ = 0;
};

// The IRP's Cancel flag, which IoCancelIrp sets from another thread.
inline bool cancelFlagSet(const IRP* irp) {
    return __atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) != FALSE;
}

// The status a completion reports: the framework's own codes become ordinary ones.
NTSTATUS rewriteFrameworkStatus(NTSTATUS status);

}  // namespace vel::wdf
