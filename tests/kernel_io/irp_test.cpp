// The IRP stack walk: locations consumed going down, completion routines going up.

#include "io_fixture.h"
#include "vel/runtime/faults.h"

namespace vel::kernel::test {
namespace {

class IrpTest : public IoTest {
  protected:
    // bottom <- middle <- top
    void buildStack(Action bottomAction, Action middleAction, Action topAction) {
        bottom = addDevice("bottom", bottomAction);
        middle = addDevice("middle", middleAction, bottom);
        top = addDevice("top", topAction, middle);
    }

    // An IRP for `target`'s stack whose completion reaching the top is logged.
    IrpPtr newIrp(DEVICE_OBJECT* target, UCHAR major = IRP_MJ_DEVICE_CONTROL) {
        IrpPtr irp = IoManager::allocateIrp(target->StackSize);
        IoGetNextIrpStackLocation(irp.get())->MajorFunction = major;
        IoManager::setCompletionNotify(irp.get(), [this](IRP*) { log.push_back("originator"); });
        return irp;
    }

    DEVICE_OBJECT* bottom = nullptr;
    DEVICE_OBJECT* middle = nullptr;
    DEVICE_OBJECT* top = nullptr;
};

TEST_F(IrpTest, LocationsAdvanceDownAndRoutinesRunBottomUpWithTheirOwnDevice) {
    buildStack(Action::Complete, Action::Forward, Action::Forward);
    ASSERT_EQ(top->StackSize, 3);
    IrpPtr irp = newIrp(top);
    EXPECT_EQ(irp->CurrentLocation, 4);  // none current yet

    EXPECT_EQ(IoCallDriver(top, irp.get()), STATUS_SUCCESS);

    EXPECT_EQ(levelOf(top).seenLocation, 3);
    EXPECT_EQ(levelOf(middle).seenLocation, 2);
    EXPECT_EQ(levelOf(bottom).seenLocation, 1);
    EXPECT_EQ(levelOf(top).seenDevice, top);
    EXPECT_EQ(levelOf(middle).seenDevice, middle);
    EXPECT_EQ(levelOf(bottom).seenDevice, bottom);
    EXPECT_EQ(log, (std::vector<std::string>{"dispatch top", "dispatch middle", "dispatch bottom",
                                             "completion middle on middle", "completion top on top",
                                             "originator"}));
    EXPECT_EQ(irp->CurrentLocation, 4);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp.get()),
              reinterpret_cast<PIO_STACK_LOCATION>(irp.get() + 1) + 3);
}

TEST_F(IrpTest, SkippedLevelHasNoRoutineAndTheBottomReusesItsLocation) {
    buildStack(Action::Complete, Action::Skip, Action::Forward);
    IrpPtr irp = newIrp(top);
    IoCallDriver(top, irp.get());
    // The middle gave its location to the bottom, so the bottom sees the same index.
    EXPECT_EQ(levelOf(middle).seenLocation, 2);
    EXPECT_EQ(levelOf(bottom).seenLocation, 2);
    EXPECT_EQ(levelOf(bottom).seenDevice, bottom);
    EXPECT_EQ(log, (std::vector<std::string>{"dispatch top", "dispatch middle", "dispatch bottom",
                                             "completion top on top", "originator"}));
}

TEST_F(IrpTest, CompletionRoutineRunsAsItsInvokeBitsAskForTheOutcome) {
    struct Case {
        const char* what;
        NTSTATUS status;
        bool cancelled;
        UCHAR invoke;
        bool called;
    };
    const Case cases[] = {
        {"success, on success", STATUS_SUCCESS, false, SL_INVOKE_ON_SUCCESS, true},
        {"success, on error only", STATUS_SUCCESS, false, SL_INVOKE_ON_ERROR, false},
        {"warning counts as error", STATUS_BUFFER_OVERFLOW, false, SL_INVOKE_ON_ERROR, true},
        {"error, on error", STATUS_UNSUCCESSFUL, false, SL_INVOKE_ON_ERROR, true},
        {"error, on success only", STATUS_UNSUCCESSFUL, false, SL_INVOKE_ON_SUCCESS, false},
        {"cancelled, on cancel only", STATUS_CANCELLED, true, SL_INVOKE_ON_CANCEL, true},
        {"cancel flag with success", STATUS_SUCCESS, true, SL_INVOKE_ON_CANCEL, true},
        {"cancelled, no bits", STATUS_CANCELLED, true, 0, false},
        {"information status is success", STATUS_OBJECT_NAME_EXISTS, false, SL_INVOKE_ON_SUCCESS,
         true},
    };
    bottom = addDevice("bottom", Action::Complete);
    top = addDevice("top", Action::Forward, bottom);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log.clear();
        levelOf(bottom).status = c.status;
        levelOf(top).invoke = c.invoke;
        IrpPtr irp = newIrp(top);
        irp->Cancel = c.cancelled;
        IoCallDriver(top, irp.get());
        bool called = std::find(log.begin(), log.end(), "completion top on top") != log.end();
        EXPECT_EQ(called, c.called);
        EXPECT_EQ(log.back(), "originator");
        EXPECT_EQ(irp->IoStatus.Status, c.status);
    }
}

