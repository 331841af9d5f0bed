// Synchronous sends by the platform: waiting for a completion that comes later from another
// context.

#include "io_fixture.h"

namespace vel::kernel::test {
namespace {

class SendTest : public IoTest {};

TEST_F(SendTest, WaitsForACompletionThatArrivesLaterFromADpc) {
    DEVICE_OBJECT* bottom = addDevice("bottom", Action::CompleteFromDpc);
    levelOf(bottom).status = STATUS_DEVICE_NOT_READY;
    DEVICE_OBJECT* top = addDevice("top", Action::Forward, bottom);
    IrpPtr irp = IoManager::allocateIrp(top->StackSize);
    IoGetNextIrpStackLocation(irp.get())->MajorFunction = IRP_MJ_PNP;
    EXPECT_EQ(io().sendAndWait(top, irp.get()), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(log, (std::vector<std::string>{"dispatch top", "dispatch bottom",
                                             "completion top on top"}));
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

// In wall time the completion runs on a dispatch worker in parallel with the sender, before or
// after it starts waiting; each order must wake it exactly once.
TEST(SendWallTimeTest, CompletionOnAnotherThreadWakesTheSender) {
    rt::Runtime runtime(rt::Runtime::Options{.mode = rt::Mode::WallTime});
    {
        Kernel kernel;
        IoManager& io = kernel.io();
        DRIVER_OBJECT driver{};
        for (auto& dispatch : driver.MajorFunction) {
            dispatch = toyDispatch;
        }
        std::vector<std::string> log;
        DeviceObjectOptions options;
        options.extensionSize = sizeof(Level);
        DEVICE_OBJECT* device = nullptr;
        ASSERT_EQ(io.createDevice(&driver, options, &device), STATUS_SUCCESS);
        Level& level = levelOf(device);
        level = Level{};
        level.name = "device";
        level.action = Action::CompleteFromDpc;
        level.log = &log;
        for (int round = 0; round < 50; ++round) {
            level.status = round % 2 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
            IrpPtr irp = IoManager::allocateIrp(device->StackSize);
            IoGetNextIrpStackLocation(irp.get())->MajorFunction = IRP_MJ_READ;
            ASSERT_EQ(io.sendAndWait(device, irp.get()), level.status);
        }
        io.deleteDevice(device);
    }
    for (const auto& violation : runtime.verifier().take()) {
        ADD_FAILURE() << "verifier: " << violation.toString();
    }
}

}  // namespace
}  // namespace vel::kernel::test
