// The I/O path in wall time, for ThreadSanitizer: application threads issue ioctls to a
// parallel queue while another thread cancels them. The driver completes some at once, keeps
// some cancelable in a slot list that DPCs complete from, and forwards the rest to a lower
// device that DPCs complete from too. Every request must come back exactly once.
#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <vector>

#include "io_fixture.h"
#include "vel/kernel/io.h"

namespace vel::wdfio::test {
namespace {

constexpr ULONG kDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kSlot = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x811, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kForward = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x812, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kCodes[] = {kDirect, kSlot, kForward};

// The driver: cancelable requests in slots under its spin lock (whoever takes one out
// completes it), and the target it forwards to.
struct Driver {
    WDFSPINLOCK lock = nullptr;
    std::vector<WDFREQUEST> slots;
    WDFIOTARGET target = nullptr;
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

VOID SlotCancel(WDFREQUEST request) {
    if (takeFromSlots(request)) {
        WdfRequestComplete(request, STATUS_CANCELLED);
    }
}

void completeOneSlot() {
    WDFREQUEST request = nullptr;
    WdfSpinLockAcquire(driver.lock);
    if (!driver.slots.empty()) {
        request = driver.slots.front();
        driver.slots.erase(driver.slots.begin());
    }
    WdfSpinLockRelease(driver.lock);
    if (request != nullptr) {
        WdfRequestUnmarkCancelable(request);
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 1);
    }
}

VOID OnIoctl(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG code) {
    switch (code) {
        case kSlot:
            WdfSpinLockAcquire(driver.lock);
            driver.slots.push_back(request);
            WdfRequestMarkCancelable(request, SlotCancel);
            WdfSpinLockRelease(driver.lock);
            return;
        case kForward:
            WdfRequestFormatRequestUsingCurrentType(request);
            WdfRequestSetCompletionRoutine(
                request,
                [](WDFREQUEST r, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS p, WDFCONTEXT) {
                    WdfRequestComplete(r, p->IoStatus.Status);
                },
                nullptr);
            if (!WdfRequestSend(request, driver.target, WDF_NO_SEND_OPTIONS)) {
                WdfRequestComplete(request, WdfRequestGetStatus(request));
            }
            return;
        default:
            WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 1);
            return;
    }
}

// The lower device holds what it is sent, cancelably, until a DPC completes it.
struct Lower {
    std::mutex mutex;
    std::deque<IRP*> held;
};
Lower lower;

VOID LowerCancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
        std::lock_guard lock(lower.mutex);
        lower.held.erase(std::find(lower.held.begin(), lower.held.end(), irp));
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS LowerDispatch(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    {
        std::lock_guard lock(lower.mutex);
        lower.held.push_back(irp);
        IoSetCancelRoutine(irp, LowerCancel);
        if (!(__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) &&
              IoSetCancelRoutine(irp, nullptr) != nullptr)) {
            return STATUS_PENDING;
        }
        lower.held.pop_back();
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
}

// Completes the oldest held IRP whose cancel routine it can take back (a cancel routine that
// already runs removes and completes its own).
void lowerCompleteOne() {
    IRP* irp = nullptr;
    {
        std::lock_guard lock(lower.mutex);
        for (auto it = lower.held.begin(); it != lower.held.end(); ++it) {
            if (IoSetCancelRoutine(*it, nullptr) != nullptr) {
                irp = *it;
                lower.held.erase(it);
                break;
            }
        }
    }
    if (irp != nullptr) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 1;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

class WallTimeIo : public IoTest {
  protected:
    WallTimeIo() : IoTest(1, rt::Mode::WallTime) {}
    void SetUp() override {
        IoTest::SetUp();
        driver = Driver{};
        lower.held.clear();
    }
};

TEST_F(WallTimeIo, CompletionsCancelsAndForwardsInParallel) {
    DRIVER_OBJECT lowerDriver{};
    for (auto& dispatch : lowerDriver.MajorFunction) {
        dispatch = LowerDispatch;
    }
    lowerDriver.Type = IO_TYPE_DRIVER;
    DEVICE_OBJECT* lowerDevice = nullptr;
    ASSERT_EQ(kernel::IoManager::current().createDevice(&lowerDriver, {}, &lowerDevice),
              STATUS_SUCCESS);
    lowerDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    hooks().configure = [lowerDevice](WDFDEVICE device) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device;
        ASSERT_EQ(WdfSpinLockCreate(&attributes, &driver.lock), STATUS_SUCCESS);
        ASSERT_EQ(WdfIoTargetCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &driver.target),
                  STATUS_SUCCESS);
        WDF_IO_TARGET_OPEN_PARAMS params;
        WDF_IO_TARGET_OPEN_PARAMS_INIT_EXISTING_DEVICE(&params, lowerDevice);
        ASSERT_EQ(WdfIoTargetOpen(driver.target, &params), STATUS_SUCCESS);
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
        config.EvtIoDeviceControl = OnIoctl;
        ASSERT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE),
                  STATUS_SUCCESS);
    };
    plug();
    HANDLE file = open();

    constexpr int kIssuers = 3;
    constexpr int kRounds = 12;
    constexpr int kBatch = 6;
    std::atomic<int> issuing{kIssuers};
    std::vector<std::vector<NTSTATUS>> results(kIssuers);
    std::vector<HANDLE> threads;
    for (int t = 0; t < kIssuers; ++t) {
        threads.push_back(app().CreateThread("issuer", [&, t] {
            // An event of its own for each request: the file handle is signalled by any of the
            // requests on it, so waiting on it would not say which one ended.
            HANDLE events[kBatch];
            for (HANDLE& event : events) {
                event = app().CreateEvent(true, false);
            }
            for (int round = 0; round < kRounds; ++round) {
                io::OVERLAPPED o[kBatch]{};
                for (int i = 0; i < kBatch; ++i) {
                    o[i].hEvent = events[i];
                    ioctl(file, kCodes[(t + i) % 3], "x", 1, nullptr, 0, &o[i]);
                    runtime().queueDpc(i % 2 == 0 ? completeOneSlot : lowerCompleteOne);
                }
                // What no DPC and no other thread ended, the issuer cancels itself.
                for (int i = 0; i < kBatch; ++i) {
                    app().CancelIoEx(file, &o[i]);
                    DWORD bytes = 0;
                    app().GetOverlappedResult(file, &o[i], &bytes, true);
                    results[t].push_back(result(&o[i]));
                }
            }
            for (HANDLE event : events) {
                app().CloseHandle(event);
            }
            --issuing;
        }));
    }
    threads.push_back(app().CreateThread("canceller", [&] {
        while (issuing.load() > 0) {
            app().CancelIoEx(file, nullptr);
        }
    }));
    for (HANDLE thread : threads) {
        app().WaitForSingleObject(thread, io::INFINITE);
        app().CloseHandle(thread);
    }
    settle();
    for (const auto& each : results) {
        ASSERT_EQ(each.size(), size_t(kRounds * kBatch));
        for (NTSTATUS status : each) {
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << status;
        }
    }
    EXPECT_TRUE(driver.slots.empty());
    EXPECT_TRUE(lower.held.empty());
    app().CloseHandle(file);
    pnp().remove(pdo());
    kernel::IoManager::current().deleteDevice(lowerDevice);
}

}  // namespace
}  // namespace vel::wdfio::test
