// Queues: requests from the application reach the driver's callbacks by type and come back
// with the driver's status and Information; dispatch types, zero-length answers, state bits,
// creation and dispatching rules.
#include <cstring>
#include <deque>

#include "io_fixture.h"

namespace vel::wdfio::test {
namespace {

struct Seen {
    std::deque<WDFREQUEST> parked;  // requests the driver keeps
    std::vector<std::string> log;
    WDFQUEUE queue = nullptr;
    WDFQUEUE other = nullptr;
};
Seen seen;

class QueueTest : public IoTest {
  protected:
    void SetUp() override {
        IoTest::SetUp();
        seen = Seen{};
    }
    // Plugs the device with one default queue of this configuration.
    WDFDEVICE plugWith(WDF_IO_QUEUE_CONFIG config) {
        hooks().configure = [config](WDFDEVICE device) mutable {
            ASSERT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &seen.queue),
                      STATUS_SUCCESS);
        };
        return plug();
    }
    void completeParked(NTSTATUS status = STATUS_SUCCESS, ULONG_PTR information = 0) {
        WDFREQUEST request = seen.parked.front();
        seen.parked.pop_front();
        WdfRequestCompleteWithInformation(request, status, information);
    }
};

VOID Park(WDFQUEUE, WDFREQUEST request) {
    seen.parked.push_back(request);
}
VOID ParkRead(WDFQUEUE, WDFREQUEST request, size_t) {
    seen.parked.push_back(request);
}
VOID ParkWrite(WDFQUEUE, WDFREQUEST request, size_t length) {
    seen.log.push_back("write " + std::to_string(length));
    seen.parked.push_back(request);
}

