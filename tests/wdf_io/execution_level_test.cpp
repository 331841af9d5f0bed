// Execution levels: a queue of a passive device, or a passive queue, runs its callbacks at
// passive level, so they may block; a request that arrives at dispatch level is handed to a
// system worker. A queue serialised by a dispatch-level device runs them at dispatch level,
// where the verifier reports a blocking call.
#include <vector>

#include "io_fixture.h"

namespace vel::wdfio::test {
namespace {

struct Case {
    const char* name;
    WDF_EXECUTION_LEVEL deviceLevel;
    WDF_EXECUTION_LEVEL queueLevel;
    WDF_SYNCHRONIZATION_SCOPE queueScope;
    bool arrivesAtDispatch;  // sent from a DPC rather than the application's thread
    rt::Irql expected;       // the level the callback runs at
};

struct Seen {
    std::vector<rt::Irql> irqls;
    std::vector<rt::ContextKind> kinds;
};
Seen seen;

// Records where it runs, then blocks for a millisecond before completing.
VOID BlockingInternal(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
    seen.irqls.push_back(rt::currentIrql());
    seen.kinds.push_back(rt::Runtime::current()->currentContext()->kind());
    LARGE_INTEGER interval;
    interval.QuadPart = -rt::kTicksPerMs;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    WdfRequestComplete(request, STATUS_SUCCESS);
}

class ExecutionLevelTest : public IoTest, public ::testing::WithParamInterface<Case> {
  protected:
    void SetUp() override {
        IoTest::SetUp();
        seen = Seen{};
    }
};

TEST_P(ExecutionLevelTest, QueueCallbacksRunAtTheirLevel) {
    const Case c = GetParam();
    WDF_OBJECT_ATTRIBUTES deviceAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&deviceAttributes);
    deviceAttributes.ExecutionLevel = c.deviceLevel;
    deviceAttributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    hooks().deviceAttributes = &deviceAttributes;
    hooks().configure = [c](WDFDEVICE device) {
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
        config.EvtIoInternalDeviceControl = BlockingInternal;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ExecutionLevel = c.queueLevel;
        attributes.SynchronizationScope = c.queueScope;
        ASSERT_EQ(WdfIoQueueCreate(device, &config, &attributes, WDF_NO_HANDLE), STATUS_SUCCESS);
    };
    WDFDEVICE device = plug();
    ASSERT_NE(device, nullptr);
    SentIrp sent[2];
    for (SentIrp& each : sent) {
        sendInternal(device, 0, 0, &each, c.arrivesAtDispatch);
    }
    settle();
    for (const SentIrp& each : sent) {
        ASSERT_TRUE(each.done);
        EXPECT_EQ(each.status, STATUS_SUCCESS);
    }
    EXPECT_EQ(seen.irqls, std::vector<rt::Irql>(2, c.expected));
    if (c.expected == rt::Irql::Passive && c.arrivesAtDispatch) {
        EXPECT_EQ(seen.kinds, std::vector<rt::ContextKind>(2, rt::ContextKind::SystemWorker));
    }
    if (c.expected == rt::Irql::Dispatch) {
        expectViolations({rt::Rule::BlockingWithSpinLock, rt::Rule::BlockingWithSpinLock});
    }
}

constexpr auto kPassive = WdfExecutionLevelPassive;
constexpr auto kDispatch = WdfExecutionLevelDispatch;
constexpr auto kInherit = WdfExecutionLevelInheritFromParent;

INSTANTIATE_TEST_SUITE_P(
    Levels, ExecutionLevelTest,
    ::testing::Values(Case{"PassiveDeviceFromApplication", kPassive, kInherit,
                           WdfSynchronizationScopeDevice, false, rt::Irql::Passive},
                      Case{"PassiveDeviceFromDpc", kPassive, kInherit,
                           WdfSynchronizationScopeDevice, true, rt::Irql::Passive},
                      Case{"PassiveQueueScopeQueueFromDpc", kDispatch, kPassive,
                           WdfSynchronizationScopeQueue, true, rt::Irql::Passive},
                      Case{"PassiveQueueNoScopeFromDpc", kDispatch, kPassive,
                           WdfSynchronizationScopeNone, true, rt::Irql::Passive},
                      Case{"DispatchDeviceFromApplication", kDispatch, kInherit,
                           WdfSynchronizationScopeDevice, false, rt::Irql::Dispatch}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vel::wdfio::test
