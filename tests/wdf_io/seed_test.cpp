// Racy scenarios under many scheduler seeds: each seed is one interleaving, replayable. Every
// request must end exactly once and no rule may be broken (the fixture fails the test for any
// verifier violation, deadlock reports included).
#include <algorithm>
#include <vector>

#include "io_fixture.h"
#include "vel/kernel/io.h"

namespace vel::wdfio::test {
namespace {

constexpr int kRequests = 4;

// The driver keeps cancelable requests in a slot list under its spin lock: whoever takes a
// request out of the list completes it.
struct Driver {
    WDFSPINLOCK lock = nullptr;
    std::vector<WDFREQUEST> slots;
    int cancelCallbacks = 0;
};
Driver driver;

bool takeFromSlots(WDFREQUEST request) {
    WdfSpinLockAcquire(driver.lock);
    auto it = std::find(driver.slots.begin(), driver.slots.end(), request);
    const bool mine = it != driver.slots.end();
    if (mine) {
        driver.slots.erase(it);
    }
    WdfSpinLockRelease(driver.lock);
    return mine;
}

VOID OnCancel(WDFREQUEST request) {
    ++driver.cancelCallbacks;
    if (takeFromSlots(request)) {
        WdfRequestComplete(request, STATUS_CANCELLED);
    }
}

VOID OnRead(WDFQUEUE, WDFREQUEST request, size_t) {
    WdfSpinLockAcquire(driver.lock);
    driver.slots.push_back(request);
    WdfRequestMarkCancelable(request, OnCancel);
    WdfSpinLockRelease(driver.lock);
}

// The completing side: takes each request out of its slot, then unmarks and completes it
// whatever the unmark says (a cancel that lost the slot finds nothing to do).
void completeAll() {
    for (;;) {
        WdfSpinLockAcquire(driver.lock);
        if (driver.slots.empty()) {
            WdfSpinLockRelease(driver.lock);
            return;
        }
        WDFREQUEST request = driver.slots.front();
        driver.slots.erase(driver.slots.begin());
        WdfSpinLockRelease(driver.lock);
        const NTSTATUS unmarked = WdfRequestUnmarkCancelable(request);
        EXPECT_TRUE(unmarked == STATUS_SUCCESS || unmarked == STATUS_CANCELLED) << unmarked;
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 1);
    }
}

class SeedTest : public IoTest, public ::testing::WithParamInterface<uint64_t> {
  protected:
    SeedTest() : IoTest(GetParam()) {}
    void SetUp() override {
        IoTest::SetUp();
        driver = Driver{};
    }
};

// Application cancels race the driver's completions and the cancel callbacks (scope Device).
TEST_P(SeedTest, CancelRacesCompletion) {
    hooks().configure = [](WDFDEVICE device) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device;
        ASSERT_EQ(WdfSpinLockCreate(&attributes, &driver.lock), STATUS_SUCCESS);
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
        config.EvtIoRead = OnRead;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
        ASSERT_EQ(WdfIoQueueCreate(device, &config, &attributes, WDF_NO_HANDLE), STATUS_SUCCESS);
    };
    plug();
    HANDLE file = open();
    char buffers[kRequests][1];
    io::OVERLAPPED o[kRequests];
    for (int i = 0; i < kRequests; ++i) {
        read(file, buffers[i], 1, &o[i]);
    }
    settle();
    runtime().spawn("completer", rt::ContextKind::Pnp, completeAll);
    HANDLE canceller = app().CreateThread("canceller", [&] {
        for (int i = 0; i < kRequests; i += 2) {
            app().CancelIoEx(file, &o[i]);
        }
    });
    settle();
    app().WaitForSingleObject(canceller, 0);
    app().CloseHandle(canceller);
    for (int i = 0; i < kRequests; ++i) {
        const NTSTATUS status = result(&o[i]);
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << i << ": " << status;
        if (i % 2 == 1) {
            EXPECT_EQ(status, STATUS_SUCCESS) << i;
        }
    }
    EXPECT_LE(driver.cancelCallbacks, kRequests / 2);
    app().CloseHandle(file);
}

// A lower device holding the requests the driver sent on.
std::vector<IRP*> held;

VOID LowerCancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    held.erase(std::find(held.begin(), held.end(), irp));
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS LowerDispatch(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held.push_back(irp);
    IoSetCancelRoutine(irp, LowerCancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        held.pop_back();
        irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return STATUS_PENDING;
}

WDFIOTARGET target;

VOID Forward(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
    WdfRequestFormatRequestUsingCurrentType(request);
    WdfRequestSetCompletionRoutine(
        request,
        [](WDFREQUEST r, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS p, WDFCONTEXT) {
            WdfRequestComplete(r, p->IoStatus.Status);
        },
        nullptr);
    if (!WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS)) {
        WdfRequestComplete(request, WdfRequestGetStatus(request));
    }
}

// Sent requests: the application's cancels, a target stop that cancels what was sent, and the
// lower driver completing from a DPC, all at once.
TEST_P(SeedTest, SentRequestsRaceCancelStopAndLowerCompletion) {
    held.clear();
    DRIVER_OBJECT lowerDriver{};
    for (auto& dispatch : lowerDriver.MajorFunction) {
        dispatch = LowerDispatch;
    }
    lowerDriver.Type = IO_TYPE_DRIVER;
    DEVICE_OBJECT* lower = nullptr;
    ASSERT_EQ(kernel::IoManager::current().createDevice(&lowerDriver, {}, &lower), STATUS_SUCCESS);
    lower->Flags &= ~DO_DEVICE_INITIALIZING;
    hooks().configure = [lower](WDFDEVICE device) {
        ASSERT_EQ(WdfIoTargetCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &target), STATUS_SUCCESS);
        WDF_IO_TARGET_OPEN_PARAMS params;
        WDF_IO_TARGET_OPEN_PARAMS_INIT_EXISTING_DEVICE(&params, lower);
        ASSERT_EQ(WdfIoTargetOpen(target, &params), STATUS_SUCCESS);
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
        config.EvtIoDeviceControl = Forward;
        ASSERT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE),
                  STATUS_SUCCESS);
    };
    plug();
    HANDLE file = open();
    io::OVERLAPPED o[kRequests];
    for (auto& overlapped : o) {
        ioctl(file, kIoctlBuffered, "x", 1, nullptr, 0, &overlapped);
    }
    settle();
    runtime().queueDpc([] {
        if (!held.empty()) {
            IRP* irp = held.front();
            if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
                held.erase(held.begin());
                irp->IoStatus.Status = STATUS_SUCCESS;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            }
        }
    });
    runtime().spawn("stopper", rt::ContextKind::Pnp,
                    [] { WdfIoTargetStop(target, WdfIoTargetCancelSentIo); });
    HANDLE canceller = app().CreateThread("canceller", [&] { app().CancelIoEx(file, &o[1]); });
    settle();
    app().CloseHandle(canceller);
    EXPECT_TRUE(held.empty());
    for (auto& overlapped : o) {
        const NTSTATUS status = result(&overlapped);
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << status;
    }
    app().CloseHandle(file);
    pnp().remove(pdo());
    kernel::IoManager::current().deleteDevice(lower);
}

std::vector<uint64_t> seeds() {
    std::vector<uint64_t> out;
    for (uint64_t seed = 1; seed <= 50; ++seed) {
        out.push_back(seed);
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Seeds, SeedTest, ::testing::ValuesIn(seeds()));

}  // namespace
}  // namespace vel::wdfio::test
