// When calls return: synchronous calls waiting for requests the driver pends, overlapped calls
// and their results, events and time-outs in virtual time.

#include "toy_device.h"

namespace vel::io::test {
namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr rt::Ticks kMs = rt::kTicksPerMs;

class CompletionTest : public IoTest {
  protected:
    HANDLE open(DWORD flags) {
        HANDLE file = app->CreateFile("\\\\.\\TOY1", kReadWrite, 0, OPEN_EXISTING, flags);
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        return file;
    }

    ToyDevice& toy = addDevice(1);
};

TEST_F(CompletionTest, SynchronousReadWaitsForACompletionFromATimer) {
    toy.behaviour[IRP_MJ_READ] = Behaviour::completeAfter(50 * kMs);
    toy.reply = bytes("data");
    HANDLE file = open(0);
    rt::Ticks start = runtime.now();
    char buffer[4];
    DWORD bytesRead = 0;
    ASSERT_TRUE(app->ReadFile(file, buffer, sizeof buffer, &bytesRead, nullptr));
    EXPECT_EQ(runtime.now() - start, 50 * kMs);
    EXPECT_EQ(text(buffer, bytesRead), "data");
    EXPECT_EQ(app->lastStatus(), STATUS_SUCCESS);
}

TEST_F(CompletionTest, SynchronousCallWaitsForACompletionFromAnotherContext) {
    toy.behaviour[IRP_MJ_DEVICE_CONTROL] = Behaviour::pend();
    HANDLE file = open(0);
    runtime.spawn("completer", rt::ContextKind::Pnp, [&] {
        rt::delay(10 * kMs);
        toy.completeHeld(STATUS_IO_TIMEOUT);
    });
    const DWORD code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    DWORD returned = 0;
    EXPECT_FALSE(app->DeviceIoControl(file, code, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(app->GetLastError(), ERROR_SEM_TIMEOUT);
    EXPECT_EQ(app->lastStatus(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(runtime.now(), 10 * kMs);
}

TEST_F(CompletionTest, SynchronousCallsOnOneHandleRunOneAtATime) {
    toy.behaviour[IRP_MJ_READ] = Behaviour::completeAfter(30 * kMs);
    HANDLE file = open(0);
    std::vector<std::string> order;
    HANDLE reader = app->CreateThread("reader", [&] {
        char buffer[4];
        DWORD n = 0;
        app->ReadFile(file, buffer, sizeof buffer, &n, nullptr);
        order.push_back("read done");
    });
    HANDLE writer = app->CreateThread("writer", [&] {
        rt::delay(1 * kMs);  // after the reader has sent its read
        DWORD n = 0;
        app->WriteFile(file, "x", 1, &n, nullptr);
        order.push_back("write done at " + std::to_string(runtime.now() / kMs));
    });
    EXPECT_EQ(app->WaitForSingleObject(reader, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(app->WaitForSingleObject(writer, INFINITE), WAIT_OBJECT_0);
    // The write reached the driver only once the read had completed.
    EXPECT_EQ(toy.log, (std::vector<std::string>{"create", "read", "write"}));
    EXPECT_EQ(order, (std::vector<std::string>{"read done", "write done at 30"}));
}

TEST_F(CompletionTest, OverlappedReadCompletesIntoItsOverlappedAndEvent) {
    toy.behaviour[IRP_MJ_READ] = Behaviour::completeAfter(50 * kMs);
    toy.reply = bytes("late");
    HANDLE file = open(FILE_FLAG_OVERLAPPED);
    EXPECT_EQ(app->fileObject(file)->Flags & FO_SYNCHRONOUS_IO, 0u);
    OVERLAPPED overlapped;
    overlapped.hEvent = app->CreateEvent(true, true);  // the read resets it
    char buffer[4];
    DWORD n = 99;
    EXPECT_FALSE(app->ReadFile(file, buffer, sizeof buffer, &n, &overlapped));
    EXPECT_EQ(app->GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(app->lastStatus(), STATUS_PENDING);
    EXPECT_FALSE(HasOverlappedIoCompleted(&overlapped));
    EXPECT_EQ(app->WaitForSingleObject(overlapped.hEvent, 0), WAIT_TIMEOUT);

    EXPECT_FALSE(app->GetOverlappedResult(file, &overlapped, &n, false));
    EXPECT_EQ(app->GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_FALSE(app->GetOverlappedResultEx(file, &overlapped, &n, 20, false));
    EXPECT_EQ(app->GetLastError(), WAIT_TIMEOUT);
    EXPECT_EQ(runtime.now(), 20 * kMs);

    ASSERT_TRUE(app->GetOverlappedResult(file, &overlapped, &n, true));
    EXPECT_EQ(runtime.now(), 50 * kMs);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(text(buffer, n), "late");
    EXPECT_EQ(static_cast<NTSTATUS>(overlapped.Internal), STATUS_SUCCESS);
    EXPECT_EQ(app->WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);
}

TEST_F(CompletionTest, OverlappedRequestWithoutEventSignalsTheFile) {
    toy.behaviour[IRP_MJ_WRITE] = Behaviour::completeAfter(5 * kMs, STATUS_DEVICE_NOT_CONNECTED);
    HANDLE file = open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped;
    DWORD n = 0;
    EXPECT_FALSE(app->WriteFile(file, "abc", 3, &n, &overlapped));
    EXPECT_EQ(app->WaitForSingleObject(file, INFINITE), WAIT_OBJECT_0);
    EXPECT_FALSE(app->GetOverlappedResult(file, &overlapped, &n, false));
    EXPECT_EQ(app->GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(app->lastStatus(), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(CompletionTest, OverlappedCallsTheDriverAnswersAtOnce) {
    // Answered in the dispatch routine, the call returns the result itself; a failure that was
    // never pending leaves the OVERLAPPED and its event alone.
    struct Case {
        NTSTATUS status;
        bool result;
        DWORD error;
        bool published;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, true, ERROR_SUCCESS, true},
        {STATUS_BUFFER_OVERFLOW, false, ERROR_MORE_DATA, true},
        {STATUS_INVALID_PARAMETER, false, ERROR_INVALID_PARAMETER, false},
    };
    HANDLE file = open(FILE_FLAG_OVERLAPPED);
    toy.reply = bytes("now");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        toy.behaviour[IRP_MJ_READ] = Behaviour::complete(c.status);
        OVERLAPPED overlapped;
        overlapped.hEvent = app->CreateEvent(true, false);
        char buffer[3];
        DWORD n = 0;
        app->SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(app->ReadFile(file, buffer, sizeof buffer, &n, &overlapped), c.result);
        EXPECT_EQ(app->GetLastError(), c.error);
        EXPECT_EQ(HasOverlappedIoCompleted(&overlapped), c.published);
        EXPECT_EQ(app->WaitForSingleObject(overlapped.hEvent, 0),
                  c.published ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
        if (c.published) {
            EXPECT_EQ(static_cast<NTSTATUS>(overlapped.Internal), c.status);
            EXPECT_EQ(overlapped.InternalHigh, 3u);
        }
        EXPECT_TRUE(app->CloseHandle(overlapped.hEvent));
    }
}

TEST_F(CompletionTest, OverlappedHandleNeedsAnOverlappedAndAnEventHandle) {
    HANDLE file = open(FILE_FLAG_OVERLAPPED);
    char buffer[4];
    DWORD n = 0;
    EXPECT_FALSE(app->ReadFile(file, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(app->GetLastError(), ERROR_INVALID_PARAMETER);
    OVERLAPPED overlapped;
    overlapped.hEvent = file;  // not an event
    EXPECT_FALSE(app->ReadFile(file, buffer, sizeof buffer, &n, &overlapped));
    EXPECT_EQ(app->GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(toy.log, (std::vector<std::string>{"create"}));
}

TEST_F(CompletionTest, OverlappedReadsUseTheirOwnOffsets) {
    HANDLE file = open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped;
    overlapped.Offset = 0x10;
    overlapped.OffsetHigh = 1;
    char buffer[4];
    DWORD n = 0;
    EXPECT_TRUE(app->ReadFile(file, buffer, sizeof buffer, &n, &overlapped));
    EXPECT_EQ(toy.last(IRP_MJ_READ).byteOffset, 0x100000010LL);
}

NTSTATUS pendWithoutMark(DEVICE_OBJECT*, IRP* irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
}

TEST_F(CompletionTest, PendingWithoutMarkIsAViolation) {
    HANDLE file = open(FILE_FLAG_OVERLAPPED);
    driver.MajorFunction[IRP_MJ_READ] = pendWithoutMark;
    OVERLAPPED overlapped;
    char buffer[4];
    DWORD n = 0;
    EXPECT_FALSE(app->ReadFile(file, buffer, sizeof buffer, &n, &overlapped));
    EXPECT_EQ(app->GetLastError(), ERROR_IO_PENDING);
    expectViolation("STATUS_PENDING without IoMarkIrpPending");
    EXPECT_TRUE(app->GetOverlappedResult(file, &overlapped, &n, true));  // still finished
}

TEST_F(CompletionTest, WaitsOnEventsAndThreadsTimeOutInVirtualTime) {
    HANDLE event = app->CreateEvent(false, false);
    EXPECT_EQ(app->WaitForSingleObject(event, 250), WAIT_TIMEOUT);
    EXPECT_EQ(runtime.now(), 250 * kMs);
    HANDLE thread = app->CreateThread("setter", [&] {
        rt::delay(100 * kMs);
        app->SetEvent(event);
    });
    EXPECT_EQ(app->WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(runtime.now(), 350 * kMs);
    EXPECT_EQ(app->WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // auto-reset: consumed
    EXPECT_EQ(app->WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
}

}  // namespace
}  // namespace vel::io::test
