// WDFIOTARGET: where a device sends requests. The FDO's default target is the device below it;
// a remote target is opened on a device object or a name. A target starts Started; the driver
// stops and starts it. Sends to a target that is not started fail unless they ignore the
// target state (the platform does not park them).
//
// The target counts what it has sent until each request's completion routine has returned, so
// that a stop with CancelSentIo or WaitForSentIoToComplete returns only after the completions.
#pragma once

#include <mutex>
#include <vector>

#include "io_package_wait.h"
#include "object.h"

namespace vel::wdf {

class Device;
class Request;

class IoTarget : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::IoTarget;

    // A default target (opened on `device`, not deletable) or, with nullptr, a remote target
    // still closed.
    IoTarget(Binding& binding, Device& owner, DEVICE_OBJECT* device);
    ~IoTarget() override;

    Device& owner() const { return owner_; }
    WDFIOTARGET targetHandle() const { return static_cast<WDFIOTARGET>(handle()); }
    DEVICE_OBJECT* deviceObject() const;
    CCHAR stackSize() const;
    WDF_IO_TARGET_STATE state() const;

    NTSTATUS open(const WDF_IO_TARGET_OPEN_PARAMS& params);
    void close();
    // USB device and pipe targets extend these (a device target starts and stops its pipes).
    virtual NTSTATUS start();
    virtual void stop(WDF_IO_TARGET_SENT_IO_ACTION action);

    // A send may go: STATUS_SUCCESS (the request is counted as sent), else the failure.
    NTSTATUS admit(Request& request, bool ignoreState);
    // The request's completion routine has returned.
    void sentDone(Request& request, bool ignoredState);

  protected:
    // A target of a derived type (USB device, pipe) opened on `device`.
    IoTarget(ObjectType type, Binding& binding, Device& owner, DEVICE_OBJECT* device);

    void onDispose() override;
    bool needsPassiveDispose() const override { return true; }

    // Cancels (or only waits for) what was sent subject to the target state, and waits until
    // each completion routine has returned.
    void cancelSentAndWait(bool cancel);

  private:
    Device& owner_;
    mutable std::mutex mutex_;
    Waiters waiters_;
    DEVICE_OBJECT* device_;
    bool referenced_ = false;  // holds a reference on device_ (remote targets)
    WDF_IO_TARGET_STATE state_;
    std::vector<Request*> sent_;     // subject to stop
    std::vector<Request*> ignored_;  // sent ignoring the target state
};

}  // namespace vel::wdf
