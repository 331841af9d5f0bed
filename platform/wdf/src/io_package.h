// The I/O side of one device: its queues, the dispatch table from request type to queue, the
// requests it hands to the driver and its I/O targets. The device creates one with itself and
// calls it; nothing else does.
//
// Calls from the device, in the device's life:
//   - dispatch(irp) for each read, write, device control and internal device control IRP, and
//     for create when the driver routed creates to a queue (routesCreate()).
//   - stopPowerManagedQueues() on the way out of D0, before EvtDeviceD0Exit;
//     resumePowerManagedQueues() on the way into D0, after EvtDeviceD0Entry.
//   - purgeForRemoval() at removal, after the power-down; the device's targets go with
//     disposeTargets() at the same point.
//   - flushFile(file) when IRP_MJ_CLEANUP arrives for a file object.
#pragma once

#include <memory>

#include "vel_wdf.h"

namespace vel::wdf {

class Device;
class Queue;
class Request;
class IoTarget;

class IoPackage {
  public:
    explicit IoPackage(Device& device);
    ~IoPackage();
    IoPackage(const IoPackage&) = delete;
    IoPackage& operator=(const IoPackage&) = delete;

    // Hands an I/O IRP to the queue configured for its type (else the default queue). Returns
    // what the device's dispatch routine returns: STATUS_PENDING once a queue took the IRP (it
    // is marked pending), else the status the IRP was completed with here
    // (STATUS_INVALID_DEVICE_REQUEST when no queue handles the type, STATUS_INVALID_DEVICE_STATE
    // when the queue does not accept requests, STATUS_SUCCESS for a zero-length read or write
    // the framework answers itself).
    NTSTATUS dispatch(IRP* irp);

    // True when WdfDeviceConfigureRequestDispatching routed creates to a queue: the device then
    // passes the create IRP to dispatch() instead of handling it.
    bool routesCreate() const;

    // Wraps an IRP the device received (e.g. the create IRP for EvtDeviceFileCreate) in a
    // request the driver owns, with the device's request attributes. The driver completes it
    // with WdfRequestComplete, which completes the IRP.
    NTSTATUS wrapIrp(IRP* irp, WDFREQUEST* request);

    // D0 exit: power-managed queues stop dispatching; EvtIoStop(Suspend[|Cancelable]) runs once
    // for each request the driver owns from them (sent to targets included, cancelled ones
    // excluded); blocks until each is acknowledged or completed.
    void stopPowerManagedQueues();
    // D0 entry: EvtIoResume for each request acknowledged without requeue, then dispatching
    // restarts (requeued requests are presented again).
    void resumePowerManagedQueues();
    // Removal: every queue is purged (queued requests cancelled, EvtIoStop(Purge) for those the
    // driver owns) and waits until each has ended; queues are then shut: new requests fail with
    // STATUS_INVALID_DEVICE_STATE and WdfIoQueueStart cannot reopen them. A request the driver
    // still owns afterwards is reported (RequestOwnedAtRemoval).
    void purgeForRemoval();
    // Removal: the device's I/O targets are stopped (sent I/O cancelled and waited for) and
    // deleted.
    void disposeTargets();

    // IRP_MJ_CLEANUP for `file`: requests of that file still waiting in a queue are cancelled.
    void flushFile(FILE_OBJECT* file);

    // The device's default queue (nullptr when none) and default I/O target (the next lower
    // device; nullptr for a PDO).
    WDFQUEUE defaultQueue() const;
    WDFIOTARGET defaultTarget();

    struct Impl;
    Impl& impl();

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace vel::wdf
