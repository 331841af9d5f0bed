// I/O targets: sends by target state and option, the time-out rewrite, cancelling a sent
// request, and stops that cancel or wait for what was sent. The target is opened on a toy WDM
// device whose behaviour each test sets.
#include <deque>

#include "io_fixture.h"
#include "vel/kernel/io.h"

namespace vel::wdfio::test {
namespace {

enum class Lower {
    Complete,        // completes at once with `status`, Information 7
    PendCancelable,  // holds the IRP; a cancel completes it STATUS_CANCELLED
    Pend,            // holds the IRP and ignores cancels
};

struct World {
    Lower lower = Lower::Complete;
    NTSTATUS status = STATUS_SUCCESS;
    std::deque<IRP*> held;
    int dispatched = 0;
    WDFIOTARGET target = nullptr;
    std::vector<NTSTATUS> completions;  // statuses the completion routine saw
    const rt::Context* completionContext = nullptr;
    bool forget = false;  // queue requests are sent and forgotten
    bool probe = false;   // queue requests are only checked against the target, then completed
    std::vector<NTSTATUS> changes;  // what WdfRequestChangeTarget answered for them
};
World world;

VOID LowerCancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    world.held.erase(std::find(world.held.begin(), world.held.end(), irp));
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS LowerDispatch(PDEVICE_OBJECT, PIRP irp) {
    ++world.dispatched;
    switch (world.lower) {
        case Lower::Complete:
            irp->IoStatus.Status = world.status;
            irp->IoStatus.Information = 7;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return world.status;
        case Lower::PendCancelable:
        case Lower::Pend:
            IoMarkIrpPending(irp);
            world.held.push_back(irp);
            if (world.lower == Lower::PendCancelable) {
                IoSetCancelRoutine(irp, LowerCancel);
                if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
                    world.held.pop_back();
                    irp->IoStatus.Status = STATUS_CANCELLED;
                    IoCompleteRequest(irp, IO_NO_INCREMENT);
                }
            }
            return STATUS_PENDING;
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

// The lower driver completes the oldest IRP it holds.
void completeHeld(NTSTATUS status) {
    IRP* irp = world.held.front();
    world.held.pop_front();
    IoSetCancelRoutine(irp, nullptr);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 7;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID Recorded(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT) {
    world.completions.push_back(params->IoStatus.Status);
    world.completionContext = rt::Runtime::current()->currentContext();
}

// A queue request forwarded to the target and completed from its completion routine.
VOID ForwardIoctl(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
    if (world.probe) {
        world.changes.push_back(WdfRequestChangeTarget(request, world.target));
        WdfRequestComplete(request, STATUS_SUCCESS);
        return;
    }
    if (world.forget) {
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
        EXPECT_TRUE(WdfRequestSend(request, world.target, &options));
        return;
    }
    WdfRequestFormatRequestUsingCurrentType(request);
    WdfRequestSetCompletionRoutine(
        request,
        [](WDFREQUEST r, WDFIOTARGET t, PWDF_REQUEST_COMPLETION_PARAMS p, WDFCONTEXT c) {
            Recorded(r, t, p, c);
            WdfRequestComplete(r, p->IoStatus.Status);
        },
        nullptr);
    if (!WdfRequestSend(request, world.target, WDF_NO_SEND_OPTIONS)) {
        WdfRequestComplete(request, WdfRequestGetStatus(request));
    }
}

class TargetTest : public IoTest {
  protected:
    void SetUp() override {
        IoTest::SetUp();
        world = World{};
        for (auto& dispatch : lowerDriver_.MajorFunction) {
            dispatch = LowerDispatch;
        }
        lowerDriver_.Type = IO_TYPE_DRIVER;
        ASSERT_EQ(kernel::IoManager::current().createDevice(&lowerDriver_, {}, &lower_),
                  STATUS_SUCCESS);
        lower_->Flags &= ~DO_DEVICE_INITIALIZING;
        hooks().configure = [this](WDFDEVICE device) {
            ASSERT_EQ(WdfIoTargetCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &world.target),
                      STATUS_SUCCESS);
            EXPECT_EQ(WdfIoTargetGetState(world.target), WdfIoTargetClosed);
            WDF_IO_TARGET_OPEN_PARAMS params;
            WDF_IO_TARGET_OPEN_PARAMS_INIT_EXISTING_DEVICE(&params, lower_);
            ASSERT_EQ(WdfIoTargetOpen(world.target, &params), STATUS_SUCCESS);
            EXPECT_EQ(WdfIoTargetWdmGetTargetDeviceObject(world.target), lower_);
            WDF_IO_QUEUE_CONFIG config;
            WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
            config.EvtIoDeviceControl = ForwardIoctl;
            ASSERT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE),
                      STATUS_SUCCESS);
        };
        device_ = plug();
    }
    // The device (and its target's reference on the toy device) goes first, then the toy
    // device, then the platform.
    void TearDown() override {
        while (!world.held.empty()) {
            completeHeld(STATUS_CANCELLED);
        }
        settle();
        pnp().remove(pdo());
        kernel::IoManager::current().deleteDevice(lower_);
        IoTest::TearDown();
    }

