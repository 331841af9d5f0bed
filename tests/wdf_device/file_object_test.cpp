// Opens of a framework device from an application: a file object per open, the driver's
// create, cleanup and close callbacks, exclusive devices and failed creates.
#include "device_fixture.h"
#include "vel/io/application.h"
#include "vel/io/errors.h"

namespace vel::test {
namespace {

using Log = std::vector<std::string>;

NTSTATUS createStatus = STATUS_SUCCESS;
WDFFILEOBJECT lastFile = nullptr;

VOID OnFileCreate(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT file) {
    DeviceTest::current->log("create");
    EXPECT_EQ(WdfFileObjectGetDevice(file), device);
    EXPECT_NE(WdfFileObjectWdmGetFileObject(file), nullptr);
    lastFile = file;
    WdfRequestComplete(request, createStatus);
}

VOID OnFileCleanup(WDFFILEOBJECT file) {
    DeviceTest::current->log(file == lastFile ? "cleanup" : "cleanup of another file");
}

VOID OnFileClose(WDFFILEOBJECT file) {
    DeviceTest::current->log(file == lastFile ? "close" : "close of another file");
}

class FileObjectTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        createStatus = STATUS_SUCCESS;
        lastFile = nullptr;
        configureInit = [](PWDFDEVICE_INIT init) {
            WdfDeviceInitSetExclusive(init, TRUE);
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(u"\\Device\\VelFile0"));
            WdfDeviceInitAssignName(init, &name);
            WDF_FILEOBJECT_CONFIG config;
            WDF_FILEOBJECT_CONFIG_INIT(&config, OnFileCreate, OnFileClose, OnFileCleanup);
            WdfDeviceInitSetFileObjectConfig(init, &config, WDF_NO_OBJECT_ATTRIBUTES);
        };
        afterCreate = [](WDFDEVICE device) {
            UNICODE_STRING link;
            RtlInitUnicodeString(&link, reinterpret_cast<PCWSTR>(u"\\DosDevices\\VELFILE0"));
            EXPECT_EQ(WdfDeviceCreateSymbolicLink(device, &link), STATUS_SUCCESS);
        };
        pdo_ = plug();
        takeLog();
        app_ = std::make_unique<io::Application>();
    }
    void TearDown() override {
        app_.reset();
        DeviceTest::TearDown();
    }

    HANDLE open() {
        return app_->CreateFile("\\\\.\\VELFILE0", GENERIC_READ | GENERIC_WRITE, 0,
                                io::OPEN_EXISTING, 0);
    }

    std::unique_ptr<io::Application> app_;
    DEVICE_OBJECT* pdo_ = nullptr;
};

TEST_F(FileObjectTest, EachOpenGetsCreateThenCleanupAndClose) {
    HANDLE first = open();
    ASSERT_NE(first, io::INVALID_HANDLE_VALUE);
    EXPECT_EQ(takeLog(), Log{"create"});

    // Exclusive: a second open is refused before the driver hears of it.
    EXPECT_EQ(open(), io::INVALID_HANDLE_VALUE);
    EXPECT_EQ(app_->GetLastError(), io::ERROR_ACCESS_DENIED);
    EXPECT_EQ(takeLog(), Log{});

    ASSERT_TRUE(app_->CloseHandle(first));
    runtime().runUntilIdle();
    EXPECT_EQ(takeLog(), (Log{"cleanup", "close"}));

    HANDLE again = open();
    ASSERT_NE(again, io::INVALID_HANDLE_VALUE);
    ASSERT_TRUE(app_->CloseHandle(again));
    runtime().runUntilIdle();
    EXPECT_EQ(takeLog(), (Log{"create", "cleanup", "close"}));
}

TEST_F(FileObjectTest, FailedCreateLeavesNoFileObjectBehind) {
    createStatus = STATUS_DEVICE_BUSY;
    EXPECT_EQ(open(), io::INVALID_HANDLE_VALUE);
    // No cleanup or close for it, and the exclusive device is free again.
    EXPECT_EQ(takeLog(), Log{"create"});
    createStatus = STATUS_SUCCESS;
    HANDLE file = open();
    ASSERT_NE(file, io::INVALID_HANDLE_VALUE);
    ASSERT_TRUE(app_->CloseHandle(file));
    runtime().runUntilIdle();
    EXPECT_EQ(takeLog(), (Log{"create", "cleanup", "close"}));
}

// A device that leaves while the application holds it open stays, with its driver, until the
// handle is closed: new opens fail, I/O on the old handle fails, cleanup and close still reach
// the driver, and only then is the device removed and the driver unloaded.
TEST_F(FileObjectTest, SurpriseRemovedDeviceServesItsOpenHandleUntilClosed) {
    HANDLE file = open();
    ASSERT_NE(file, io::INVALID_HANDLE_VALUE);
    takeLog();
    ASSERT_EQ(pnp().unplugRootDevice(pdo_), STATUS_SUCCESS);
    runtime().runUntilIdle();
    EXPECT_EQ(takeLog(),
              (Log{"surprise removal", "smio suspend", "d0exit D3Final", "release", "smio flush"}));
    EXPECT_EQ(stateOf(pdo_), pnp::DeviceState::SurpriseRemoved);
    EXPECT_TRUE(framework().isLoaded(kDeviceService));

    EXPECT_EQ(open(), io::INVALID_HANDLE_VALUE);
    char buffer[4];
    io::DWORD read = 0;
    EXPECT_FALSE(app_->ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(app_->lastStatus(), STATUS_DELETE_PENDING);

    ASSERT_TRUE(app_->CloseHandle(file));
    runtime().runUntilIdle();
    pnp().settle();
    EXPECT_EQ(takeLog(), (Log{"cleanup", "close", "smio cleanup", "device cleanup"}));
    EXPECT_EQ(stateOf(pdo_), pnp::DeviceState::Removed);
    EXPECT_FALSE(framework().isLoaded(kDeviceService));
}

TEST_F(FileObjectTest, OrderlyRemovalOfAnOpenDeviceCompletesAtTheLastClose) {
    HANDLE file = open();
    ASSERT_NE(file, io::INVALID_HANDLE_VALUE);
    takeLog();
    EXPECT_EQ(pnp().remove(pdo_), STATUS_SUCCESS);
    EXPECT_EQ(takeLog(), (Log{"query remove", "surprise removal", "smio suspend", "d0exit D3Final",
                              "release", "smio flush"}));
    EXPECT_EQ(stateOf(pdo_), pnp::DeviceState::SurpriseRemoved);
    EXPECT_TRUE(framework().isLoaded(kDeviceService));

    ASSERT_TRUE(app_->CloseHandle(file));
    runtime().runUntilIdle();
    pnp().settle();
    EXPECT_EQ(takeLog(), (Log{"cleanup", "close", "smio cleanup", "device cleanup"}));
    EXPECT_EQ(stateOf(pdo_), pnp::DeviceState::Removed);
    EXPECT_FALSE(framework().isLoaded(kDeviceService));
}

}  // namespace
}  // namespace vel::test
