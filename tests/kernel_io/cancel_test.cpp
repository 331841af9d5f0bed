// IoCancelIrp and the cancel spin lock.

#include "io_fixture.h"

namespace vel::kernel::test {
namespace {

class CancelTest : public IoTest {
  protected:
    void SetUp() override {
        bottom = addDevice("bottom", Action::PendCancelable);
        top = addDevice("top", Action::Forward, bottom);
        levelOf(top).invoke = SL_INVOKE_ON_CANCEL;  // the routine runs only for a cancel
        irp = IoManager::allocateIrp(top->StackSize);
        IoGetNextIrpStackLocation(irp.get())->MajorFunction = IRP_MJ_READ;
        IoManager::setCompletionNotify(irp.get(), [this](IRP*) { log.push_back("originator"); });
        ASSERT_EQ(IoCallDriver(top, irp.get()), STATUS_PENDING);
        log.clear();
    }

    void TearDown() override {
        irp.reset();
        IoTest::TearDown();
    }

    DEVICE_OBJECT* bottom = nullptr;
    DEVICE_OBJECT* top = nullptr;
    IrpPtr irp;
};

TEST_F(CancelTest, CancelRoutineRunsWithTheLockAndCompletesTheIrp) {
    EXPECT_TRUE(IoCancelIrp(irp.get()));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(irp->CancelRoutine, nullptr);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(log,
              (std::vector<std::string>{"cancel bottom", "completion top on top", "originator"}));
    EXPECT_EQ(rt::currentIrql(), rt::Irql::Passive);  // the routine's release restored it
}

TEST_F(CancelTest, WithoutCancelRoutineOnlyTheFlagIsSet) {
    // The owner takes the routine out first, as a driver does before completing.
    EXPECT_EQ(IoSetCancelRoutine(irp.get(), nullptr), toyCancel);
    EXPECT_FALSE(IoCancelIrp(irp.get()));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(rt::currentIrql(), rt::Irql::Passive);

    IRP* held = levelOf(bottom).held;
    held->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(held, IO_NO_INCREMENT);
    EXPECT_EQ(log, (std::vector<std::string>{"completion top on top", "originator"}));
}

TEST_F(CancelTest, CancelLockRaisesToDispatchAndRestoresTheCallersLevel) {
    KIRQL irql = 0xff;
    IoAcquireCancelSpinLock(&irql);
    EXPECT_EQ(irql, PASSIVE_LEVEL);
    EXPECT_EQ(rt::currentIrql(), rt::Irql::Dispatch);
    IoReleaseCancelSpinLock(irql);
    EXPECT_EQ(rt::currentIrql(), rt::Irql::Passive);
    // Clean up the pending IRP through its own cancel path.
    EXPECT_TRUE(IoCancelIrp(irp.get()));
}

VOID cancelKeepingTheLock(DEVICE_OBJECT* device, IRP* irp) {
    levelOf(device).log->push_back("cancel without release");
}

TEST_F(CancelTest, CancelRoutineThatKeepsTheLockIsReportedAndTheLockReleased) {
    IoSetCancelRoutine(irp.get(), cancelKeepingTheLock);
    EXPECT_TRUE(IoCancelIrp(irp.get()));
    expectViolation(rt::Rule::ContractViolation, "without releasing the cancel spin lock");
    EXPECT_EQ(rt::currentIrql(), rt::Irql::Passive);

    // The lock is free again: the owner can take it and complete the IRP.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoReleaseCancelSpinLock(irql);
    IRP* held = levelOf(bottom).held;
    held->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(held, IO_NO_INCREMENT);
    EXPECT_EQ(log.back(), "originator");
}

}  // namespace
}  // namespace vel::kernel::test