TEST_F(IrpTest, MoreProcessingRequiredStopsTheWalkUntilTheOwnerCompletesAgain) {
    buildStack(Action::Complete, Action::Forward, Action::Forward);
    levelOf(middle).routineResult = STATUS_MORE_PROCESSING_REQUIRED;
    IrpPtr irp = newIrp(top);
    IoCallDriver(top, irp.get());
    EXPECT_EQ(log.back(), "completion middle on middle");
    EXPECT_EQ(irp->CurrentLocation, 2);  // the middle owns its location again

    // The middle finishes its work and completes the IRP a second time, which is allowed.
    log.clear();
    irp->IoStatus.Information = 7;
    IoCompleteRequest(irp.get(), IO_NO_INCREMENT);
    EXPECT_EQ(log, (std::vector<std::string>{"completion top on top", "originator"}));
    EXPECT_EQ(irp->IoStatus.Information, 7u);
}

TEST_F(IrpTest, PendingReturnedReachesEachLevelAsTheLevelsBelowPassIt) {
    constexpr UCHAR kAll = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
    struct Case {
        const char* what;
        Action bottom;
        Action middle;
        UCHAR middleInvoke;   // when the middle's routine runs
        bool middleMarks;     // the middle's routine propagates the pending mark
        bool topSeesPending;  // PendingReturned in the top's routine
        NTSTATUS returned;    // what IoCallDriver answers the sender
    };
    const Case cases[] = {
        {"completed synchronously", Action::Complete, Action::Forward, kAll, true, false,
         STATUS_SUCCESS},
        {"pended, middle skips", Action::Pend, Action::Skip, kAll, false, true, STATUS_PENDING},
        {"pended, middle routine marks", Action::Pend, Action::Forward, kAll, true, true,
         STATUS_PENDING},
        {"pended, middle routine forgets", Action::Pend, Action::Forward, kAll, false, false,
         STATUS_PENDING},
        {"pended, middle routine not invoked", Action::Pend, Action::Forward, SL_INVOKE_ON_ERROR,
         false, true, STATUS_PENDING},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        removeDevices();
        log.clear();
        buildStack(c.bottom, c.middle, Action::Forward);
        levelOf(middle).invoke = c.middleInvoke;
        levelOf(middle).markPendingInRoutine = c.middleMarks;
        IrpPtr irp = newIrp(top);
        EXPECT_EQ(IoCallDriver(top, irp.get()), c.returned);
        if (IRP* held = levelOf(bottom).held) {
            EXPECT_EQ(log.back(), "dispatch bottom");
            held->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(held, IO_NO_INCREMENT);
        }
        EXPECT_EQ(levelOf(top).routineSawPending, c.topSeesPending);
        EXPECT_EQ(log.back(), "originator");
    }
}

// The bus driver's capabilities query: an IRP sized for the device below, with the routine in
// the only location the sender formats; the routine keeps the IRP, which is reused and freed.
struct CapabilitiesSeen {
    std::vector<DEVICE_OBJECT*> devices;  // what the routine was called with
    UCHAR major = 0xff;                   // what the finished location still says
    UCHAR minor = 0xff;
};

