// WDM IRP preprocessing: a driver's preprocess callback for a major function (optionally only
// some minor functions) sees the IRP before the framework does, and either completes it itself
// or moves it past its own stack location and hands it back with
// WdfDeviceWdmDispatchPreprocessedIrp, after which the framework dispatches it to the queues.
#include <string>
#include <vector>

#include "io_fixture.h"

namespace vel::wdfio::test {
namespace {

constexpr ULONG kCompleteHere = 1;  // the preprocess callback answers these itself
constexpr ULONG kSkip = 2;          // skipped and handed back
constexpr ULONG kCopy = 3;          // copied to the next location with a completion routine

struct Seen {
    std::vector<std::string> log;
};
Seen seen;

NTSTATUS PreprocessComplete(PDEVICE_OBJECT, PIRP irp, PVOID) {
    seen.log.push_back("preprocess completion " +
                       std::to_string(static_cast<ULONG>(irp->IoStatus.Information)));
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
}

NTSTATUS Preprocess(WDFDEVICE device, PIRP irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    seen.log.push_back("preprocess minor " + std::to_string(stack->MinorFunction) + " code " +
                       std::to_string(code));
    switch (code) {
        case kCompleteHere:
            irp->IoStatus.Status = STATUS_DEVICE_BUSY;
            irp->IoStatus.Information = 5;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_DEVICE_BUSY;
        case kSkip:
            IoSkipCurrentIrpStackLocation(irp);
            return WdfDeviceWdmDispatchPreprocessedIrp(device, irp);
        default:
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, PreprocessComplete, nullptr, TRUE, TRUE, TRUE);
            return WdfDeviceWdmDispatchPreprocessedIrp(device, irp);
    }
}

VOID OnInternal(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG code) {
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(request, &parameters);
    seen.log.push_back("queue minor " + std::to_string(parameters.MinorFunction) + " code " +
                       std::to_string(code));
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 10 + code);
}

class PreprocessTest : public IoTest {
  protected:
    void SetUp() override {
        IoTest::SetUp();
        seen = Seen{};
    }
    // Plugs the device with a preprocess callback for internal device controls (these minors
    // only, or all when empty) and a default queue answering them.
    WDFDEVICE plugWith(std::vector<UCHAR> minors) {
        hooks().init = [minors](PWDFDEVICE_INIT init) mutable {
            ASSERT_EQ(WdfDeviceInitAssignWdmIrpPreprocessCallback(
                          init, Preprocess, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                          minors.empty() ? nullptr : minors.data(), ULONG(minors.size())),
                      STATUS_SUCCESS);
        };
        hooks().configure = [](WDFDEVICE device) {
            WDF_IO_QUEUE_CONFIG config;
            WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
            config.EvtIoInternalDeviceControl = OnInternal;
            ASSERT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE),
                      STATUS_SUCCESS);
        };
        return plug();
    }
};

// Completed by the callback, skipped back to the framework, or copied with a completion
// routine that then sees the queue's answer: each time the callback comes first.
TEST_F(PreprocessTest, CallbackSeesTheIrpFirstAndCompletesOrHandsItBack) {
    WDFDEVICE device = plugWith({});
    struct Case {
        ULONG code;
        NTSTATUS status;
        ULONG_PTR information;
        std::vector<std::string> log;
    };
    const Case cases[] = {
        {kCompleteHere, STATUS_DEVICE_BUSY, 5, {"preprocess minor 0 code 1"}},
        {kSkip, STATUS_SUCCESS, 12, {"preprocess minor 0 code 2", "queue minor 0 code 2"}},
        {kCopy,
         STATUS_SUCCESS,
         13,
         {"preprocess minor 0 code 3", "queue minor 0 code 3", "preprocess completion 13"}},
    };
    for (const Case& c : cases) {
        seen = Seen{};
        SentIrp sent;
        sendInternal(device, 0, c.code, &sent);
        settle();
        ASSERT_TRUE(sent.done) << c.code;
        EXPECT_EQ(sent.status, c.status) << c.code;
        EXPECT_EQ(sent.information, c.information) << c.code;
        EXPECT_EQ(seen.log, c.log) << c.code;
    }
}

// With minor functions listed, only those reach the callback; the others go straight to the
// queue. Application requests of other major functions never see it.
TEST_F(PreprocessTest, OnlyTheListedMinorFunctionsArePreprocessed) {
    WDFDEVICE device = plugWith({3, 7});
    for (UCHAR minor : {UCHAR(3), UCHAR(4), UCHAR(7)}) {
        SentIrp sent;
        sendInternal(device, minor, kSkip, &sent);
        settle();
        ASSERT_TRUE(sent.done);
        EXPECT_EQ(sent.status, STATUS_SUCCESS);
    }
    EXPECT_EQ(seen.log,
              (std::vector<std::string>{"preprocess minor 3 code 2", "queue minor 3 code 2",
                                        "queue minor 4 code 2", "preprocess minor 7 code 2",
                                        "queue minor 7 code 2"}));
}

// Registration rules: one callback per major function; more minors may be added for the same
// callback only when minors were listed and none repeats.
TEST_F(PreprocessTest, RegistrationRules) {
    std::vector<NTSTATUS> results;
    hooks().init = [&results](PWDFDEVICE_INIT init) {
        UCHAR first[] = {1, 2};
        UCHAR more[] = {3};
        UCHAR repeated[] = {2};
        auto other = [](WDFDEVICE, PIRP irp) -> NTSTATUS {
            IoSkipCurrentIrpStackLocation(irp);
            return STATUS_SUCCESS;
        };
        const UCHAR major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        results = {
            WdfDeviceInitAssignWdmIrpPreprocessCallback(init, Preprocess, major, first, 2),
            WdfDeviceInitAssignWdmIrpPreprocessCallback(init, Preprocess, major, more, 1),
            WdfDeviceInitAssignWdmIrpPreprocessCallback(init, Preprocess, major, repeated, 1),
            WdfDeviceInitAssignWdmIrpPreprocessCallback(init, Preprocess, major, nullptr, 0),
            WdfDeviceInitAssignWdmIrpPreprocessCallback(init, other, major, nullptr, 0),
            WdfDeviceInitAssignWdmIrpPreprocessCallback(init, nullptr, IRP_MJ_READ, nullptr, 0),
            WdfDeviceInitAssignWdmIrpPreprocessCallback(init, Preprocess,
                                                        IRP_MJ_MAXIMUM_FUNCTION + 1, nullptr, 0),
            WdfDeviceInitAssignWdmIrpPreprocessCallback(init, Preprocess, IRP_MJ_READ, nullptr, 1),
        };
    };
    plug();
    EXPECT_EQ(results,
              (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST,
                                     STATUS_INVALID_DEVICE_REQUEST, STATUS_INVALID_DEVICE_REQUEST,
                                     STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER,
                                     STATUS_INVALID_PARAMETER}));
}

}  // namespace
}  // namespace vel::wdfio::test
