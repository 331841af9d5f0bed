// Requests: buffer retrieval by type, method and length; completion exactly once; cancellation
// from the application and the framework's cancel rules (no callback inside MarkCancelable,
// a handle that outlives its completion until the cancel callback has returned); forwarding.
#include <cstring>
#include <deque>
#include <map>

#include "io_fixture.h"

namespace vel::wdfio::test {
namespace {

struct Seen {
    std::deque<WDFREQUEST> parked;
    std::vector<std::string> log;
    std::map<std::string, NTSTATUS> retrievals;
    bool aliased = false;
    WDFQUEUE queue = nullptr;
    WDFQUEUE other = nullptr;
    WDFQUEUE cancelQueueSeen = reinterpret_cast<WDFQUEUE>(1);
    int cancels = 0;
    const rt::Context* cancelContext = nullptr;
    std::function<void(WDFREQUEST)> onWrite;
};
Seen seen;

VOID ParkRead(WDFQUEUE, WDFREQUEST request, size_t) {
    seen.parked.push_back(request);
}
VOID RunOnWrite(WDFQUEUE, WDFREQUEST request, size_t) {
    seen.log.push_back("write begins");
    seen.onWrite(request);
    seen.log.push_back("write returns");
}

// Completes the request as cancelled when it still belongs to a queue; a request some other
// path completed already has none (and its handle is still valid here).
VOID CancelRequest(WDFREQUEST request) {
    ++seen.cancels;
    seen.cancelContext = rt::Runtime::current()->currentContext();
    seen.cancelQueueSeen = WdfRequestGetIoQueue(request);
    seen.log.push_back("cancel callback");
    if (seen.cancelQueueSeen != nullptr) {
        WdfRequestComplete(request, STATUS_CANCELLED);
    }
}

// Tries every retrieval on the request and completes it.
VOID RetrieveAll(WDFQUEUE, WDFREQUEST request) {
    constexpr size_t kRequired = 4;
    PVOID in = nullptr;
    PVOID out = nullptr;
    size_t length = 0;
    seen.retrievals["InputBuffer"] =
        WdfRequestRetrieveInputBuffer(request, kRequired, &in, &length);
    seen.retrievals["OutputBuffer"] =
        WdfRequestRetrieveOutputBuffer(request, kRequired, &out, &length);
    seen.aliased = in != nullptr && in == out;
    WDFMEMORY memory;
    seen.retrievals["InputMemory"] = WdfRequestRetrieveInputMemory(request, &memory);
    seen.retrievals["OutputMemory"] = WdfRequestRetrieveOutputMemory(request, &memory);
    WdfRequestComplete(request, STATUS_SUCCESS);
}

class RequestTest : public IoTest {
  protected:
    void SetUp() override {
        IoTest::SetUp();
        seen = Seen{};
    }
    WDFDEVICE plugWith(WDF_IO_QUEUE_CONFIG config,
                       WDF_SYNCHRONIZATION_SCOPE scope = WdfSynchronizationScopeInheritFromParent) {
        hooks().configure = [config, scope](WDFDEVICE device) mutable {
            WDF_OBJECT_ATTRIBUTES attributes;
            WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
            attributes.SynchronizationScope = scope;
            ASSERT_EQ(WdfIoQueueCreate(device, &config, &attributes, &seen.queue), STATUS_SUCCESS);
        };
        return plug();
    }
};

TEST_F(RequestTest, BufferRetrievalByTypeMethodAndLength) {
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoDefault = RetrieveAll;
    config.AllowZeroLengthRequests = TRUE;
    plugWith(config);
    HANDLE file = open(true);

    constexpr NTSTATUS OK = STATUS_SUCCESS, SMALL = STATUS_BUFFER_TOO_SMALL,
                       BAD = STATUS_INVALID_DEVICE_REQUEST;
    enum Kind { Read, Write, Ioctl };
    struct Case {
        const char* what;
        Kind kind;
        ULONG code;
        DWORD length;  // both lengths for an ioctl
        NTSTATUS inBuffer, outBuffer, inMemory, outMemory;
    };
    const Case cases[] = {
        {"read, 0", Read, 0, 0, BAD, SMALL, BAD, SMALL},
        {"read, short", Read, 0, 2, BAD, SMALL, BAD, OK},
        {"read, enough", Read, 0, 8, BAD, OK, BAD, OK},
        {"write, 0", Write, 0, 0, SMALL, BAD, SMALL, BAD},
        {"write, short", Write, 0, 2, SMALL, BAD, OK, BAD},
        {"write, enough", Write, 0, 8, OK, BAD, OK, BAD},
        {"buffered, 0", Ioctl, kIoctlBuffered, 0, SMALL, SMALL, SMALL, SMALL},
        {"buffered, short", Ioctl, kIoctlBuffered, 2, SMALL, SMALL, OK, OK},
        {"buffered, enough", Ioctl, kIoctlBuffered, 8, OK, OK, OK, OK},
        {"in direct, enough", Ioctl, kIoctlInDirect, 8, OK, OK, OK, OK},
        {"out direct, short", Ioctl, kIoctlOutDirect, 2, SMALL, SMALL, OK, OK},
        {"neither from user mode, 0", Ioctl, kIoctlNeither, 0, SMALL, SMALL, SMALL, SMALL},
        {"neither from user mode", Ioctl, kIoctlNeither, 8, BAD, BAD, BAD, BAD},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        seen.retrievals.clear();
        char in[8] = "1234567";
        char out[8] = {};
        DWORD bytes;
        switch (c.kind) {
            case Read:
                app().ReadFile(file, out, c.length, &bytes, nullptr);
                break;
            case Write:
                app().WriteFile(file, in, c.length, &bytes, nullptr);
                break;
            case Ioctl:
                app().DeviceIoControl(file, c.code, in, c.length, out, c.length, &bytes, nullptr);
                break;
        }
        EXPECT_EQ(seen.retrievals["InputBuffer"], c.inBuffer);
        EXPECT_EQ(seen.retrievals["OutputBuffer"], c.outBuffer);
        EXPECT_EQ(seen.retrievals["InputMemory"], c.inMemory);
        EXPECT_EQ(seen.retrievals["OutputMemory"], c.outMemory);
        EXPECT_EQ(seen.aliased, c.code == kIoctlBuffered && c.length >= 4);
    }
    app().CloseHandle(file);
}

TEST_F(RequestTest, CompletionHappensOnceAndASecondIsReported) {
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoRead = ParkRead;
    plugWith(config);
    HANDLE file = open();
    char buffer[4];
    io::OVERLAPPED o;
    read(file, buffer, 4, &o);
    settle();
    ASSERT_EQ(seen.parked.size(), 1u);
    WDFREQUEST request = seen.parked.front();
    WdfRequestCompleteWithInformation(request, STATUS_WDF_TOO_FRAGMENTED, 3);
    settle();
    DWORD bytes;
    EXPECT_EQ(result(&o, &bytes), STATUS_INVALID_DEVICE_REQUEST);
    WdfRequestComplete(request, STATUS_SUCCESS);
    expectViolations({rt::Rule::UseAfterDelete});
    app().CloseHandle(file);
}

// The framework's own callback lock does not count; a spin lock of the driver's does.
TEST_F(RequestTest, CompletionUnderTheDriversSpinLockIsReported) {
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoRead = [](WDFQUEUE, WDFREQUEST request, size_t length) {
        if (length == 1) {
            WdfRequestComplete(request, STATUS_SUCCESS);  // under the device lock only
            return;
        }
        WDFSPINLOCK lock = nullptr;
        ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
        WdfSpinLockAcquire(lock);
        WdfRequestComplete(request, STATUS_SUCCESS);
        WdfSpinLockRelease(lock);
        WdfObjectDelete(lock);
    };
    plugWith(config, WdfSynchronizationScopeDevice);
    HANDLE file = open(true);
    char buffer[2];
    DWORD bytes;
    EXPECT_TRUE(app().ReadFile(file, buffer, 1, &bytes, nullptr));
    EXPECT_TRUE(app().ReadFile(file, buffer, 2, &bytes, nullptr));
    expectViolations({rt::Rule::CompletedWithSpinLock});
    app().CloseHandle(file);
}

TEST_F(RequestTest, ApplicationCancelReachesTheCancelCallbackUnderTheDeviceLock) {
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoRead = [](WDFQUEUE, WDFREQUEST request, size_t) {
        WdfRequestMarkCancelable(request, [](WDFREQUEST r) {
            seen.log.push_back(KeGetCurrentIrql() == DISPATCH_LEVEL ? "cancel at dispatch"
                                                                    : "cancel at passive");
            WdfRequestComplete(r, STATUS_CANCELLED);
        });
        seen.parked.push_back(request);
    };
    plugWith(config, WdfSynchronizationScopeDevice);
    HANDLE file = open();
    char buffer[2][4];
    io::OVERLAPPED o[2];
    read(file, buffer[0], 4, &o[0]);
    read(file, buffer[1], 4, &o[1]);
    settle();
    ASSERT_EQ(seen.parked.size(), 2u);
    EXPECT_TRUE(app().CancelIoEx(file, &o[0]));
    settle();
    EXPECT_EQ(result(&o[0]), STATUS_CANCELLED);
    EXPECT_EQ(result(&o[1]), STATUS_PENDING);
    EXPECT_EQ(seen.log, std::vector<std::string>{"cancel at dispatch"});
    // Closing the handle cancels nothing by itself; the cleanup leaves owned requests alone.
    EXPECT_EQ(WdfRequestUnmarkCancelable(seen.parked[1]), STATUS_SUCCESS);
    WdfRequestComplete(seen.parked[1], STATUS_SUCCESS);
    settle();
    EXPECT_EQ(result(&o[1]), STATUS_SUCCESS);
    app().CloseHandle(file);
}

TEST_F(RequestTest, MarkingACancelledRequestRunsItsCallbackOnlyAfterTheCurrentCallback) {
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoRead = ParkRead;
    config.EvtIoWrite = RunOnWrite;
    plugWith(config, WdfSynchronizationScopeDevice);
    HANDLE file = open();
    char buffer[3][4];
    io::OVERLAPPED o[4];
    read(file, buffer[0], 4, &o[0]);
    read(file, buffer[1], 4, &o[1]);
    read(file, buffer[2], 4, &o[2]);
    settle();
    ASSERT_EQ(seen.parked.size(), 3u);
    // Owned and not cancelable: the cancel only sets the IRP's flag.
    ASSERT_TRUE(app().CancelIo(file));
    settle();
    EXPECT_EQ(result(&o[0]), STATUS_PENDING);
    EXPECT_TRUE(WdfRequestIsCanceled(seen.parked[0]));

    // Inside the device's own callback.
    seen.onWrite = [](WDFREQUEST write) {
        WdfRequestMarkCancelable(seen.parked[0], CancelRequest);
        seen.log.push_back("marked");
        EXPECT_EQ(WdfRequestMarkCancelableEx(seen.parked[1], CancelRequest), STATUS_CANCELLED);
        WdfRequestComplete(write, STATUS_SUCCESS);
    };
    write(file, "x", 1, &o[3]);
    settle();
    EXPECT_EQ(seen.log, (std::vector<std::string>{"write begins", "marked", "write returns",
                                                  "cancel callback"}));
    EXPECT_EQ(result(&o[0]), STATUS_CANCELLED);
    EXPECT_EQ(result(&o[3]), STATUS_SUCCESS);

    // From outside any callback (the test's own context): a DPC runs it, not the caller.
    seen.log.clear();
    WdfRequestMarkCancelable(seen.parked[2], CancelRequest);
    settle();
    EXPECT_EQ(seen.log, std::vector<std::string>{"cancel callback"});
    EXPECT_NE(seen.cancelContext, runtime().currentContext());
    EXPECT_EQ(result(&o[2]), STATUS_CANCELLED);

    // MarkCancelableEx left the request to the driver.
    EXPECT_EQ(result(&o[1]), STATUS_PENDING);
    WdfRequestComplete(seen.parked[1], STATUS_CANCELLED);
    settle();
    EXPECT_EQ(result(&o[1]), STATUS_CANCELLED);
    EXPECT_EQ(seen.cancels, 2);
    app().CloseHandle(file);
}

// The driver takes the request out of its slot after the cancel began: UnmarkCancelable says
// STATUS_CANCELLED, the driver completes it anyway, and the cancel callback still gets a valid
// handle, with no queue.
TEST_F(RequestTest, CompletionAfterUnmarkLostTheRaceKeepsTheHandleForTheCancelCallback) {
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoRead = [](WDFQUEUE, WDFREQUEST request, size_t) {
        WdfRequestMarkCancelable(request, CancelRequest);
        seen.parked.push_back(request);
    };
    config.EvtIoWrite = RunOnWrite;
    plugWith(config, WdfSynchronizationScopeDevice);
    HANDLE file = open();
    char buffer[4];
    io::OVERLAPPED o[2];
    read(file, buffer, 4, &o[0]);
    settle();
    ASSERT_EQ(seen.parked.size(), 1u);
    seen.onWrite = [](WDFREQUEST write) {
        WDFREQUEST parked = seen.parked.front();
        IoCancelIrp(WdfRequestWdmGetIrp(parked));  // the callback waits for the device lock
        EXPECT_EQ(WdfRequestUnmarkCancelable(parked), STATUS_CANCELLED);
        WdfRequestCompleteWithInformation(parked, STATUS_SUCCESS, 2);
        WdfRequestComplete(write, STATUS_SUCCESS);
    };
    write(file, "x", 1, &o[1]);
    settle();
    EXPECT_EQ(seen.log,
              (std::vector<std::string>{"write begins", "write returns", "cancel callback"}));
    EXPECT_EQ(seen.cancelQueueSeen, nullptr);
    DWORD bytes;
    EXPECT_EQ(result(&o[0], &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 2u);
    app().CloseHandle(file);
}

TEST_F(RequestTest, ForwardingMovesOwnershipAndARefusingQueueLeavesItWithTheDriver) {
    hooks().configure = [](WDFDEVICE device) {
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
        config.EvtIoRead = ParkRead;
        ASSERT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &seen.queue),
                  STATUS_SUCCESS);
        WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
        ASSERT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &seen.other),
                  STATUS_SUCCESS);
    };
    plug();
    HANDLE file = open();
    char buffer[4];
    io::OVERLAPPED o;
    read(file, buffer, 4, &o);
    settle();
    WDFREQUEST request = seen.parked.front();
    ULONG owned = 0;
    WdfIoQueueDrain(seen.other, nullptr, nullptr);
    EXPECT_EQ(WdfRequestForwardToIoQueue(request, seen.other), STATUS_WDF_BUSY);
    WdfIoQueueGetState(seen.queue, nullptr, &owned);
    EXPECT_EQ(owned, 1u);
    WdfIoQueueStart(seen.other);
    EXPECT_EQ(WdfRequestForwardToIoQueue(request, seen.other), STATUS_SUCCESS);
    WdfIoQueueGetState(seen.queue, nullptr, &owned);
    EXPECT_EQ(owned, 0u);
    WdfRequestComplete(request, STATUS_SUCCESS);  // no longer the driver's
    expectViolations({rt::Rule::RequestCompletedAfterForward});
    WDFREQUEST again = nullptr;
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(seen.other, &again), STATUS_SUCCESS);
    EXPECT_EQ(again, request);
    EXPECT_EQ(WdfRequestGetIoQueue(again), seen.other);
    EXPECT_EQ(WdfRequestRequeue(again), STATUS_SUCCESS);  // manual queue: back at the head
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(seen.other, &again), STATUS_SUCCESS);
    WdfRequestCompleteWithInformation(again, STATUS_SUCCESS, 4);
    settle();
    EXPECT_EQ(result(&o), STATUS_SUCCESS);
    app().CloseHandle(file);
}

}  // namespace
}  // namespace vel::wdfio::test