    WDFREQUEST created() {
        WDFREQUEST request = nullptr;
        EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, world.target, &request),
                  STATUS_SUCCESS);
        EXPECT_EQ(WdfIoTargetFormatRequestForIoctl(world.target, request, kIoctlBuffered, nullptr,
                                                   nullptr, nullptr, nullptr),
                  STATUS_SUCCESS);
        WdfRequestSetCompletionRoutine(request, Recorded, nullptr);
        return request;
    }

    DRIVER_OBJECT lowerDriver_{};
    DEVICE_OBJECT* lower_ = nullptr;
    WDFDEVICE device_ = nullptr;
};

TEST_F(TargetTest, SendByTargetStateAndOptions) {
    constexpr ULONG None = 0, Ignore = WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE,
                    Sync = WDF_REQUEST_SEND_OPTION_SYNCHRONOUS,
                    Timeout = WDF_REQUEST_SEND_OPTION_TIMEOUT,
                    Forget = WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET;
    constexpr NTSTATUS OK = STATUS_SUCCESS, STATE = STATUS_INVALID_DEVICE_STATE;
    struct Case {
        WDF_IO_TARGET_STATE state;
        ULONG flags;
        bool sent;
        NTSTATUS status;  // what the request reports after the send (and its completion)
    };
    const Case cases[] = {
        {WdfIoTargetStarted, None, true, OK},
        {WdfIoTargetStarted, Ignore, true, OK},
        {WdfIoTargetStarted, Sync, true, OK},
        {WdfIoTargetStarted, Timeout, true, OK},
        {WdfIoTargetStarted, Forget, false, STATE},  // a created request cannot be forgotten
        {WdfIoTargetStarted, Forget | Sync, false, STATUS_INVALID_PARAMETER},
        {WdfIoTargetStopped, None, false, STATE},
        {WdfIoTargetStopped, Ignore, true, OK},
        {WdfIoTargetStopped, Sync, false, STATE},
        {WdfIoTargetStopped, Timeout, false, STATE},
        {WdfIoTargetStopped, Sync | Ignore, true, OK},
        {WdfIoTargetClosed, None, false, STATE},
        {WdfIoTargetClosed, Ignore, false, STATE},
    };
    WDFREQUEST request = created();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "state " << c.state << " flags 0x" << std::hex << c.flags);
        world.completions.clear();
        world.dispatched = 0;
        WDF_REQUEST_REUSE_PARAMS reuse;
        WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
        ASSERT_EQ(WdfRequestReuse(request, &reuse), STATUS_SUCCESS);
        ASSERT_EQ(WdfIoTargetFormatRequestForIoctl(world.target, request, kIoctlBuffered, nullptr,
                                                   nullptr, nullptr, nullptr),
                  STATUS_SUCCESS);
        WdfRequestSetCompletionRoutine(request, Recorded, nullptr);
        if (c.state == WdfIoTargetStopped) {
            WdfIoTargetStop(world.target, WdfIoTargetLeaveSentIoPending);
        } else if (c.state == WdfIoTargetClosed) {
            WdfIoTargetClose(world.target);
        }
        EXPECT_EQ(WdfIoTargetGetState(world.target), c.state);
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, c.flags);
        if (c.flags & Timeout) {
            options.Timeout = WDF_REL_TIMEOUT_IN_SEC(1);
        }
        EXPECT_EQ(WdfRequestSend(request, world.target, &options) != FALSE, c.sent);
        settle();
        EXPECT_EQ(WdfRequestGetStatus(request), c.status);
        EXPECT_EQ(world.dispatched, c.sent ? 1 : 0);
        // The completion routine runs for every send that went (synchronous ones included).
        EXPECT_EQ(world.completions.size(), c.sent ? 1u : 0u);
        if (c.state == WdfIoTargetClosed) {
            WDF_IO_TARGET_OPEN_PARAMS params;
            WDF_IO_TARGET_OPEN_PARAMS_INIT_EXISTING_DEVICE(&params, lower_);
            ASSERT_EQ(WdfIoTargetOpen(world.target, &params), STATUS_SUCCESS);
        }
        ASSERT_EQ(WdfIoTargetStart(world.target), STATUS_SUCCESS);
    }
    WDF_REQUEST_SEND_OPTIONS bad;
    WDF_REQUEST_SEND_OPTIONS_INIT(&bad, 0);
    bad.Size = 4;
    EXPECT_FALSE(WdfRequestSend(request, world.target, &bad));
    EXPECT_EQ(WdfRequestGetStatus(request), STATUS_INVALID_PARAMETER);
    WdfObjectDelete(request);
}

