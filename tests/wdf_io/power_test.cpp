// Power-managed queues across D0 exit and entry, and removal: EvtIoStop for each request the
// driver owns before EvtDeviceD0Exit, the wait for each acknowledgement, EvtIoResume for the
// requests kept, the requeued ones presented again, and the purge that ends every request.
#include <algorithm>
#include <map>

#include "io_fixture.h"

namespace vel::wdfio::test {
namespace {

// Requests are told apart by their read length: 1..4.
struct Seen {
    std::vector<std::string> log;
    std::map<size_t, WDFREQUEST> owned;
    // What EvtIoStop does with each request (by length): "keep", "requeue", "complete",
    // "ignore" (acknowledged later by the test).
    std::map<size_t, std::string> onStop;
    std::map<size_t, std::string> onPurge;
};
Seen seen;

size_t lengthOf(WDFREQUEST request) {
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(request, &parameters);
    return parameters.Parameters.Read.Length;
}

VOID OnRead(WDFQUEUE, WDFREQUEST request, size_t length) {
    seen.log.push_back("read " + std::to_string(length));
    seen.owned[length] = request;
    if (length == 4) {
        WdfRequestMarkCancelable(request, [](WDFREQUEST r) {
            seen.owned.erase(4);
            WdfRequestComplete(r, STATUS_CANCELLED);
        });
    }
}

VOID OnStop(WDFQUEUE, WDFREQUEST request, ULONG flags) {
    const size_t length = lengthOf(request);
    const bool purge = (flags & WdfRequestStopActionPurge) != 0;
    char text[64];
    std::snprintf(text, sizeof text, "stop %zu 0x%x", length, static_cast<unsigned>(flags));
    seen.log.push_back(text);
    const std::string action = (purge ? seen.onPurge : seen.onStop)[length];
    if ((flags & WdfRequestStopRequestCancelable) && action != "keep") {
        if (WdfRequestUnmarkCancelable(request) != STATUS_SUCCESS) {
            return;
        }
    }
    if (action == "keep") {
        WdfRequestStopAcknowledge(request, FALSE);
    } else if (action == "requeue") {
        seen.owned.erase(length);
        WdfRequestStopAcknowledge(request, TRUE);
    } else if (action == "complete") {
        seen.owned.erase(length);
        WdfRequestCompleteWithInformation(request, STATUS_CANCELLED, 0);
    }
}

VOID OnResume(WDFQUEUE, WDFREQUEST request) {
    seen.log.push_back("resume " + std::to_string(lengthOf(request)));
}

NTSTATUS OnD0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE) {
    seen.log.push_back("D0Entry");
    return STATUS_SUCCESS;
}
NTSTATUS OnD0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE) {
    seen.log.push_back("D0Exit");
    return STATUS_SUCCESS;
}

class PowerTest : public IoTest {
  protected:
    void SetUp() override {
        IoTest::SetUp();
        seen = Seen{};
        WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks_);
        callbacks_.EvtDeviceD0Entry = OnD0Entry;
        callbacks_.EvtDeviceD0Exit = OnD0Exit;
        hooks().pnpPower = &callbacks_;
        hooks().configure = [](WDFDEVICE device) {
            WDF_IO_QUEUE_CONFIG config;
            WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
            config.EvtIoRead = OnRead;
            config.EvtIoStop = OnStop;
            config.EvtIoResume = OnResume;
            ASSERT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE),
                      STATUS_SUCCESS);
        };
        plug();
        file_ = open();
        for (DWORD i = 0; i < 4; ++i) {
            read(file_, buffer_[i], i + 1, &o_[i]);
        }
        settle();
        seen.log.clear();
    }
    void TearDown() override {
        closeFile();
        IoTest::TearDown();
    }
    // Before a removal in the test: the removed driver is unloaded and cannot see the cleanup.
    void closeFile() {
        if (file_ != nullptr) {
            app().CloseHandle(file_);
            file_ = nullptr;
        }
    }

    WDF_PNPPOWER_EVENT_CALLBACKS callbacks_;
    HANDLE file_ = nullptr;
    char buffer_[4][4];
    io::OVERLAPPED o_[4];
};

