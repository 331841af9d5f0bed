// Spin locks and wait locks, in virtual time.
#include "test_driver.h"

namespace vel::test {
namespace {

using LockTest = DriverTest;

TEST_F(LockTest, SpinLockRaisesToDispatchWhileHeld) {
    WDFSPINLOCK lock;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    WdfSpinLockAcquire(lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    WdfSpinLockRelease(lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(LockTest, WaitLockTimesOutInVirtualTimeAndIsNotRecursive) {
    WDFWAITLOCK lock;
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    ASSERT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
    const rt::Ticks start = runtime().now();

    LONGLONG timeout = WDF_REL_TIMEOUT_IN_MS(50);
    EXPECT_EQ(WdfWaitLockAcquire(lock, &timeout), STATUS_TIMEOUT);  // the owner again
    EXPECT_EQ(runtime().now() - start, 50 * rt::kTicksPerMs);

    // Another context waits 30 ms in vain, then one that waits long enough gets the lock
    // when it is released at 100 ms.
    NTSTATUS shortWait = STATUS_PENDING;
    NTSTATUS longWait = STATUS_PENDING;
    rt::Ticks acquiredAt = 0;
    runtime().spawn("short", rt::ContextKind::Application, [&] {
        LONGLONG t = WDF_REL_TIMEOUT_IN_MS(30);
        shortWait = WdfWaitLockAcquire(lock, &t);
    });
    runtime().spawn("long", rt::ContextKind::Application, [&] {
        LONGLONG t = WDF_REL_TIMEOUT_IN_SEC(1);
        longWait = WdfWaitLockAcquire(lock, &t);
        acquiredAt = runtime().now();
        WdfWaitLockRelease(lock);
    });
    LARGE_INTEGER delay;
    delay.QuadPart = WDF_REL_TIMEOUT_IN_MS(50);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    WdfWaitLockRelease(lock);
    runtime().runUntilIdle();
    EXPECT_EQ(shortWait, STATUS_TIMEOUT);
    EXPECT_EQ(longWait, STATUS_SUCCESS);
    EXPECT_EQ(acquiredAt - start, 100 * rt::kTicksPerMs);
}

TEST_F(LockTest, ZeroTimeoutTriesAtDispatchWithoutReport) {
    WDFWAITLOCK lock;
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    NTSTATUS first = STATUS_PENDING;
    NTSTATUS second = STATUS_PENDING;
    atDispatch([&] {
        LONGLONG zero = 0;
        first = WdfWaitLockAcquire(lock, &zero);
        second = WdfWaitLockAcquire(lock, &zero);
        WdfWaitLockRelease(lock);
    });
    EXPECT_EQ(first, STATUS_SUCCESS);
    EXPECT_EQ(second, STATUS_TIMEOUT);
    EXPECT_TRUE(NT_SUCCESS(second));  // callers must compare with STATUS_SUCCESS
}

// A deliberately wrong driver: its timer callback (dispatch level) takes a wait lock without
// a zero timeout.
WDFWAITLOCK timerLock;
VOID AcquireInTimer(WDFTIMER) {
    if (WdfWaitLockAcquire(timerLock, nullptr) == STATUS_SUCCESS) {
        WdfWaitLockRelease(timerLock);
    }
}

TEST_F(LockTest, WaitLockAtDispatchIsReported) {
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &timerLock), STATUS_SUCCESS);
    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT(&config, AcquireInTimer);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device();
    WDFTIMER timer;
    ASSERT_EQ(WdfTimerCreate(&config, &attributes, &timer), STATUS_SUCCESS);
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(1));
    runtime().runUntilIdle();
    std::vector<rt::Violation> violations = takeViolations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, rt::Rule::BlockingAtDispatch);
    EXPECT_NE(violations[0].object.find("WdfWaitLockAcquire"), std::string::npos);
}

}  // namespace
}  // namespace vel::test
