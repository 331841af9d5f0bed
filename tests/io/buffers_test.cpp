// How requests carry data: system buffers, MDLs and user buffers for each buffering method, what
// comes back to the caller, and the file information calls.

#include <cstring>

#include "toy_device.h"

namespace vel::io::test {
namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

class BufferTest : public IoTest {
  protected:
    HANDLE open(ULONG bufferingFlag, DWORD flags = 0) {
        toy = &addDevice(1, bufferingFlag);
        HANDLE file = app->CreateFile("\\\\.\\TOY1", kReadWrite, 0, OPEN_EXISTING, flags);
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        return file;
    }

    ToyDevice* toy = nullptr;
};

TEST_F(BufferTest, BufferedWriteGivesTheDriverACopy) {
    HANDLE file = open(DO_BUFFERED_IO);
    char data[] = "hello";
    DWORD written = 0;
    ASSERT_TRUE(app->WriteFile(file, data, 5, &written, nullptr));
    EXPECT_EQ(written, 5u);
    const Seen& write = toy->last(IRP_MJ_WRITE);
    EXPECT_NE(write.systemBuffer, nullptr);
    EXPECT_NE(write.systemBuffer, static_cast<void*>(data));
    EXPECT_NE(write.flags & IRP_BUFFERED_IO, 0u);
    EXPECT_EQ(write.flags & IRP_INPUT_OPERATION, 0u);
    EXPECT_EQ(toy->received, bytes("hello"));
}

TEST_F(BufferTest, BufferedReadCopiesBackInformationBytesUnlessTheStatusIsAnError) {
    struct Case {
        NTSTATUS status;
        bool result;
        DWORD error;
        DWORD bytesRead;
        const char* buffer;  // what the caller's buffer holds afterwards
    };
    const Case cases[] = {
        {STATUS_SUCCESS, true, ERROR_SUCCESS, 3, "abc....."},
        {STATUS_BUFFER_OVERFLOW, false, ERROR_MORE_DATA, 3, "abc....."},  // a warning: copied
        {STATUS_DEVICE_DATA_ERROR, false, ERROR_CRC, 0, "........"},
        {STATUS_END_OF_FILE, true, ERROR_SUCCESS, 0, "........"},  // synchronous read at the end
    };
    HANDLE file = open(DO_BUFFERED_IO);
    toy->reply = bytes("abcdefgh");  // the driver fills the whole system buffer...
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        toy->behaviour[IRP_MJ_READ] = Behaviour::complete(c.status, 3);  // ...and reports 3
        char buffer[8];
        std::memset(buffer, '.', sizeof buffer);
        DWORD bytesRead = 99;
        app->SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(app->ReadFile(file, buffer, sizeof buffer, &bytesRead, nullptr), c.result);
        EXPECT_EQ(app->GetLastError(), c.error);
        EXPECT_EQ(app->lastStatus(), c.status);
        EXPECT_EQ(bytesRead, c.bytesRead);
        EXPECT_EQ(text(buffer, sizeof buffer), c.buffer);
        const Seen& read = toy->last(IRP_MJ_READ);
        EXPECT_NE(read.systemBuffer, static_cast<void*>(buffer));
        EXPECT_EQ(read.userBuffer, static_cast<void*>(buffer));
        EXPECT_NE(read.flags & IRP_INPUT_OPERATION, 0u);
    }
}