// A read fills the buffer with 'r'; a buffered ioctl answers its input reversed; a write
// answers STATUS_WDF_BUSY, which the application sees rewritten.
VOID AnswerRead(WDFQUEUE, WDFREQUEST request, size_t length) {
    void* buffer = nullptr;
    ASSERT_EQ(WdfRequestRetrieveOutputBuffer(request, length, &buffer, nullptr), STATUS_SUCCESS);
    std::memset(buffer, 'r', length);
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, length);
}
VOID AnswerWrite(WDFQUEUE, WDFREQUEST request, size_t) {
    WdfRequestComplete(request, STATUS_WDF_BUSY);
}
VOID AnswerIoctl(WDFQUEUE, WDFREQUEST request, size_t out, size_t in, ULONG code) {
    char* input = nullptr;
    char* output = nullptr;
    ASSERT_EQ(WdfRequestRetrieveInputBuffer(request, in, reinterpret_cast<PVOID*>(&input), nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(
        WdfRequestRetrieveOutputBuffer(request, out, reinterpret_cast<PVOID*>(&output), nullptr),
        STATUS_SUCCESS);
    std::string text(input, in);
    for (size_t i = 0; i < in && i < out; ++i) {
        output[i] = text[in - 1 - i];
    }
    WdfRequestCompleteWithInformation(
        request, code == kIoctlBuffered ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED, std::min(in, out));
}

TEST_F(QueueTest, ApplicationRequestsReachTheHandlersAndReturnStatusAndInformation) {
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoRead = AnswerRead;
    config.EvtIoWrite = AnswerWrite;
    config.EvtIoDeviceControl = AnswerIoctl;
    plugWith(config);
    HANDLE file = open(true);

    char buffer[8] = {};
    DWORD bytes = 0;
    EXPECT_TRUE(app().ReadFile(file, buffer, 5, &bytes, nullptr));
    EXPECT_EQ(bytes, 5u);
    EXPECT_EQ(std::string(buffer, 6), std::string("rrrrr\0", 6));

    EXPECT_FALSE(app().WriteFile(file, "abc", 3, &bytes, nullptr));
    EXPECT_EQ(app().lastStatus(), STATUS_DEVICE_BUSY);  // STATUS_WDF_BUSY rewritten

    char out[4] = {};
    EXPECT_TRUE(app().DeviceIoControl(file, kIoctlBuffered, "abcd", 4, out, 4, &bytes, nullptr));
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(std::string(out, 4), "dcba");  // input and output share one system buffer

    // No handler for internal ioctls or the other majors: the framework answers.
    EXPECT_FALSE(app().FlushFileBuffers(file));
    EXPECT_EQ(app().lastStatus(), STATUS_INVALID_DEVICE_REQUEST);
    app().CloseHandle(file);
}

TEST_F(QueueTest, ZeroLengthTransfersAreAnsweredByTheFrameworkUnlessAllowed) {
    struct Case {
        const char* what;
        WDF_IO_QUEUE_DISPATCH_TYPE type;
        bool useDefault;
        bool allow;
        bool driverSees;
    };
    const Case cases[] = {
        {"EvtIoRead/Write", WdfIoQueueDispatchParallel, false, false, false},
        {"EvtIoDefault", WdfIoQueueDispatchParallel, true, false, false},
        {"manual retrieve", WdfIoQueueDispatchManual, false, false, false},
        {"EvtIoRead/Write, allowed", WdfIoQueueDispatchParallel, false, true, true},
        {"EvtIoDefault, allowed", WdfIoQueueDispatchParallel, true, true, true},
        {"manual retrieve, allowed", WdfIoQueueDispatchManual, false, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, c.type);
        config.AllowZeroLengthRequests = c.allow;
        if (c.type != WdfIoQueueDispatchManual) {
            if (c.useDefault) {
                config.EvtIoDefault = Park;
            } else {
                config.EvtIoRead = ParkRead;
                config.EvtIoWrite = ParkWrite;
            }
        }
        plugWith(config);
        HANDLE file = open();
        char buffer[1];
        io::OVERLAPPED r, w;
        read(file, buffer, 0, &r);
        write(file, buffer, 0, &w);
        settle();
        if (c.type == WdfIoQueueDispatchManual) {
            WDFREQUEST request;
            while (WdfIoQueueRetrieveNextRequest(seen.queue, &request) == STATUS_SUCCESS) {
                seen.parked.push_back(request);
            }
        }
        EXPECT_EQ(seen.parked.size(), c.driverSees ? 2u : 0u);
        if (!c.driverSees) {
            EXPECT_EQ(result(&r), STATUS_SUCCESS);
            EXPECT_EQ(result(&w), STATUS_SUCCESS);
        }
        while (!seen.parked.empty()) {
            completeParked();
        }
        settle();
        app().CloseHandle(file);
    }
}

TEST_F(QueueTest, SequentialQueuePresentsOneAtATimeInArrivalOrder) {
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchSequential);
    config.EvtIoWrite = ParkWrite;
    plugWith(config);
    HANDLE file = open();
    io::OVERLAPPED o[3];
    const char data[4] = "abc";
    for (DWORD i = 0; i < 3; ++i) {
        write(file, data, i + 1, &o[i]);
    }
    settle();
    ASSERT_EQ(seen.log, std::vector<std::string>{"write 1"});
    ULONG queued = 0, owned = 0;
    WdfIoQueueGetState(seen.queue, &queued, &owned);
    EXPECT_EQ(queued, 2u);
    EXPECT_EQ(owned, 1u);
    completeParked(STATUS_SUCCESS, 1);
    settle();
    completeParked(STATUS_SUCCESS, 2);
    settle();
    completeParked(STATUS_SUCCESS, 3);
    settle();
    EXPECT_EQ(seen.log, (std::vector<std::string>{"write 1", "write 2", "write 3"}));
    for (DWORD i = 0; i < 3; ++i) {
        DWORD bytes;
        EXPECT_EQ(result(&o[i], &bytes), STATUS_SUCCESS);
        EXPECT_EQ(bytes, i + 1);
    }
    app().CloseHandle(file);
}

TEST_F(QueueTest, ParallelQueueKeepsToItsPresentedRequestLimit) {
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.Settings.Parallel.NumberOfPresentedRequests = 2;
    config.EvtIoRead = ParkRead;
    plugWith(config);
    HANDLE file = open();
    char buffer[4][4];
    io::OVERLAPPED o[4];
    for (int i = 0; i < 4; ++i) {
        read(file, buffer[i], 4, &o[i]);
    }
    settle();
    EXPECT_EQ(seen.parked.size(), 2u);
    completeParked();
    settle();
    EXPECT_EQ(seen.parked.size(), 2u);  // one more presented in its place
    while (!seen.parked.empty()) {
        completeParked();
        settle();
    }
    for (auto& overlapped : o) {
        EXPECT_EQ(result(&overlapped), STATUS_SUCCESS);
    }
    app().CloseHandle(file);
}

TEST_F(QueueTest, StateBitsFollowEachTransition) {
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchManual);
    plugWith(config);
    HANDLE file = open();
    auto state = [&] { return static_cast<int>(WdfIoQueueGetState(seen.queue, nullptr, nullptr)); };
    constexpr int A = WdfIoQueueAcceptRequests, D = WdfIoQueueDispatchRequests,
                  N = WdfIoQueueNoRequests, O = WdfIoQueueDriverNoRequests, P = WdfIoQueuePnpHeld;

    EXPECT_EQ(state(), A | D | N | O);
    EXPECT_TRUE(WDF_IO_QUEUE_IDLE(WdfIoQueueGetState(seen.queue, nullptr, nullptr)));
    char buffer[3][4];
    io::OVERLAPPED o[3];
    read(file, buffer[0], 4, &o[0]);
    settle();
    EXPECT_EQ(state(), A | D | O);
    WDFREQUEST request = nullptr;
    WDFREQUEST none = nullptr;
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(seen.queue, &request), STATUS_SUCCESS);
    EXPECT_EQ(state(), A | D | N);
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(seen.queue, &none), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(none, nullptr);

    WdfIoQueueStop(seen.queue, nullptr, nullptr);
    EXPECT_EQ(state(), A | N);
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(seen.queue, &none), STATUS_WDF_PAUSED);
    WdfIoQueueStart(seen.queue);
    EXPECT_EQ(state(), A | D | N);

    WdfIoQueueDrain(seen.queue, nullptr, nullptr);
    EXPECT_EQ(state(), D | N);
    read(file, buffer[1], 4, &o[1]);  // answered at once: not accepting
    EXPECT_EQ(app().lastStatus(), STATUS_INVALID_DEVICE_STATE);
    WdfRequestComplete(request, STATUS_SUCCESS);
    EXPECT_TRUE(WDF_IO_QUEUE_DRAINED(WdfIoQueueGetState(seen.queue, nullptr, nullptr)));
    WdfIoQueueStart(seen.queue);
    EXPECT_EQ(state(), A | D | N | O);

    ASSERT_EQ(pnp().setSystemPower(pnp::PowerAction::Sleep), STATUS_SUCCESS);
    EXPECT_EQ(state(), A | D | N | O | P);
    EXPECT_FALSE(WDF_IO_QUEUE_READY(WdfIoQueueGetState(seen.queue, nullptr, nullptr)));
    ASSERT_EQ(pnp().wake(), STATUS_SUCCESS);
    EXPECT_EQ(state(), A | D | N | O);

    read(file, buffer[2], 4, &o[2]);
    settle();
    WdfIoQueuePurgeSynchronously(seen.queue);
    EXPECT_EQ(state(), D | N | O);
    EXPECT_TRUE(WDF_IO_QUEUE_PURGED(WdfIoQueueGetState(seen.queue, nullptr, nullptr)));
    EXPECT_EQ(result(&o[0]), STATUS_SUCCESS);
    EXPECT_EQ(result(&o[2]), STATUS_CANCELLED);
    app().CloseHandle(file);
}

