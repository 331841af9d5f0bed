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

// Synchronisation scope Device: the queue's callbacks, cancel callbacks and an automatically
// serialised timer of the device never overlap. Each callback marks itself inside and passes
// the baton on; one that enters while another is inside counts an overlap. The timer re-arms
// itself due at once, so it is runnable alongside the application's reads and cancels. The
// queue is sequential: a request the timer or a cancel completes lets the next one be presented
// while that callback still holds the device's lock.
struct Serial {
    bool inside = false;
    int overlaps = 0;
    int reads = 0;
    int cancels = 0;
    int ticks = 0;
    int completed = 0;
    WDFTIMER timer = nullptr;
    std::vector<WDFREQUEST> slots;
};
Serial serial;

void serialised(int* counter) {
    if (serial.inside) {
        ++serial.overlaps;
    }
    serial.inside = true;
    rt::Runtime::current()->yield();
    ++*counter;
    serial.inside = false;
}

VOID SerialCancel(WDFREQUEST request) {
    serialised(&serial.cancels);
    auto it = std::find(serial.slots.begin(), serial.slots.end(), request);
    if (it != serial.slots.end()) {
        serial.slots.erase(it);
        WdfRequestComplete(request, STATUS_CANCELLED);
    }
}

VOID SerialRead(WDFQUEUE, WDFREQUEST request, size_t) {
    serialised(&serial.reads);
    serial.slots.push_back(request);
    WdfRequestMarkCancelable(request, SerialCancel);
}

// Every third tick completes the oldest request it still holds. One whose cancel is under way
// stays in its slot for the cancel callback.
VOID SerialTick(WDFTIMER timer) {
    serialised(&serial.ticks);
    if (serial.ticks % 3 == 0 && !serial.slots.empty()) {
        WDFREQUEST request = serial.slots.front();
        if (WdfRequestUnmarkCancelable(request) == STATUS_SUCCESS) {
            serial.slots.erase(serial.slots.begin());
            ++serial.completed;
            WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 1);
        }
    }
    if (serial.ticks < 24) {
        WdfTimerStart(timer, 0);
    }
}

TEST_P(SeedTest, DeviceScopeSerialisesQueueCancelAndTimerCallbacks) {
    serial = Serial{};
    WDF_OBJECT_ATTRIBUTES deviceAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&deviceAttributes);
    deviceAttributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    hooks().deviceAttributes = &deviceAttributes;
    hooks().configure = [](WDFDEVICE device) {
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchSequential);
        config.EvtIoRead = SerialRead;
        ASSERT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE),
                  STATUS_SUCCESS);
        WDF_TIMER_CONFIG timerConfig;
        WDF_TIMER_CONFIG_INIT(&timerConfig, SerialTick);
        timerConfig.AutomaticSerialization = TRUE;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device;
        ASSERT_EQ(WdfTimerCreate(&timerConfig, &attributes, &serial.timer), STATUS_SUCCESS);
    };
    plug();
    HANDLE file = open();
    constexpr int kReads = 8;
    char buffers[kReads][1];
    io::OVERLAPPED o[kReads];
    WdfTimerStart(serial.timer, 0);
    HANDLE canceller = app().CreateThread("canceller", [&] {
        for (int i = 0; i < kReads; i += 2) {
            app().CancelIoEx(file, &o[i]);
        }
    });
    for (int i = 0; i < kReads; ++i) {
        read(file, buffers[i], 1, &o[i]);
    }
    settle();
    app().CloseHandle(canceller);
    // What the canceller did not reach goes now, by cancel.
    app().CancelIo(file);
    settle();
    EXPECT_EQ(serial.overlaps, 0);
    // Requests cancelled while waiting are never presented.
    EXPECT_LE(serial.reads, kReads);
    EXPECT_EQ(serial.ticks, 24);
    EXPECT_TRUE(serial.slots.empty());
    int succeeded = 0;
    for (int i = 0; i < kReads; ++i) {
        const NTSTATUS status = result(&o[i]);
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << i << ": " << status;
        succeeded += status == STATUS_SUCCESS ? 1 : 0;
    }
    EXPECT_EQ(succeeded, serial.completed);
    app().CloseHandle(file);
}

