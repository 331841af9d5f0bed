// Timers, driven in virtual time under a bare device.
#include <vector>

#include "test_driver.h"

namespace vel::test {
namespace {

struct Firing {
    rt::Ticks at;
    KIRQL irql;
};
std::vector<Firing> firings;
VOID (*inCallback)(WDFTIMER);

VOID RecordTimer(WDFTIMER Timer) {
    firings.push_back({rt::Runtime::current()->now(), KeGetCurrentIrql()});
    if (inCallback != nullptr) {
        inCallback(Timer);
    }
}

class TimerTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        firings.clear();
        inCallback = nullptr;
    }
    WDFTIMER create(ULONG periodMs = 0,
                    WDF_EXECUTION_LEVEL level = WdfExecutionLevelInheritFromParent) {
        WDF_TIMER_CONFIG config;
        WDF_TIMER_CONFIG_INIT_PERIODIC(&config, RecordTimer, static_cast<LONG>(periodMs));
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device();
        attributes.ExecutionLevel = level;
        WDFTIMER timer = nullptr;
        EXPECT_EQ(WdfTimerCreate(&config, &attributes, &timer), STATUS_SUCCESS);
        return timer;
    }
    static rt::Ticks ms(rt::Ticks n) { return n * rt::kTicksPerMs; }
};

TEST_F(TimerTest, CreationRules) {
    struct Case {
        const char* what;
        void (*edit)(WDF_TIMER_CONFIG*, WDF_OBJECT_ATTRIBUTES*, WDFDRIVER, WDFDEVICE);
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"valid", [](WDF_TIMER_CONFIG*, WDF_OBJECT_ATTRIBUTES*, WDFDRIVER, WDFDEVICE) {},
         STATUS_SUCCESS},
        {"child of a device's child",
         [](WDF_TIMER_CONFIG*, WDF_OBJECT_ATTRIBUTES* a, WDFDRIVER, WDFDEVICE d) {
             WDF_OBJECT_ATTRIBUTES child;
             WDF_OBJECT_ATTRIBUTES_INIT(&child);
             child.ParentObject = d;
             WdfObjectCreate(&child, &a->ParentObject);
         },
         STATUS_SUCCESS},
        {"no parent",
         [](WDF_TIMER_CONFIG*, WDF_OBJECT_ATTRIBUTES* a, WDFDRIVER, WDFDEVICE) {
             a->ParentObject = nullptr;
         },
         STATUS_WDF_PARENT_NOT_SPECIFIED},
        {"driver parent",
         [](WDF_TIMER_CONFIG*, WDF_OBJECT_ATTRIBUTES* a, WDFDRIVER drv, WDFDEVICE) {
             a->ParentObject = drv;
         },
         STATUS_INVALID_DEVICE_REQUEST},
        {"config size",
         [](WDF_TIMER_CONFIG* c, WDF_OBJECT_ATTRIBUTES*, WDFDRIVER, WDFDEVICE) { c->Size = 8; },
         STATUS_INFO_LENGTH_MISMATCH},
        {"no callback",
         [](WDF_TIMER_CONFIG* c, WDF_OBJECT_ATTRIBUTES*, WDFDRIVER, WDFDEVICE) {
             c->EvtTimerFunc = nullptr;
         },
         STATUS_INVALID_PARAMETER},
        {"period above MAXLONG",
         [](WDF_TIMER_CONFIG* c, WDF_OBJECT_ATTRIBUTES*, WDFDRIVER, WDFDEVICE) {
             c->Period = 0x80000000u;
         },
         STATUS_INVALID_PARAMETER},
        {"passive periodic",
         [](WDF_TIMER_CONFIG* c, WDF_OBJECT_ATTRIBUTES* a, WDFDRIVER, WDFDEVICE) {
             c->Period = 10;
             a->ExecutionLevel = WdfExecutionLevelPassive;
         },
         STATUS_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WDF_TIMER_CONFIG config;
        WDF_TIMER_CONFIG_INIT(&config, RecordTimer);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device();
        c.edit(&config, &attributes, driver(), device());
        WDFTIMER timer = nullptr;
        EXPECT_EQ(WdfTimerCreate(&config, &attributes, &timer), c.expected);
        EXPECT_EQ(timer != nullptr, NT_SUCCESS(c.expected));
        if (timer != nullptr) {
            EXPECT_EQ(WdfTimerGetParentObject(timer), attributes.ParentObject);
        }
    }
}