TEST_F(QueueTest, CreationAndDispatchingRules) {
    struct Case {
        const char* what;
        void (*edit)(WDF_IO_QUEUE_CONFIG*);
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"valid", [](WDF_IO_QUEUE_CONFIG*) {}, STATUS_SUCCESS},
        {"size", [](WDF_IO_QUEUE_CONFIG* c) { c->Size = 4; }, STATUS_INFO_LENGTH_MISMATCH},
        {"dispatch type", [](WDF_IO_QUEUE_CONFIG* c) { c->DispatchType = WdfIoQueueDispatchMax; },
         STATUS_INVALID_PARAMETER},
        {"no handler", [](WDF_IO_QUEUE_CONFIG* c) { c->EvtIoRead = nullptr; },
         STATUS_WDF_NO_CALLBACK},
        {"manual with a handler",
         [](WDF_IO_QUEUE_CONFIG* c) { c->DispatchType = WdfIoQueueDispatchManual; },
         STATUS_INVALID_PARAMETER},
        {"limit on a sequential queue",
         [](WDF_IO_QUEUE_CONFIG* c) {
             c->DispatchType = WdfIoQueueDispatchSequential;
             c->Settings.Parallel.NumberOfPresentedRequests = 1;
         },
         STATUS_INVALID_PARAMETER},
    };
    hooks().configure = [&](WDFDEVICE device) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            WDF_IO_QUEUE_CONFIG config;
            WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchParallel);
            config.EvtIoRead = ParkRead;
            c.edit(&config);
            WDFQUEUE queue = nullptr;
            EXPECT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &queue),
                      c.expected);
        }
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchParallel);
        config.EvtIoRead = ParkRead;
        EXPECT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, nullptr),
                  STATUS_INVALID_PARAMETER_4);
        ASSERT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &seen.queue),
                  STATUS_SUCCESS);
        ASSERT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &seen.other),
                  STATUS_SUCCESS);
        EXPECT_EQ(WdfDeviceConfigureRequestDispatching(device, seen.queue, WdfRequestTypeWrite),
                  STATUS_INVALID_DEVICE_REQUEST);  // no write handler
        EXPECT_EQ(WdfDeviceConfigureRequestDispatching(device, seen.queue, WdfRequestTypeCleanup),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(WdfDeviceConfigureRequestDispatching(device, seen.queue, WdfRequestTypeRead),
                  STATUS_SUCCESS);
        EXPECT_EQ(WdfDeviceConfigureRequestDispatching(device, seen.other, WdfRequestTypeRead),
                  STATUS_WDF_BUSY);
        EXPECT_EQ(WdfIoQueueGetDevice(seen.queue), device);
    };
    WDFDEVICE device = plug();
    // Reads go to the configured queue; writes have no queue at all.
    HANDLE file = open();
    char buffer[4];
    io::OVERLAPPED r, w;
    read(file, buffer, 4, &r);
    write(file, buffer, 4, &w);
    EXPECT_EQ(app().lastStatus(), STATUS_INVALID_DEVICE_REQUEST);
    settle();
    ASSERT_EQ(seen.parked.size(), 1u);
    EXPECT_EQ(WdfRequestGetIoQueue(seen.parked.front()), seen.queue);
    completeParked();
    settle();
    // The default queue can only come before the first start.
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoRead = ParkRead;
    EXPECT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, nullptr),
              STATUS_INVALID_DEVICE_STATE);
    app().CloseHandle(file);
}