TEST_F(PowerTest, SuspendAcknowledgeAndResumeAcrossD0ExitAndEntry) {
    seen.onStop = {{1, "keep"}, {2, "requeue"}, {3, "complete"}, {4, "keep"}};
    ASSERT_EQ(pnp().setSystemPower(pnp::PowerAction::Sleep), STATUS_SUCCESS);
    EXPECT_EQ(seen.log, (std::vector<std::string>{"stop 1 0x1", "stop 2 0x1", "stop 3 0x1",
                                                  "stop 4 0x10000001", "D0Exit"}));
    EXPECT_EQ(result(&o_[2]), STATUS_CANCELLED);
    seen.log.clear();
    ASSERT_EQ(pnp().wake(), STATUS_SUCCESS);
    settle();
    EXPECT_EQ(seen.log, (std::vector<std::string>{"D0Entry", "resume 1", "resume 4", "read 2"}));

    // Removal: the power-down first, then the purge, which must end every request.
    seen.log.clear();
    seen.onStop = {{1, "keep"}, {2, "keep"}, {4, "keep"}};
    seen.onPurge = {{1, "complete"}, {2, "complete"}, {4, "complete"}};
    closeFile();
    ASSERT_EQ(pnp().remove(pdo()), STATUS_SUCCESS);
    auto exit = std::find(seen.log.begin(), seen.log.end(), "D0Exit");
    ASSERT_NE(exit, seen.log.end());
    EXPECT_NE(std::find(exit, seen.log.end(), "stop 1 0x2"), seen.log.end());
    EXPECT_NE(std::find(exit, seen.log.end(), "stop 2 0x2"), seen.log.end());
    for (int i : {0, 1, 3}) {
        EXPECT_EQ(result(&o_[i]), STATUS_CANCELLED) << i;
    }
    EXPECT_TRUE(seen.owned.empty());
}

TEST_F(PowerTest, PowerDownWaitsForAnAcknowledgementMadeAfterEvtIoStop) {
    seen.onStop = {{1, "keep"}, {2, "keep"}, {3, "keep"}, {4, "ignore"}};
    // Acknowledged only later, from a timer-like DPC: the power-down waits for it.
    bool slept = false;
    runtime().spawn("sleeper", rt::ContextKind::Application, [&] {
        ASSERT_EQ(pnp().setSystemPower(pnp::PowerAction::Sleep), STATUS_SUCCESS);
        slept = true;
    });
    settle();
    EXPECT_FALSE(slept);
    EXPECT_EQ(std::count(seen.log.begin(), seen.log.end(), "D0Exit"), 0);
    WdfRequestStopAcknowledge(seen.owned[4], FALSE);  // EvtIoStop unmarked it
    settle();
    EXPECT_TRUE(slept);
    EXPECT_EQ(seen.log.back(), "D0Exit");
    ASSERT_EQ(pnp().wake(), STATUS_SUCCESS);
    settle();
    seen.onStop[4] = "keep";
    seen.onPurge = {{1, "complete"}, {2, "complete"}, {3, "complete"}, {4, "complete"}};
}

TEST_F(PowerTest, RemovalReportsARequestTheDriverStillOwns) {
    seen.onStop = {{1, "keep"}, {2, "keep"}, {3, "keep"}, {4, "keep"}};
    seen.onPurge = {{1, "complete"}, {2, "complete"}, {3, "keep"}, {4, "complete"}};
    closeFile();
    ASSERT_EQ(pnp().remove(pdo()), STATUS_SUCCESS);
    expectViolations({rt::Rule::RequestOwnedAtRemoval});
    // The framework ends it after the report.
    settle();
    EXPECT_EQ(result(&o_[2]), STATUS_CANCELLED);
}

TEST_F(PowerTest, AcknowledgingTwiceIsReported) {
    seen.onStop = {{1, "keep"}, {2, "keep"}, {3, "keep"}, {4, "keep"}};
    ASSERT_EQ(pnp().setSystemPower(pnp::PowerAction::Sleep), STATUS_SUCCESS);
    WdfRequestStopAcknowledge(seen.owned[1], FALSE);
    expectViolations({rt::Rule::AcknowledgedTwice});
    ASSERT_EQ(pnp().wake(), STATUS_SUCCESS);
    settle();
    seen.onPurge = {{1, "complete"}, {2, "complete"}, {3, "complete"}, {4, "complete"}};
}

}  // namespace
}  // namespace vel::wdfio::test