TEST_F(TargetTest, TimedOutSendsReportIoTimeout) {
    struct Case {
        const char* what;
        Lower lower;
        bool synchronous;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"lower never completes, honours the cancel", Lower::PendCancelable, false,
         STATUS_IO_TIMEOUT},
        {"same, synchronous", Lower::PendCancelable, true, STATUS_IO_TIMEOUT},
        {"lower completes late with success", Lower::Pend, false, STATUS_SUCCESS},
        {"lower answers in time", Lower::Complete, false, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        world.lower = c.lower;
        world.completions.clear();
        WDFREQUEST request = created();
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options,
                                      c.synchronous ? WDF_REQUEST_SEND_OPTION_SYNCHRONOUS : 0);
        WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(50));
        const rt::Ticks start = runtime().now();
        if (c.synchronous) {
            runtime().spawn("sync sender", rt::ContextKind::Pnp,
                            [&] { EXPECT_TRUE(WdfRequestSend(request, world.target, &options)); });
        } else {
            EXPECT_TRUE(WdfRequestSend(request, world.target, &options));
        }
        settle();
        if (c.lower == Lower::Pend) {
            EXPECT_TRUE(world.completions.empty());  // the cancel found no routine
            completeHeld(STATUS_SUCCESS);
            settle();
        }
        ASSERT_EQ(world.completions.size(), 1u);
        EXPECT_EQ(world.completions[0], c.expected);
        EXPECT_EQ(WdfRequestGetStatus(request), c.expected);
        if (c.expected == STATUS_IO_TIMEOUT) {
            EXPECT_EQ(runtime().now() - start, 50 * rt::kTicksPerMs);
        }
        WdfObjectDelete(request);
    }
}

// The application cancels a request the driver sent on: the lower driver completes it as
// cancelled, and it comes back once through the driver's completion routine.
TEST_F(TargetTest, ApplicationCancelOfASentRequestComesBackThroughTheCompletionRoutine) {
    world.lower = Lower::PendCancelable;
    HANDLE file = open();
    io::OVERLAPPED o;
    ioctl(file, kIoctlBuffered, "ab", 2, nullptr, 0, &o);
    settle();
    ASSERT_EQ(world.held.size(), 1u);
    EXPECT_TRUE(app().CancelIoEx(file, &o));
    settle();
    EXPECT_EQ(world.completions, std::vector<NTSTATUS>{STATUS_CANCELLED});
    EXPECT_EQ(result(&o), STATUS_CANCELLED);
    app().CloseHandle(file);
}