// Closing a handle cancels the requests of that file still waiting in a queue; those the
// driver owns stay its own. The driver sees each request's file object.
TEST_F(QueueTest, CleanupCancelsTheFilesWaitingRequests) {
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchManual);
    plugWith(config);
    HANDLE first = open();
    HANDLE second = open();
    char buffer[3][4];
    io::OVERLAPPED o[3];
    read(first, buffer[0], 4, &o[0]);
    read(first, buffer[1], 4, &o[1]);
    read(second, buffer[2], 4, &o[2]);
    settle();
    WDFREQUEST owned = nullptr;
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(seen.queue, &owned), STATUS_SUCCESS);
    WDFFILEOBJECT file = WdfRequestGetFileObject(owned);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(WdfFileObjectWdmGetFileObject(file), app().fileObject(first));
    app().CloseHandle(first);
    settle();
    EXPECT_EQ(result(&o[0]), STATUS_PENDING);
    EXPECT_EQ(result(&o[1]), STATUS_CANCELLED);
    EXPECT_EQ(result(&o[2]), STATUS_PENDING);
    WdfRequestComplete(owned, STATUS_SUCCESS);
    WDFREQUEST other = nullptr;
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(seen.queue, &other), STATUS_SUCCESS);
    WdfRequestComplete(other, STATUS_SUCCESS);
    settle();
    EXPECT_EQ(result(&o[0]), STATUS_SUCCESS);
    EXPECT_EQ(result(&o[2]), STATUS_SUCCESS);
    app().CloseHandle(second);
}

