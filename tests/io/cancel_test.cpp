// Cancellation from the application side: CancelIo and CancelIoEx, and the end of the thread
// that issued a request.

#include "toy_device.h"

namespace vel::io::test {
namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr rt::Ticks kMs = rt::kTicksPerMs;

class CancelTest : public IoTest {
  protected:
    CancelTest() { toy.behaviour[IRP_MJ_READ] = Behaviour::pend(); }

    HANDLE open(DWORD flags) {
        HANDLE file = app->CreateFile("\\\\.\\TOY1", kReadWrite, 0, OPEN_EXISTING, flags);
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        return file;
    }

    ToyDevice& toy = addDevice(1);
    char buffer[8] = {};
    char other[8] = {};  // another thread's: it must outlive that thread's requests
};

TEST_F(CancelTest, CancelIoEndsAPendingReadWithOperationAborted) {
    HANDLE file = open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped;
    DWORD n = 0;
    EXPECT_FALSE(app->ReadFile(file, buffer, sizeof buffer, &n, &overlapped));
    ASSERT_EQ(toy.held.size(), 1u);
    EXPECT_TRUE(app->CancelIo(file));
    EXPECT_EQ(toy.log, (std::vector<std::string>{"create", "read", "cancel read"}));
    EXPECT_FALSE(app->GetOverlappedResult(file, &overlapped, &n, true));
    EXPECT_EQ(app->GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(app->lastStatus(), STATUS_CANCELLED);
    EXPECT_EQ(n, 0u);
}

TEST_F(CancelTest, CancelIoTakesOnlyTheCallingThreadsRequests) {
    HANDLE file = open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED mine;
    OVERLAPPED theirs;
    DWORD n = 0;
    HANDLE issued = app->CreateEvent(true, false);
    HANDLE finish = app->CreateEvent(true, false);
    HANDLE thread = app->CreateThread("other", [&] {
        app->ReadFile(file, other, sizeof other, nullptr, &theirs);
        app->SetEvent(issued);
        app->WaitForSingleObject(finish, INFINITE);  // stays alive: its end would cancel
    });
    ASSERT_EQ(app->WaitForSingleObject(issued, INFINITE), WAIT_OBJECT_0);
    EXPECT_FALSE(app->ReadFile(file, buffer, sizeof buffer, &n, &mine));

    EXPECT_TRUE(app->CancelIo(file));
    EXPECT_TRUE(HasOverlappedIoCompleted(&mine));
    EXPECT_FALSE(HasOverlappedIoCompleted(&theirs));

    // CancelIoEx reaches another thread's request, by its OVERLAPPED.
    EXPECT_FALSE(app->CancelIoEx(file, &mine));  // already done
    EXPECT_EQ(app->GetLastError(), ERROR_NOT_FOUND);
    EXPECT_TRUE(app->CancelIoEx(file, &theirs));
    EXPECT_EQ(static_cast<NTSTATUS>(theirs.Internal), STATUS_CANCELLED);
    app->SetEvent(finish);
    EXPECT_EQ(app->WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
}

TEST_F(CancelTest, CancelIoExFromAnotherThreadUnblocksASynchronousRead) {
    HANDLE file = open(0);
    HANDLE canceller = app->CreateThread("canceller", [&] {
        rt::delay(5 * kMs);
        EXPECT_TRUE(app->CancelIoEx(file));
    });
    DWORD n = 0;
    EXPECT_FALSE(app->ReadFile(file, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(app->GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(runtime.now(), 5 * kMs);
    EXPECT_EQ(app->WaitForSingleObject(canceller, INFINITE), WAIT_OBJECT_0);
}

TEST_F(CancelTest, ThreadEndCancelsTheRequestsItIssued) {
    HANDLE file = open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED leftBehind;
    OVERLAPPED mine;
    DWORD n = 0;
    EXPECT_FALSE(app->ReadFile(file, buffer, sizeof buffer, &n, &mine));
    HANDLE thread = app->CreateThread("short-lived", [&] {
        EXPECT_FALSE(app->ReadFile(file, other, sizeof other, nullptr, &leftBehind));
    });
    EXPECT_EQ(app->WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(static_cast<NTSTATUS>(leftBehind.Internal), STATUS_CANCELLED);
    EXPECT_FALSE(HasOverlappedIoCompleted(&mine));  // the main thread's read is untouched
    EXPECT_EQ(toy.log, (std::vector<std::string>{"create", "read", "read", "cancel read"}));
    EXPECT_TRUE(app->CancelIo(file));
}

TEST_F(CancelTest, ThreadEndWaitsForARequestTheDriverCannotCancel) {
    toy.behaviour[IRP_MJ_READ] = Behaviour::pendUncancelable();
    HANDLE file = open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped;
    HANDLE thread = app->CreateThread(
        "reader", [&] { app->ReadFile(file, other, sizeof other, nullptr, &overlapped); });
    runtime.spawn("driver", rt::ContextKind::Pnp, [&] {
        rt::delay(40 * kMs);
        toy.completeHeld(STATUS_SUCCESS, 2);
    });
    EXPECT_EQ(app->WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(runtime.now(), 40 * kMs);  // the thread ended only with its request
    EXPECT_EQ(static_cast<NTSTATUS>(overlapped.Internal), STATUS_SUCCESS);
}

}  // namespace
}  // namespace vel::io::test
