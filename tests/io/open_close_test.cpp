// CreateFile and CloseHandle: the create, cleanup and close requests, names, exclusive devices,
// access rights and handles.

#include "toy_device.h"

namespace vel::io::test {
namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

TEST_F(IoTest, OpenAndCloseSendCreateCleanupCloseInOrder) {
    ToyDevice& toy = addDevice(1);
    HANDLE file = app->CreateFile("\\\\.\\TOY1", kReadWrite, FILE_SHARE_READ, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(toy.log, (std::vector<std::string>{"create"}));
    const Seen& create = toy.last(IRP_MJ_CREATE);
    FILE_OBJECT* object = app->fileObject(file);
    EXPECT_EQ(create.file, object);
    EXPECT_EQ(object->DeviceObject, toy.device);
    EXPECT_EQ(create.createOptions >> 24, FILE_OPEN);
    EXPECT_NE(create.createOptions & FILE_SYNCHRONOUS_IO_NONALERT, 0u);
    EXPECT_EQ(create.shareAccess, FILE_SHARE_READ);
    EXPECT_EQ(create.requestorMode, UserMode);
    EXPECT_EQ(create.thread, runtime.currentContext());
    EXPECT_NE(object->Flags & FO_SYNCHRONOUS_IO, 0u);
    EXPECT_EQ(toy.device->ReferenceCount, 1);

    EXPECT_TRUE(app->CloseHandle(file));
    EXPECT_EQ(toy.log, (std::vector<std::string>{"create", "cleanup", "close"}));
    EXPECT_EQ(toy.seen[1].file, object);
    EXPECT_EQ(toy.seen[2].file, object);
    EXPECT_EQ(toy.device->ReferenceCount, 0);
    EXPECT_EQ(io().referenceCount(object), 0);  // the file object is gone
}

TEST_F(IoTest, FailedCreateLeavesNoFileAndNoCleanupOrClose) {
    ToyDevice& toy = addDevice(1, DO_BUFFERED_IO, /*exclusive=*/true);
    toy.behaviour[IRP_MJ_CREATE] = Behaviour::complete(STATUS_DEVICE_BUSY);
    EXPECT_EQ(app->CreateFile("\\\\.\\TOY1", kReadWrite, 0, OPEN_EXISTING, 0),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(app->GetLastError(), ERROR_BUSY);
    EXPECT_EQ(app->lastStatus(), STATUS_DEVICE_BUSY);
    FILE_OBJECT* refused = toy.last(IRP_MJ_CREATE).file;
    EXPECT_EQ(io().referenceCount(refused), 0);
    EXPECT_EQ(toy.device->ReferenceCount, 0);

    // The refused open did not keep the exclusive device: the next one gets it.
    toy.behaviour.erase(IRP_MJ_CREATE);
    HANDLE file = app->CreateFile("\\\\.\\TOY1", kReadWrite, 0, OPEN_EXISTING, 0);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(app->CloseHandle(file));
    EXPECT_EQ(toy.log, (std::vector<std::string>{"create", "create", "cleanup", "close"}));
}

TEST_F(IoTest, CreatePendedByTheDriverWaitsForItsCompletion) {
    ToyDevice& toy = addDevice(1);
    toy.behaviour[IRP_MJ_CREATE] = Behaviour::completeAfter(20 * rt::kTicksPerMs);
    rt::Ticks start = runtime.now();
    HANDLE file = app->CreateFile("\\\\.\\TOY1", kReadWrite, 0, OPEN_EXISTING, 0);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(runtime.now() - start, 20 * rt::kTicksPerMs);
}

TEST_F(IoTest, ExclusiveDeviceRefusesASecondOpenUntilTheFirstCloses) {
    ToyDevice& toy = addDevice(1, DO_BUFFERED_IO, /*exclusive=*/true);
    HANDLE first = app->CreateFile("\\\\.\\TOY1", kReadWrite, 0, OPEN_EXISTING, 0);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(app->CreateFile("\\\\.\\TOY1", kReadWrite, 0, OPEN_EXISTING, 0),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(app->GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(app->lastStatus(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(toy.log, (std::vector<std::string>{"create"}));  // refused before the driver

    EXPECT_TRUE(app->CloseHandle(first));
    HANDLE second = app->CreateFile("\\\\.\\TOY1", kReadWrite, 0, OPEN_EXISTING, 0);
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
}

TEST_F(IoTest, NamesResolveThroughTheDosDevicesLinks) {
    addDevice(1);
    struct Case {
        const char* name;
        DWORD error;               // ERROR_SUCCESS when the open succeeds
        const char16_t* fileName;  // the file object's name after the device's
    };
    const Case cases[] = {
        {"\\\\.\\TOY1", ERROR_SUCCESS, u""},
        {"\\\\?\\TOY1", ERROR_SUCCESS, u""},
        {"\\\\.\\toy1", ERROR_SUCCESS, u""},
        {"\\\\.\\TOY1\\ref", ERROR_SUCCESS, u"\\ref"},
        {"\\\\.\\TOY2", ERROR_FILE_NOT_FOUND, nullptr},
        {"TOY1", ERROR_FILE_NOT_FOUND, nullptr},
        {"\\\\.\\", ERROR_FILE_NOT_FOUND, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        app->SetLastError(ERROR_SUCCESS);
        HANDLE file = app->CreateFile(c.name, GENERIC_READ, 0, OPEN_EXISTING, 0);
        EXPECT_EQ(app->GetLastError(), c.error);
        if (c.error != ERROR_SUCCESS) {
            EXPECT_EQ(file, INVALID_HANDLE_VALUE);
            continue;
        }
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        const UNICODE_STRING& name = app->fileObject(file)->FileName;
        EXPECT_EQ(std::u16string(name.Buffer, name.Length / sizeof(WCHAR)), c.fileName);
        EXPECT_TRUE(app->CloseHandle(file));
    }
}

TEST_F(IoTest, InvalidDispositionIsRefusedBeforeTheDriver) {
    ToyDevice& toy = addDevice(1);
    EXPECT_EQ(app->CreateFile("\\\\.\\TOY1", GENERIC_READ, 0, 0, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(app->GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(toy.log.empty());
}

TEST_F(IoTest, RequestsNeedTheAccessTheHandleWasOpenedFor) {
    ToyDevice& toy = addDevice(1);
    HANDLE readOnly = app->CreateFile("\\\\.\\TOY1", GENERIC_READ, 0, OPEN_EXISTING, 0);
    HANDLE writeOnly = app->CreateFile("\\\\.\\TOY1", GENERIC_WRITE, 0, OPEN_EXISTING, 0);
    ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
    ASSERT_NE(writeOnly, INVALID_HANDLE_VALUE);
    toy.log.clear();
    char buffer[4] = {};
    DWORD n = 0;
    const DWORD anyAccess = CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS);
    const DWORD readAccess = CTL_CODE(FILE_DEVICE_UNKNOWN, 2, METHOD_BUFFERED, FILE_READ_ACCESS);
    const DWORD writeAccess = CTL_CODE(FILE_DEVICE_UNKNOWN, 3, METHOD_BUFFERED, FILE_WRITE_ACCESS);
    struct Case {
        const char* what;
        bool allowed;
        std::function<bool()> call;
    };
    const Case cases[] = {
        {"read on read-only", true,
         [&] { return app->ReadFile(readOnly, buffer, 4, &n, nullptr); }},
        {"write on read-only", false,
         [&] { return app->WriteFile(readOnly, buffer, 4, &n, nullptr); }},
        {"read on write-only", false,
         [&] { return app->ReadFile(writeOnly, buffer, 4, &n, nullptr); }},
        {"flush on read-only", false, [&] { return app->FlushFileBuffers(readOnly); }},
        {"any-access ioctl", true,
         [&] {
             return app->DeviceIoControl(readOnly, anyAccess, nullptr, 0, nullptr, 0, &n, nullptr);
         }},
        {"read-access ioctl on write-only", false,
         [&] {
             return app->DeviceIoControl(writeOnly, readAccess, nullptr, 0, nullptr, 0, &n,
                                         nullptr);
         }},
        {"write-access ioctl on read-only", false,
         [&] {
             return app->DeviceIoControl(readOnly, writeAccess, nullptr, 0, nullptr, 0, &n,
                                         nullptr);
         }},
        {"write-access ioctl on write-only", true,
         [&] {
             return app->DeviceIoControl(writeOnly, writeAccess, nullptr, 0, nullptr, 0, &n,
                                         nullptr);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        size_t before = toy.log.size();
        EXPECT_EQ(c.call(), c.allowed);
        EXPECT_EQ(toy.log.size(), before + (c.allowed ? 1 : 0));
        if (!c.allowed) {
            EXPECT_EQ(app->GetLastError(), ERROR_ACCESS_DENIED);
        }
    }
}

TEST_F(IoTest, StaleAndForeignHandlesAreInvalid) {
    addDevice(1);
    HANDLE file = app->CreateFile("\\\\.\\TOY1", kReadWrite, 0, OPEN_EXISTING, 0);
    HANDLE event = app->CreateEvent(true, false);
    char buffer[4];
    DWORD n = 0;
    EXPECT_FALSE(app->ReadFile(event, buffer, 4, &n, nullptr));  // not a file
    EXPECT_EQ(app->GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(app->ReadFile(INVALID_HANDLE_VALUE, buffer, 4, &n, nullptr));
    EXPECT_EQ(app->GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(app->CloseHandle(file));
    app->SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(app->CloseHandle(file));
    EXPECT_EQ(app->GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(app->WriteFile(file, buffer, 4, &n, nullptr));
    EXPECT_EQ(app->GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(app->WaitForSingleObject(file, 0), WAIT_FAILED);
}

TEST_F(IoTest, ClosingCancelsNothingAndCloseWaitsForTheLastRequest) {
    ToyDevice& toy = addDevice(1);
    toy.behaviour[IRP_MJ_READ] = Behaviour::pend();
    HANDLE file =
        app->CreateFile("\\\\.\\TOY1", kReadWrite, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
    HANDLE event = app->CreateEvent(true, false);
    OVERLAPPED overlapped;
    overlapped.hEvent = event;
    char buffer[8];
    EXPECT_FALSE(app->ReadFile(file, buffer, sizeof buffer, nullptr, &overlapped));
    EXPECT_EQ(app->GetLastError(), ERROR_IO_PENDING);
    FILE_OBJECT* object = app->fileObject(file);

    EXPECT_TRUE(app->CloseHandle(file));
    runtime.runUntilIdle();
    EXPECT_EQ(toy.log, (std::vector<std::string>{"create", "read", "cleanup"}));
    ASSERT_EQ(toy.held.size(), 1u);
    EXPECT_FALSE(toy.held[0]->Cancel);
    EXPECT_EQ(io().referenceCount(object), 1);

    toy.reply = bytes("late");
    ASSERT_TRUE(toy.completeHeld(STATUS_SUCCESS, 4));
    runtime.runUntilIdle();  // the close goes out from a work item
    EXPECT_EQ(toy.log, (std::vector<std::string>{"create", "read", "cleanup", "close"}));
    EXPECT_EQ(app->WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(static_cast<NTSTATUS>(overlapped.Internal), STATUS_SUCCESS);
    EXPECT_EQ(overlapped.InternalHigh, 4u);
    EXPECT_EQ(toy.device->ReferenceCount, 0);
}

TEST_F(IoTest, ProcessExitCancelsWhatIsOutstandingAndClosesEveryHandle) {
    ToyDevice& toy = addDevice(1);
    toy.behaviour[IRP_MJ_READ] = Behaviour::pend();
    HANDLE file =
        app->CreateFile("\\\\.\\TOY1", kReadWrite, 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
    OVERLAPPED overlapped;
    char buffer[8];
    EXPECT_FALSE(app->ReadFile(file, buffer, sizeof buffer, nullptr, &overlapped));
    endApplication();
    EXPECT_EQ(toy.log,
              (std::vector<std::string>{"create", "read", "cancel read", "cleanup", "close"}));
    EXPECT_EQ(static_cast<NTSTATUS>(overlapped.Internal), STATUS_CANCELLED);
    EXPECT_EQ(toy.device->ReferenceCount, 0);
}

}  // namespace
}  // namespace vel::io::test