NTSTATUS capabilitiesDone(DEVICE_OBJECT* device, IRP* irp, PVOID context) {
    auto* seen = static_cast<CapabilitiesSeen*>(context);
    seen->devices.push_back(device);
    seen->major = IoGetNextIrpStackLocation(irp)->MajorFunction;
    seen->minor = IoGetNextIrpStackLocation(irp)->MinorFunction;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS answerCapabilities(DEVICE_OBJECT* device, IRP* irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (location->MajorFunction == IRP_MJ_PNP &&
        location->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
        location->Parameters.DeviceCapabilities.Capabilities->UniqueID = 1;
        location->Parameters.DeviceCapabilities.Capabilities->Address = 3;
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

TEST_F(IrpTest, DriverAllocatedIrpIsSentCompletedReusedAndFreed) {
    DRIVER_OBJECT busDriver{};
    busDriver.MajorFunction[IRP_MJ_PNP] = answerCapabilities;
    DEVICE_OBJECT* pdo = nullptr;
    ASSERT_EQ(io().createDevice(&busDriver, {}, &pdo), STATUS_SUCCESS);
    DEVICE_OBJECT* filter = addDevice("filter", Action::Skip, pdo);
    ASSERT_EQ(filter->StackSize, 2);

    CapabilitiesSeen seen;
    PIRP irp = IoAllocateIrp(filter->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        DEVICE_CAPABILITIES capabilities{};
        capabilities.Size = sizeof capabilities;
        capabilities.Version = 1;
        capabilities.Address = capabilities.UINumber = 0xFFFFFFFF;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
        next->Parameters.DeviceCapabilities.Capabilities = &capabilities;
        IoSetCompletionRoutine(irp, capabilitiesDone, &seen, TRUE, TRUE, TRUE);

        EXPECT_EQ(IoCallDriver(filter, irp), STATUS_SUCCESS);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
        EXPECT_EQ(capabilities.Address, 3u);
        EXPECT_EQ(reinterpret_cast<const ULONG*>(&capabilities)[1] & 0x40, 0x40u);  // UniqueID
        // No location above the routine's: it is called without a device.
        ASSERT_EQ(seen.devices.size(), static_cast<size_t>(round + 1));
        EXPECT_EQ(seen.devices.back(), nullptr);
        // The location it formatted keeps its major function; the rest is cleared.
        EXPECT_EQ(seen.major, IRP_MJ_PNP);
        EXPECT_EQ(seen.minor, 0);

        IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
        EXPECT_FALSE(irp->Cancel);
    }
    IoFreeIrp(irp);
    io().detachDevice(pdo);
    removeDevices();
    io().deleteDevice(pdo);
}

TEST_F(IrpTest, UnhandledMajorFunctionIsCompletedAsInvalidRequest) {
    bottom = addDevice("bottom", Action::Complete);
    driver.MajorFunction[IRP_MJ_READ] = nullptr;
    IrpPtr irp = newIrp(bottom, IRP_MJ_READ);
    EXPECT_EQ(IoCallDriver(bottom, irp.get()), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(log, (std::vector<std::string>{"originator"}));
}

NTSTATUS keepIrp(DEVICE_OBJECT*, IRP*, PVOID) {
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IrpTest, CompletingTwiceIsReportedAndChangesNothing) {
    bottom = addDevice("bottom", Action::Complete);
    top = addDevice("top", Action::Forward, bottom);
    IrpPtr irp = newIrp(top);
    IoCallDriver(top, irp.get());
    log.clear();
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(irp.get(), IO_NO_INCREMENT);
    expectViolation(rt::Rule::ContractViolation, "completed twice");
    EXPECT_TRUE(log.empty());

    // A sender's routine that keeps the IRP leaves it done as well: completion reached the top.
    IoReuseIrp(irp.get(), STATUS_SUCCESS);
    IoGetNextIrpStackLocation(irp.get())->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp.get(), keepIrp, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(top, irp.get());
    IoCompleteRequest(irp.get(), IO_NO_INCREMENT);
    expectViolation(rt::Rule::ContractViolation, "completed twice");
}

TEST_F(IrpTest, FreeingOrReusingAnIrpInFlightIsReportedAndLeavesItUsable) {
    bottom = addDevice("bottom", Action::Pend);
    IrpPtr irp = newIrp(bottom);
    EXPECT_EQ(IoCallDriver(bottom, irp.get()), STATUS_PENDING);
    IoFreeIrp(irp.get());
    expectViolation(rt::Rule::ContractViolation, "still in flight");
    IoReuseIrp(irp.get(), STATUS_SUCCESS);
    expectViolation(rt::Rule::ContractViolation, "still in flight");

    IoCompleteRequest(levelOf(bottom).held, IO_NO_INCREMENT);
    EXPECT_EQ(log.back(), "originator");
}  // freed here, now legitimately

TEST_F(IrpTest, SendingWithNoLocationLeftIsReportedAndNotDispatched) {
    bottom = addDevice("bottom", Action::Complete);
    IrpPtr irp = IoManager::allocateIrp(1);
    IoSetNextIrpStackLocation(irp.get());  // the sender keeps the only location for itself
    EXPECT_EQ(IoCallDriver(bottom, irp.get()), STATUS_INVALID_PARAMETER);
    expectViolation(rt::Rule::ContractViolation, "no stack location left");
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(irp->CurrentLocation, 1);
}

TEST_F(IrpTest, DriverAllocationFailsAtItsFaultPointAndThePlatformsDoesNot) {
    rt::FaultInjector& faults = rt::Runtime::current()->faults();
    faults.failFrom(rt::fault::kIrpAllocate, 2);
    PIRP first = IoAllocateIrp(1, FALSE);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    // The platform's own IRPs (PnP, application I/O) are not driver allocations.
    EXPECT_NE(IoManager::allocateIrp(1), nullptr);
    EXPECT_EQ(faults.callCounts()[rt::fault::kIrpAllocate], 2u);
    IoFreeIrp(first);
}

TEST_F(IrpTest, IrpLeftAllocatedIsReportedAtTeardown) {
    IoAllocateIrp(1, FALSE);
    kernel.reset();
    expectViolation(rt::Rule::ReferenceLeak, "1 IRP(s) never freed");
}

}  // namespace
}  // namespace vel::kernel::test