TEST_F(TimerTest, OneShotFiresOnceAtDispatchWhenDue) {
    WDFTIMER timer = create();
    EXPECT_FALSE(WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(10)));
    runtime().runUntilIdle();
    ASSERT_EQ(firings.size(), 1u);
    EXPECT_EQ(firings[0].at, ms(10));
    EXPECT_EQ(firings[0].irql, DISPATCH_LEVEL);
    EXPECT_FALSE(WdfTimerStop(timer, FALSE));  // nothing queued any more
}

TEST_F(TimerTest, StartReportsWhetherTheTimerWasQueuedAndResetsIt) {
    WDFTIMER timer = create();
    EXPECT_FALSE(WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(10)));
    EXPECT_TRUE(WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(20)));
    runtime().runUntilIdle();
    ASSERT_EQ(firings.size(), 1u);
    EXPECT_EQ(firings[0].at, ms(20));
    EXPECT_FALSE(WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(5)));
    EXPECT_TRUE(WdfTimerStop(timer, TRUE));
    runtime().runUntilIdle();
    EXPECT_EQ(firings.size(), 1u);
}

TEST_F(TimerTest, PeriodicFiresEveryPeriodUntilStopped) {
    WDFTIMER timer = create(10);
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(5));
    runtime().runUntilIdle(ms(36));
    std::vector<rt::Ticks> at;
    for (const Firing& f : firings) {
        at.push_back(f.at);
    }
    EXPECT_EQ(at, (std::vector<rt::Ticks>{ms(5), ms(15), ms(25), ms(35)}));
    EXPECT_TRUE(WdfTimerStop(timer, FALSE));
    runtime().runUntilIdle();
    EXPECT_EQ(firings.size(), 4u);
}

// A passive timer's callback sleeps 30 ms; a stop with wait returns only after it.
TEST_F(TimerTest, StopWithWaitWaitsForARunningCallback) {
    WDFTIMER timer = create(0, WdfExecutionLevelPassive);
    inCallback = [](WDFTIMER) {
        LARGE_INTEGER interval;
        interval.QuadPart = WDF_REL_TIMEOUT_IN_MS(30);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    };
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(10));
    runtime().runUntilIdle(ms(15));
    ASSERT_EQ(firings.size(), 1u);
    EXPECT_EQ(firings[0].irql, PASSIVE_LEVEL);
    EXPECT_FALSE(WdfTimerStop(timer, TRUE));
    EXPECT_EQ(runtime().now(), ms(40));
}

TEST_F(TimerTest, StopWithWaitFromItsOwnCallbackIsRefused) {
    static BOOLEAN stopped;
    stopped = TRUE;
    WDFTIMER timer = create();
    inCallback = [](WDFTIMER Timer) { stopped = WdfTimerStop(Timer, TRUE); };
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(1));
    runtime().runUntilIdle();
    EXPECT_FALSE(stopped);
    expectViolations({rt::Rule::ContractViolation});
}

TEST_F(TimerTest, DeletingAQueuedTimerCancelsIt) {
    WDFTIMER timer = create();
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(10));
    WdfObjectDelete(timer);
    runtime().runUntilIdle();
    EXPECT_TRUE(firings.empty());
    EXPECT_EQ(framework().liveObjectCount(), 2u);  // driver and device
}

TEST_F(TimerTest, ACallbackMayRestartOrDeleteItsTimer) {
    static int runs;
    runs = 0;
    WDFTIMER timer = create();
    inCallback = [](WDFTIMER Timer) {
        if (++runs < 3) {
            WdfTimerStart(Timer, WDF_REL_TIMEOUT_IN_MS(10));
        } else {
            WdfObjectDelete(Timer);
        }
    };
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(10));
    runtime().runUntilIdle();
    EXPECT_EQ(runs, 3);
    EXPECT_EQ(runtime().now(), ms(30));
    EXPECT_EQ(framework().liveObjectCount(), 2u);
}

}  // namespace
}  // namespace vel::test
