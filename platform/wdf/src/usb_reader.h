// The continuous reader of a USB IN pipe: a fixed number of reads kept pending on the pipe while
// its target is started, each into a fresh zero-filled buffer of header + transfer + trailer
// bytes (the data at the header's offset), handed to the driver's read-complete callback and sent
// again from a DPC.
//
// Reads start only when the pipe (or its USB device) is started after the reader is configured,
// and stop when the pipe stops: the stop cancels them and waits for them and for a recovery in
// progress. A read cancelled is not reported. Any other failure (or, with no read left pending,
// a buffer that cannot be had) runs the recovery on a system worker: every read is cancelled and
// waited for, then the driver's readers-failed callback is asked; TRUE (or no callback) resets
// the pipe, or the port when it is disabled, and starts the reads again, FALSE leaves them
// stopped until the pipe's next stop and start. A disconnected device is not reset.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "callback_tracker.h"
#include "io_package_wait.h"
#include "vel_wdf.h"

namespace vel::wdf {

class Memory;
class Request;
class UsbPipe;

class ContinuousReader {
  public:
    ~ContinuousReader();
    ContinuousReader(const ContinuousReader&) = delete;
    ContinuousReader& operator=(const ContinuousReader&) = delete;

    // Checks the configuration against the pipe and makes the reader with its requests; nothing
    // is sent until start().
    static NTSTATUS create(UsbPipe& pipe, const WDF_USB_CONTINUOUS_READER_CONFIG* config,
                           std::unique_ptr<ContinuousReader>* reader);

    // The pipe's target has started: every idle read is sent.
    void start();
    // The pipe's target is about to stop: no read is sent again from here on.
    void halt();
    // After the target's stop cancelled what was sent: waits until every read is back and a
    // recovery in progress has ended. Only at PASSIVE_LEVEL, and not from the readers-failed
    // callback (reported: the stop would wait for itself).
    void waitHalted();
    // The pipe is going away, halted: lets go of the requests and buffers.
    void release();
    // True between start and halt.
    bool running() const;

  private:
    struct Slot {
        ContinuousReader* reader = nullptr;
        Request* request = nullptr;  // referenced by the reader for its life
        Memory* buffer = nullptr;    // referenced by the reader while it holds the buffer
        bool busy = false;           // sent, or about to be (re)sent
    };

    ContinuousReader(UsbPipe& pipe, const WDF_USB_CONTINUOUS_READER_CONFIG& config,
                     const WDF_OBJECT_ATTRIBUTES* bufferAttributes, UCHAR reads);

    NTSTATUS makeRequests();
    void waitIdle();
    void arm(Slot& slot);
    NTSTATUS newBuffer(Slot& slot);
    void dropBuffer(Slot& slot);
    void slotFailed(Slot& slot, NTSTATUS status, USBD_STATUS usbdStatus);
    bool beginRecoveryLocked();
    void queueRecovery(NTSTATUS status, USBD_STATUS usbdStatus);
    void recover(NTSTATUS status, USBD_STATUS usbdStatus);
    bool resetAfterFailure();
    static void onReadComplete(WDFREQUEST request, WDFIOTARGET target,
                               PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context);

    UsbPipe& pipe_;
    const WDF_USB_CONTINUOUS_READER_CONFIG config_;
    WDF_OBJECT_ATTRIBUTES bufferAttributes_;
    const size_t bufferLength_;
    std::vector<std::unique_ptr<Slot>> slots_;

    mutable std::mutex mutex_;  // guards what follows and each slot's `busy`
    Waiters idle_;              // a slot went idle
    bool running_ = false;
    bool recovering_ = false;  // a recovery is queued or running
    std::shared_ptr<CallbackTracker> recovery_ =
        std::make_shared<CallbackTracker>("continuous reader recovery");
};

}  // namespace vel::wdf
