// A runtime, a kernel and toy WDM drivers for I/O manager tests. Each toy device keeps its
// behaviour and what it saw in its device extension; the dispatch and completion routines are
// plain functions, as a driver's would be. A test fails on any verifier violation it leaves,
// including the leaks the I/O manager reports when the kernel goes away.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "vel/kernel/io.h"
#include "vel/kernel/kernel.h"
#include "vel/runtime/runtime.h"
#include "vel/runtime/verifier.h"
#include "vel_kernel.h"

namespace vel::kernel::test {

enum class Action {
    Skip,            // pass the IRP down reusing this location, no completion routine
    Forward,         // copy to the next location with a completion routine, pass down
    Complete,        // complete with `status`
    Pend,            // mark pending, keep the IRP in `held`, return STATUS_PENDING
    PendCancelable,  // as Pend, with a cancel routine that completes it STATUS_CANCELLED
    CompleteFromDpc  // mark pending and complete with `status` from a DPC
};

struct Level {
    const char* name;
    Action action;
    NTSTATUS status;            // for Complete
    NTSTATUS routineResult;     // what the completion routine returns
    bool markPendingInRoutine;  // the routine propagates PendingReturned
    UCHAR invoke;               // SL_INVOKE_* bits for Forward
    DEVICE_OBJECT* lower;
    std::vector<std::string>* log;
    // Seen by the dispatch routine.
    CHAR seenLocation;
    DEVICE_OBJECT* seenDevice;
    IRP* held;
    // Seen by the completion routine.
    bool routineSawPending;
};

inline Level& levelOf(DEVICE_OBJECT* device) {
    return *static_cast<Level*>(device->DeviceExtension);
}

inline const char* nameOf(DEVICE_OBJECT* device) {
    return device != nullptr ? levelOf(device).name : "none";
}

inline NTSTATUS toyCompletion(DEVICE_OBJECT* device, IRP* irp, PVOID context) {
    Level& level = *static_cast<Level*>(context);
    level.log->push_back(std::string("completion ") + level.name + " on " + nameOf(device));
    level.routineSawPending = irp->PendingReturned;
    if (irp->PendingReturned && level.markPendingInRoutine) {
        IoMarkIrpPending(irp);
    }
    return level.routineResult;
}

inline VOID toyCancel(DEVICE_OBJECT* device, IRP* irp) {
    Level& level = levelOf(device);
    level.log->push_back(std::string("cancel ") + level.name);
    level.held = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

inline NTSTATUS toyDispatch(DEVICE_OBJECT* device, IRP* irp) {
    Level& level = levelOf(device);
    level.seenLocation = irp->CurrentLocation;
    level.seenDevice = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    level.log->push_back(std::string("dispatch ") + level.name);
    switch (level.action) {
        case Action::Skip:
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(level.lower, irp);
        case Action::Forward:
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, toyCompletion, &level, level.invoke & SL_INVOKE_ON_SUCCESS,
                                   level.invoke & SL_INVOKE_ON_ERROR,
                                   level.invoke & SL_INVOKE_ON_CANCEL);
            return IoCallDriver(level.lower, irp);
        case Action::Complete:
            irp->IoStatus.Status = level.status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return level.status;
        case Action::CompleteFromDpc:
            IoMarkIrpPending(irp);
            rt::Runtime::current()->queueDpc([irp, status = level.status] {
                irp->IoStatus.Status = status;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            });
            return STATUS_PENDING;
        case Action::Pend:
        case Action::PendCancelable:
            IoMarkIrpPending(irp);
            level.held = irp;
            if (level.action == Action::PendCancelable) {
                IoSetCancelRoutine(irp, toyCancel);
            }
            return STATUS_PENDING;
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

class IoTest : public ::testing::Test {
  protected:
    IoTest() {
        for (auto& dispatch : driver.MajorFunction) {
            dispatch = toyDispatch;
        }
        driver.Type = IO_TYPE_DRIVER;
    }

    void TearDown() override {
        removeDevices();
        kernel.reset();  // the I/O manager reports what is still alive
        for (const auto& violation : runtime.verifier().take()) {
            ADD_FAILURE() << "verifier: " << violation.toString();
        }
    }

    // A toy device attached above `lower` (or a bottom device when null).
    DEVICE_OBJECT* addDevice(const char* name, Action action, DEVICE_OBJECT* lower = nullptr,
                             std::u16string deviceName = {}) {
        DeviceObjectOptions options;
        options.name = std::move(deviceName);
        options.extensionSize = sizeof(Level);
        DEVICE_OBJECT* device = nullptr;
        EXPECT_EQ(io().createDevice(&driver, options, &device), STATUS_SUCCESS);
        Level& level = levelOf(device);
        level.name = name;
        level.action = action;
        level.status = STATUS_SUCCESS;
        level.routineResult = STATUS_SUCCESS;
        level.invoke = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
        level.log = &log;
        if (lower != nullptr) {
            level.lower = io().attachDevice(device, lower);
        }
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        devices.push_back(device);
        return device;
    }

    // Detaches and deletes the toy devices, top first, as removal does.
    void removeDevices() {
        if (!kernel) {
            return;
        }
        for (auto it = devices.rbegin(); it != devices.rend(); ++it) {
            if (DEVICE_OBJECT* lower = io().lowerDevice(*it)) {
                io().detachDevice(lower);
            }
            io().deleteDevice(*it);
        }
        devices.clear();
    }

    // Takes the recorded violations and checks that exactly one was recorded, of `rule`, whose
    // report (object and message) contains `text`.
    void expectViolation(rt::Rule rule, const std::string& text) {
        auto violations = runtime.verifier().take();
        ASSERT_EQ(violations.size(), 1u);
        EXPECT_EQ(violations[0].rule, rule);
        EXPECT_NE(violations[0].toString().find(text), std::string::npos)
            << violations[0].toString();
    }

    IoManager& io() { return kernel->io(); }

    rt::Runtime runtime;
    std::optional<Kernel> kernel{std::in_place};
    DRIVER_OBJECT driver{};
    std::vector<DEVICE_OBJECT*> devices;
    std::vector<std::string> log;
};

}  // namespace vel::kernel::test
