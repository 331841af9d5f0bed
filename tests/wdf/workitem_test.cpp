// Work items on the runtime's system workers.
#include "test_driver.h"

namespace vel::test {
namespace {

int runs;
KIRQL irql;
VOID (*inCallback)(WDFWORKITEM);

VOID CountRun(WDFWORKITEM Item) {
    ++runs;
    irql = KeGetCurrentIrql();
    if (inCallback != nullptr) {
        inCallback(Item);
    }
}

class WorkItemTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        runs = 0;
        inCallback = nullptr;
    }
    WDFWORKITEM create() {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, CountRun);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device();
        WDFWORKITEM item = nullptr;
        EXPECT_EQ(WdfWorkItemCreate(&config, &attributes, &item), STATUS_SUCCESS);
        return item;
    }
};

TEST_F(WorkItemTest, CreationRules) {
    struct Case {
        const char* what;
        void (*edit)(WDF_WORKITEM_CONFIG*, WDF_OBJECT_ATTRIBUTES*, WDFDRIVER);
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"valid", [](WDF_WORKITEM_CONFIG*, WDF_OBJECT_ATTRIBUTES*, WDFDRIVER) {}, STATUS_SUCCESS},
        {"no parent",
         [](WDF_WORKITEM_CONFIG*, WDF_OBJECT_ATTRIBUTES* a, WDFDRIVER) {
             a->ParentObject = nullptr;
         },
         STATUS_WDF_PARENT_NOT_SPECIFIED},
        {"driver parent",
         [](WDF_WORKITEM_CONFIG*, WDF_OBJECT_ATTRIBUTES* a, WDFDRIVER d) { a->ParentObject = d; },
         STATUS_INVALID_DEVICE_REQUEST},
        {"no callback",
         [](WDF_WORKITEM_CONFIG* c, WDF_OBJECT_ATTRIBUTES*, WDFDRIVER) {
             c->EvtWorkItemFunc = nullptr;
         },
         STATUS_INVALID_PARAMETER},
        {"config size",
         [](WDF_WORKITEM_CONFIG* c, WDF_OBJECT_ATTRIBUTES*, WDFDRIVER) { c->Size += 4; },
         STATUS_INFO_LENGTH_MISMATCH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, CountRun);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device();
        c.edit(&config, &attributes, driver());
        WDFWORKITEM item = nullptr;
        EXPECT_EQ(WdfWorkItemCreate(&config, &attributes, &item), c.expected);
        if (item != nullptr) {
            EXPECT_EQ(WdfWorkItemGetParentObject(item), device());
        }
    }
}

TEST_F(WorkItemTest, RunsOnceAtPassiveForEnqueuesBeforeItStarts) {
    WDFWORKITEM item = create();
    atDispatch([item] {
        WdfWorkItemEnqueue(item);
        WdfWorkItemEnqueue(item);
    });
    runtime().runUntilIdle();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(irql, PASSIVE_LEVEL);
}

TEST_F(WorkItemTest, EnqueueFromItsOwnCallbackRunsOnceMore) {
    WDFWORKITEM item = create();
    inCallback = [](WDFWORKITEM Item) {
        if (runs == 1) {
            WdfWorkItemEnqueue(Item);
            WdfWorkItemEnqueue(Item);
        }
    };
    WdfWorkItemEnqueue(item);
    runtime().runUntilIdle();
    EXPECT_EQ(runs, 2);
}

TEST_F(WorkItemTest, FlushWaitsForTheQueuedRun) {
    WDFWORKITEM item = create();
    inCallback = [](WDFWORKITEM) {
        LARGE_INTEGER interval;
        interval.QuadPart = WDF_REL_TIMEOUT_IN_MS(5);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    };
    WdfWorkItemEnqueue(item);
    WdfWorkItemFlush(item);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(runtime().now(), 5 * rt::kTicksPerMs);
    WdfWorkItemFlush(item);  // idle: returns at once
    EXPECT_EQ(runtime().now(), 5 * rt::kTicksPerMs);
}

TEST_F(WorkItemTest, DeleteWaitsForAQueuedRunExceptFromItsOwnCallback) {
    WDFWORKITEM item = create();
    WdfWorkItemEnqueue(item);
    WdfObjectDelete(item);
    EXPECT_EQ(runs, 1);

    WDFWORKITEM self = create();
    inCallback = [](WDFWORKITEM Item) {
        WdfObjectDelete(Item);
        WdfWorkItemGetParentObject(Item);  // still valid until the callback returns
    };
    WdfWorkItemEnqueue(self);
    runtime().runUntilIdle();
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(framework().liveObjectCount(), 2u);  // driver and device
    WdfWorkItemEnqueue(self);
    expectViolations({rt::Rule::UseAfterDelete});
}

TEST_F(WorkItemTest, FlushFromItsOwnCallbackIsRefused) {
    WDFWORKITEM item = create();
    inCallback = [](WDFWORKITEM Item) { WdfWorkItemFlush(Item); };
    WdfWorkItemEnqueue(item);
    runtime().runUntilIdle();
    EXPECT_EQ(runs, 1);
    expectViolations({rt::Rule::ContractViolation});
}

}  // namespace
}  // namespace vel::test