// The ready callback takes nothing itself: the test retrieves what it wants, so that the
// notifications reflect only the queue's empty-to-non-empty transitions.
VOID Ready(WDFQUEUE queue, WDFCONTEXT context) {
    EXPECT_EQ(queue, seen.queue);
    seen.log.push_back(static_cast<const char*>(context));
}

TEST_F(QueueTest, ReadyNotifyReportsEachArrivalAtAnEmptyManualQueue) {
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchManual);
    plugWith(config);
    HANDLE file = open();
    char buffer[5][1];
    io::OVERLAPPED o[5];
    auto retrieveAll = [&] {
        WDFREQUEST request = nullptr;
        while (WdfIoQueueRetrieveNextRequest(seen.queue, &request) == STATUS_SUCCESS) {
            seen.parked.push_back(request);
        }
    };

    // Registered while a request waits: notified at once.
    read(file, buffer[0], 1, &o[0]);
    settle();
    ASSERT_EQ(WdfIoQueueReadyNotify(seen.queue, Ready, const_cast<char*>("ready")), STATUS_SUCCESS);
    settle();
    EXPECT_EQ(seen.log, std::vector<std::string>{"ready"});
    // A second arrival at a queue that is not empty is no transition.
    read(file, buffer[1], 1, &o[1]);
    settle();
    EXPECT_EQ(seen.log.size(), 1u);
    // Emptied by the driver (it still owns the requests), the next arrival is one.
    retrieveAll();
    read(file, buffer[2], 1, &o[2]);
    settle();
    EXPECT_EQ(seen.log.size(), 2u);
    retrieveAll();

    // Stopped: an arrival is not reported until the queue starts again.
    WdfIoQueueStop(seen.queue, nullptr, nullptr);
    read(file, buffer[3], 1, &o[3]);
    settle();
    EXPECT_EQ(seen.log.size(), 2u);
    WdfIoQueueStart(seen.queue);
    settle();
    EXPECT_EQ(seen.log.size(), 3u);
    retrieveAll();

    // One registration at a time; NULL clears it, after which arrivals are silent.
    EXPECT_EQ(WdfIoQueueReadyNotify(seen.queue, Ready, const_cast<char*>("again")),
              STATUS_INVALID_DEVICE_REQUEST);
    WdfIoQueueStop(seen.queue, nullptr, nullptr);
    EXPECT_EQ(WdfIoQueueReadyNotify(seen.queue, nullptr, nullptr), STATUS_SUCCESS);
    WdfIoQueueStart(seen.queue);
    read(file, buffer[4], 1, &o[4]);
    settle();
    EXPECT_EQ(seen.log.size(), 3u);
    EXPECT_EQ(WdfIoQueueReadyNotify(seen.queue, Ready, const_cast<char*>("again")), STATUS_SUCCESS);
    settle();
    EXPECT_EQ(seen.log.back(), "again");
    retrieveAll();
    EXPECT_EQ(seen.parked.size(), 5u);
    while (!seen.parked.empty()) {
        completeParked();
    }
    settle();
    app().CloseHandle(file);
}

TEST_F(QueueTest, ReadyNotifyIsForManualQueuesOnly) {
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchSequential);
    config.EvtIoRead = ParkRead;
    plugWith(config);
    EXPECT_EQ(WdfIoQueueReadyNotify(seen.queue, Ready, nullptr), STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
}  // namespace vel::wdfio::test