TEST_F(BufferTest, BufferedIoctlSharesOneBufferForInputAndOutput) {
    HANDLE file = open(DO_BUFFERED_IO);
    const DWORD code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    toy->reply = bytes("XY");
    char in[] = "abcd";
    char out[8];
    std::memset(out, '.', sizeof out);
    DWORD returned = 0;
    ASSERT_TRUE(app->DeviceIoControl(file, code, in, 4, out, sizeof out, &returned, nullptr));
    const Seen& ioctl = toy->last(IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(ioctl.inputLength, 4u);
    EXPECT_EQ(ioctl.length, 8u);
    EXPECT_NE(ioctl.systemBuffer, static_cast<void*>(in));
    EXPECT_NE(ioctl.systemBuffer, static_cast<void*>(out));
    EXPECT_EQ(toy->received, bytes("abcd"));
    // The driver wrote "XY" over the input in the one buffer; only Information (2) bytes return.
    EXPECT_EQ(returned, 2u);
    EXPECT_EQ(text(out, sizeof out), "XY......");
    EXPECT_EQ(text(in, 4), "abcd");
}

NTSTATUS clearInputOperation(DEVICE_OBJECT*, IRP* irp) {
    // As the framework does for an ioctl without output: no copy back, whatever Information.
    std::memcpy(irp->AssociatedIrp.SystemBuffer, "ZZZZ", 4);
    irp->Flags &= ~IRP_INPUT_OPERATION;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 4;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST_F(BufferTest, BufferedIoctlCopiesBackOnlyWhileInputOperationIsSet) {
    HANDLE file = open(DO_BUFFERED_IO);
    driver.MajorFunction[IRP_MJ_DEVICE_CONTROL] = clearInputOperation;
    const DWORD code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    char out[4] = {'.', '.', '.', '.'};
    DWORD returned = 0;
    ASSERT_TRUE(app->DeviceIoControl(file, code, nullptr, 0, out, sizeof out, &returned, nullptr));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(text(out, 4), "....");
}

TEST_F(BufferTest, DirectAndNeitherReadsReachTheCallersBuffer) {
    struct Case {
        ULONG flag;
        bool mdl;
    };
    for (const Case& c : {Case{DO_DIRECT_IO, true}, Case{0, false}}) {
        SCOPED_TRACE(c.flag);
        HANDLE file = open(c.flag);
        toy->reply = bytes("direct");
        char buffer[6] = {};
        DWORD bytesRead = 0;
        ASSERT_TRUE(app->ReadFile(file, buffer, sizeof buffer, &bytesRead, nullptr));
        EXPECT_EQ(text(buffer, bytesRead), "direct");
        const Seen& read = toy->last(IRP_MJ_READ);
        EXPECT_EQ(read.systemBuffer, nullptr);
        EXPECT_EQ(read.flags & IRP_BUFFERED_IO, 0u);
        EXPECT_EQ(read.userBuffer, static_cast<void*>(buffer));
        EXPECT_EQ(read.mdl != nullptr, c.mdl);
        if (c.mdl) {
            EXPECT_EQ(read.mdlVa, static_cast<void*>(buffer));
            EXPECT_EQ(read.mdlBytes, sizeof buffer);
        }
        EXPECT_TRUE(app->CloseHandle(file));
        endApplication();
        io().deleteDevice(toy->device);
        io().deleteSymbolicLink(links.back());
        toys.clear();
        links.clear();
        app.emplace("next");
    }
}

TEST_F(BufferTest, IoctlMethodsPlaceInputAndOutputAsDocumented) {
    HANDLE file = open(DO_BUFFERED_IO);
    toy->reply = bytes("out");
    for (ULONG method : {METHOD_IN_DIRECT, METHOD_OUT_DIRECT, METHOD_NEITHER}) {
        SCOPED_TRACE(method);
        const DWORD code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, method, FILE_ANY_ACCESS);
        char in[] = "in";
        char out[3] = {};
        DWORD returned = 0;
        ASSERT_TRUE(app->DeviceIoControl(file, code, in, 2, out, 3, &returned, nullptr));
        EXPECT_EQ(toy->received, bytes("in"));
        EXPECT_EQ(text(out, returned), "out");
        const Seen& ioctl = toy->last(IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(ioctl.userBuffer, static_cast<void*>(out));
        if (method == METHOD_NEITHER) {
            EXPECT_EQ(ioctl.type3Input, static_cast<void*>(in));
            EXPECT_EQ(ioctl.systemBuffer, nullptr);
            EXPECT_EQ(ioctl.mdl, nullptr);
        } else {
            EXPECT_NE(ioctl.systemBuffer, nullptr);  // the input, copied
            EXPECT_NE(ioctl.systemBuffer, static_cast<void*>(in));
            EXPECT_EQ(ioctl.mdlVa, static_cast<void*>(out));
        }
    }
}

TEST_F(BufferTest, InformationBeyondTheBufferIsReportedAndCut) {
    HANDLE file = open(DO_BUFFERED_IO);
    toy->reply = bytes("abcd");
    toy->behaviour[IRP_MJ_READ] = Behaviour::complete(STATUS_SUCCESS, 10);
    char buffer[4];
    DWORD bytesRead = 0;
    EXPECT_TRUE(app->ReadFile(file, buffer, sizeof buffer, &bytesRead, nullptr));
    EXPECT_EQ(bytesRead, 4u);
    expectViolation("Information 10 for a buffer of 4 bytes");
}

TEST_F(BufferTest, SynchronousReadsAndWritesMoveTheFileOffset) {
    HANDLE file = open(DO_BUFFERED_IO);
    toy->reply = bytes("abc");
    char buffer[8];
    DWORD n = 0;
    ASSERT_TRUE(app->ReadFile(file, buffer, sizeof buffer, &n, nullptr));
    ASSERT_TRUE(app->WriteFile(file, "hello", 5, &n, nullptr));
    ASSERT_TRUE(app->ReadFile(file, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(toy->seen[1].byteOffset, 0);
    EXPECT_EQ(toy->seen[2].byteOffset, 3);
    EXPECT_EQ(toy->seen[3].byteOffset, 8);

    // On a synchronous handle the position is the I/O manager's own: no request reaches the
    // driver.
    FILE_POSITION_INFORMATION position{};
    ASSERT_TRUE(
        app->QueryInformationFile(file, FilePositionInformation, &position, sizeof position));
    EXPECT_EQ(position.CurrentByteOffset.QuadPart, 11);
    position.CurrentByteOffset.QuadPart = 100;
    ASSERT_TRUE(app->SetInformationFile(file, FilePositionInformation, &position, sizeof position));
    ASSERT_TRUE(app->ReadFile(file, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(toy->last(IRP_MJ_READ).byteOffset, 100);
    EXPECT_EQ(toy->log, (std::vector<std::string>{"create", "read", "write", "read", "read"}));
}

TEST_F(BufferTest, FileInformationTravelsInASystemBuffer) {
    HANDLE file = open(0, FILE_FLAG_OVERLAPPED);
    FILE_STANDARD_INFORMATION answer{};
    answer.EndOfFile.QuadPart = 42;
    answer.NumberOfLinks = 1;
    toy->reply.assign(reinterpret_cast<unsigned char*>(&answer),
                      reinterpret_cast<unsigned char*>(&answer) + sizeof answer);
    FILE_STANDARD_INFORMATION standard{};
    DWORD returned = 0;
    ASSERT_TRUE(app->QueryInformationFile(file, FileStandardInformation, &standard, sizeof standard,
                                          &returned));
    EXPECT_EQ(returned, sizeof standard);
    EXPECT_EQ(standard.EndOfFile.QuadPart, 42);
    const Seen& query = toy->last(IRP_MJ_QUERY_INFORMATION);
    EXPECT_EQ(query.informationClass, FileStandardInformation);
    EXPECT_NE(query.systemBuffer, static_cast<void*>(&standard));  // buffered on any device

    // On an overlapped handle the position goes to the driver.
    FILE_POSITION_INFORMATION position{};
    position.CurrentByteOffset.QuadPart = 7;
    ASSERT_TRUE(app->SetInformationFile(file, FilePositionInformation, &position, sizeof position));
    EXPECT_EQ(toy->last(IRP_MJ_SET_INFORMATION).informationClass, FilePositionInformation);
    EXPECT_EQ(toy->received.size(), sizeof position);

    // Too small a buffer for the class is refused before the driver.
    size_t before = toy->log.size();
    EXPECT_FALSE(app->QueryInformationFile(file, FileStandardInformation, &standard, 8));
    EXPECT_EQ(app->GetLastError(), ERROR_BAD_LENGTH);
    EXPECT_EQ(toy->log.size(), before);
}

TEST_F(BufferTest, FlushReachesTheDriverAndReturnsItsAnswer) {
    HANDLE file = open(DO_BUFFERED_IO);
    EXPECT_TRUE(app->FlushFileBuffers(file));
    toy->behaviour[IRP_MJ_FLUSH_BUFFERS] = Behaviour::complete(STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_FALSE(app->FlushFileBuffers(file));
    EXPECT_EQ(app->GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(app->lastStatus(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(toy->log, (std::vector<std::string>{"create", "flush", "flush"}));
}

}  // namespace
}  // namespace vel::io::test