// Power-managed queue across a sleep and a removal while the application cancels: EvtIoStop
// requeues requests of length 1 and keeps those of length 2 (both take them out of their
// slot first); at removal it completes what it still has. Whatever the interleaving, every
// request ends once and the purge leaves the driver nothing.
struct Parked {
    std::vector<WDFREQUEST> slots;
    int resumes = 0;
    int reads = 0;
};
Parked parked;

bool unslot(WDFREQUEST request) {
    auto it = std::find(parked.slots.begin(), parked.slots.end(), request);
    if (it == parked.slots.end()) {
        return false;
    }
    parked.slots.erase(it);
    return true;
}

VOID ParkedCancel(WDFREQUEST request) {
    if (unslot(request)) {
        WdfRequestComplete(request, STATUS_CANCELLED);
    }
}

VOID ParkRead(WDFQUEUE, WDFREQUEST request, size_t) {
    ++parked.reads;
    parked.slots.push_back(request);
    WdfRequestMarkCancelable(request, ParkedCancel);
}

VOID ParkStop(WDFQUEUE, WDFREQUEST request, ULONG flags) {
    if (!unslot(request)) {
        return;  // its cancel callback took it
    }
    // Kept at a suspend, it is not cancelable again until resumed.
    const NTSTATUS unmarked = (flags & WdfRequestStopRequestCancelable)
                                  ? WdfRequestUnmarkCancelable(request)
                                  : STATUS_SUCCESS;
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(request, &parameters);
    if ((flags & WdfRequestStopActionPurge) || unmarked != STATUS_SUCCESS) {
        WdfRequestComplete(request, STATUS_CANCELLED);
    } else if (parameters.Parameters.Read.Length == 1) {
        WdfRequestStopAcknowledge(request, TRUE);
    } else {
        parked.slots.push_back(request);
        WdfRequestStopAcknowledge(request, FALSE);
    }
}

// A kept request is cancelable again once resumed.
VOID ParkResume(WDFQUEUE, WDFREQUEST request) {
    ++parked.resumes;
    WdfRequestMarkCancelable(request, ParkedCancel);
}

TEST_P(SeedTest, StopAcknowledgeResumeAndRemovalPurgeRaceCancels) {
    parked = Parked{};
    hooks().configure = [](WDFDEVICE device) {
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
        config.EvtIoRead = ParkRead;
        config.EvtIoStop = ParkStop;
        config.EvtIoResume = ParkResume;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
        ASSERT_EQ(WdfIoQueueCreate(device, &config, &attributes, WDF_NO_HANDLE), STATUS_SUCCESS);
    };
    plug();
    HANDLE file = open();
    char buffers[kRequests][2];
    io::OVERLAPPED o[kRequests];
    for (int i = 0; i < kRequests; ++i) {
        read(file, buffers[i], DWORD(1 + i % 2), &o[i]);
    }
    settle();
    runtime().spawn("sleeper", rt::ContextKind::Pnp, [this] {
        ASSERT_EQ(pnp().setSystemPower(pnp::PowerAction::Sleep), STATUS_SUCCESS);
        ASSERT_EQ(pnp().wake(), STATUS_SUCCESS);
    });
    HANDLE canceller = app().CreateThread("canceller", [&] { app().CancelIoEx(file, &o[3]); });
    settle();
    app().CloseHandle(canceller);
    // Everything not cancelled is the driver's again: requeued ones presented once more, kept
    // ones resumed.
    EXPECT_EQ(parked.slots.size() + (result(&o[3]) == STATUS_CANCELLED ? 1 : 0), size_t(kRequests));
    EXPECT_LE(parked.resumes, kRequests / 2);
    app().CloseHandle(file);
    ASSERT_EQ(pnp().remove(pdo()), STATUS_SUCCESS);
    EXPECT_TRUE(parked.slots.empty());
    for (int i = 0; i < kRequests; ++i) {
        EXPECT_EQ(result(&o[i]), STATUS_CANCELLED) << i;
    }
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
