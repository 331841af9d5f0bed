// The NTSTATUS to Win32 error translation, on its own and as an application sees it.

#include "toy_device.h"

namespace vel::io::test {
namespace {

struct Translation {
    NTSTATUS status;
    DWORD error;
};

const Translation kTranslations[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_PENDING, ERROR_IO_PENDING},
    {STATUS_TIMEOUT, WAIT_TIMEOUT},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_INVALID_PARAMETER_3, ERROR_INVALID_PARAMETER},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
    {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
    {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
    {STATUS_DEVICE_BUSY, ERROR_BUSY},
    {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_END_OF_FILE, ERROR_HANDLE_EOF},
    {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
    {STATUS_WDF_BUSY, ERROR_MR_MID_NOT_FOUND},  // the framework's own facility
    {static_cast<NTSTATUS>(0xC0070057u), 87},   // a Win32 error wrapped as a status
    {static_cast<NTSTATUS>(0xC0FF0001u), ERROR_MR_MID_NOT_FOUND},  // unknown
};

TEST(StatusTranslation, MatchesTheWin32Layer) {
    for (const Translation& t : kTranslations) {
        EXPECT_EQ(win32ErrorFromStatus(t.status), t.error) << std::hex << t.status;
    }
}

TEST(StatusTranslation, NamesTheErrorsItProduces) {
    for (const Translation& t : kTranslations) {
        EXPECT_NE(win32ErrorName(win32ErrorFromStatus(t.status)), nullptr) << std::hex << t.status;
    }
    EXPECT_STREQ(win32ErrorName(ERROR_OPERATION_ABORTED), "ERROR_OPERATION_ABORTED");
    EXPECT_STREQ(win32ErrorName(WAIT_TIMEOUT), "WAIT_TIMEOUT");
    EXPECT_EQ(win32ErrorName(12345), nullptr);
}

TEST_F(IoTest, DriverStatusesReachTheApplicationAsStatusAndError) {
    ToyDevice& toy = addDevice(1);
    HANDLE file = app->CreateFile("\\\\.\\TOY1", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
    for (NTSTATUS status : {STATUS_INVALID_DEVICE_STATE, STATUS_NOT_SUPPORTED,
                            STATUS_BUFFER_TOO_SMALL, STATUS_CANCELLED}) {
        SCOPED_TRACE(status);
        toy.behaviour[IRP_MJ_DEVICE_CONTROL] = Behaviour::complete(status);
        DWORD n = 0;
        EXPECT_FALSE(app->DeviceIoControl(file,
                                          CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, 0),
                                          nullptr, 0, nullptr, 0, &n, nullptr));
        EXPECT_EQ(app->lastStatus(), status);
        EXPECT_EQ(app->GetLastError(), win32ErrorFromStatus(status));
    }
}

TEST_F(IoTest, LastErrorBelongsToTheCallingThread) {
    app->SetLastError(ERROR_BUSY);
    DWORD seen = 0;
    HANDLE thread = app->CreateThread("other", [&] {
        seen = app->GetLastError();
        app->SetLastError(ERROR_CRC);
    });
    app->WaitForSingleObject(thread, INFINITE);
    EXPECT_EQ(seen, ERROR_SUCCESS);
    EXPECT_EQ(app->GetLastError(), ERROR_BUSY);
}

}  // namespace
}  // namespace vel::io::test