// Sent and forgotten: the IRP goes down in the request's own stack location and comes back to
// the application with the lower driver's answer; the driver's request is gone and its queue
// no longer counts it.
TEST_F(TargetTest, SendAndForgetHandsTheIrpDown) {
    world.forget = true;
    HANDLE file = open();
    io::OVERLAPPED o;
    char out[8];
    ioctl(file, kIoctlBuffered, "ab", 2, out, sizeof out, &o);
    settle();
    DWORD bytes = 0;
    EXPECT_EQ(result(&o, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 7u);
    EXPECT_EQ(world.dispatched, 1);
    EXPECT_TRUE(world.completions.empty());
    app().CloseHandle(file);
}

// The driver deletes a remote target and a queue of its own before removal; removal then
// disposes only what is left.
TEST_F(TargetTest, TargetsAndQueuesDeletedByTheDriverLeaveTheDevice) {
    WDFIOTARGET extra = nullptr;
    ASSERT_EQ(WdfIoTargetCreate(device_, WDF_NO_OBJECT_ATTRIBUTES, &extra), STATUS_SUCCESS);
    WDF_IO_TARGET_OPEN_PARAMS params;
    WDF_IO_TARGET_OPEN_PARAMS_INIT_EXISTING_DEVICE(&params, lower_);
    ASSERT_EQ(WdfIoTargetOpen(extra, &params), STATUS_SUCCESS);
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    WDFQUEUE queue = nullptr;
    ASSERT_EQ(WdfIoQueueCreate(device_, &config, WDF_NO_OBJECT_ATTRIBUTES, &queue), STATUS_SUCCESS);
    runtime().spawn("deleter", rt::ContextKind::Pnp, [&] {
        WdfObjectDelete(extra);
        WdfObjectDelete(queue);
    });
    settle();
    ASSERT_EQ(pnp().remove(pdo()), STATUS_SUCCESS);
}

TEST_F(TargetTest, CancelSentRequestDefersTheCompletionRoutine) {
    world.lower = Lower::PendCancelable;
    WDFREQUEST request = created();
    EXPECT_TRUE(WdfRequestSend(request, world.target, WDF_NO_SEND_OPTIONS));
    settle();
    // The lower driver completes inside the cancel; the routine runs from a DPC, not on the
    // caller's stack.
    EXPECT_TRUE(WdfRequestCancelSentRequest(request));
    settle();
    EXPECT_EQ(world.completions, std::vector<NTSTATUS>{STATUS_CANCELLED});
    EXPECT_NE(world.completionContext, runtime().currentContext());
    EXPECT_FALSE(WdfRequestCancelSentRequest(request));  // back already
    WdfObjectDelete(request);
}

TEST_F(TargetTest, StopWithCancelReturnsOnlyAfterTheCompletions) {
    struct Case {
        WDF_IO_TARGET_SENT_IO_ACTION action;
        Lower lower;
    };
    for (const Case& c : {Case{WdfIoTargetCancelSentIo, Lower::PendCancelable},
                          Case{WdfIoTargetWaitForSentIoToComplete, Lower::Pend}}) {
        SCOPED_TRACE(c.action);
        world.lower = c.lower;
        world.completions.clear();
        WDFREQUEST requests[2] = {created(), created()};
        for (WDFREQUEST r : requests) {
            EXPECT_TRUE(WdfRequestSend(r, world.target, WDF_NO_SEND_OPTIONS));
        }
        size_t seenAtReturn = 99;
        bool returned = false;
        runtime().spawn("stopper", rt::ContextKind::Pnp, [&] {
            WdfIoTargetStop(world.target, c.action);
            seenAtReturn = world.completions.size();
            returned = true;
        });
        settle();
        if (c.lower == Lower::Pend) {
            EXPECT_FALSE(returned);  // waits without cancelling
            completeHeld(STATUS_SUCCESS);
            completeHeld(STATUS_SUCCESS);
            settle();
        }
        ASSERT_TRUE(returned);
        EXPECT_EQ(seenAtReturn, 2u);
        EXPECT_EQ(WdfIoTargetGetState(world.target), WdfIoTargetStopped);
        ASSERT_EQ(WdfIoTargetStart(world.target), STATUS_SUCCESS);
        for (WDFREQUEST r : requests) {
            WdfObjectDelete(r);
        }
    }
}

// A queue request has only the stack locations below its device; a request the driver created
// gets an IRP deep enough for the target.
TEST_F(TargetTest, ChangeTargetChecksTheRequestsStackLocations) {
    world.probe = true;
    HANDLE file = open();
    for (CCHAR depth : {CCHAR(1), CCHAR(8)}) {
        lower_->StackSize = depth;
        io::OVERLAPPED o;
        ioctl(file, kIoctlBuffered, "x", 1, nullptr, 0, &o);
        settle();
        EXPECT_EQ(result(&o), STATUS_SUCCESS);
    }
    EXPECT_EQ(world.changes, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_REQUEST_NOT_ACCEPTED}));
    app().CloseHandle(file);

    WDFREQUEST request = nullptr;
    ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, nullptr, &request), STATUS_SUCCESS);
    EXPECT_EQ(WdfRequestChangeTarget(request, world.target), STATUS_SUCCESS);
    EXPECT_GE(WdfRequestWdmGetIrp(request)->StackCount, 8);
    ASSERT_EQ(WdfIoTargetFormatRequestForIoctl(world.target, request, kIoctlBuffered, nullptr,
                                               nullptr, nullptr, nullptr),
              STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(request, Recorded, nullptr);
    ASSERT_TRUE(WdfRequestSend(request, world.target, WDF_NO_SEND_OPTIONS));
    settle();
    EXPECT_EQ(world.completions, std::vector<NTSTATUS>{STATUS_SUCCESS});
    WdfObjectDelete(request);
}

}  // namespace
}  // namespace vel::wdfio::test
