// Synchronous sends by the platform: waiting for a completion that comes later from another
// context.

#include "io_fixture.h"

namespace vel::kernel::test {
namespace {

class SendTest : public IoTest {};

TEST_F(SendTest, WaitsForACompletionThatArrivesLaterFromADpc) {
    DEVICE_OBJECT* bottom = addDevice("bottom", Action::Pend);
    DEVICE_OBJECT* top = addDevice("top", Action::Forward, bottom);
    // The device finishes the request from a DPC once the sender is waiting.
    runtime.queueDpc([&] {
        while (levelOf(bottom).held == nullptr) {
            runtime.yield();
        }
        IRP* held = levelOf(bottom).held;
        held->IoStatus.Status = STATUS_DEVICE_NOT_READY;
        IoCompleteRequest(held, IO_NO_INCREMENT);
    });

    IrpPtr irp = IoManager::allocateIrp(top->StackSize);
    IoGetNextIrpStackLocation(irp.get())->MajorFunction = IRP_MJ_PNP;
    EXPECT_EQ(io().sendAndWait(top, irp.get()), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(log, (std::vector<std::string>{"dispatch top", "dispatch bottom",
                                             "completion top on top"}));
    runtime.runUntilIdle();
}

TEST_F(SendTest, SynchronousCompletionReturnsAtOnce) {
    DEVICE_OBJECT* bottom = addDevice("bottom", Action::Complete);
    levelOf(bottom).status = STATUS_NOT_SUPPORTED;
    IrpPtr irp = IoManager::allocateIrp(bottom->StackSize);
    IoGetNextIrpStackLocation(irp.get())->MajorFunction = IRP_MJ_PNP;
    EXPECT_EQ(io().sendAndWait(bottom, irp.get()), STATUS_NOT_SUPPORTED);
}

TEST_F(SendTest, SendAndWaitAtDispatchLevelIsABlockingCallViolation) {
    DEVICE_OBJECT* bottom = addDevice("bottom", Action::Complete);
    IrpPtr irp = IoManager::allocateIrp(bottom->StackSize);
    IoGetNextIrpStackLocation(irp.get())->MajorFunction = IRP_MJ_PNP;
    rt::Irql previous = rt::raiseIrql(rt::Irql::Dispatch);
    EXPECT_EQ(io().sendAndWait(bottom, irp.get()), STATUS_SUCCESS);
    rt::lowerIrql(previous);
    expectViolation(rt::Rule::BlockingAtDispatch, "IRP sent to");
}

}  // namespace
}  // namespace vel::kernel::test
