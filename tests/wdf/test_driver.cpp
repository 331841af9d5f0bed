#include "test_driver.h"

#include <utility>

namespace {

std::function<NTSTATUS(WDFDRIVER, PWDFDEVICE_INIT)> deviceAdd;

NTSTATUS TestDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    return deviceAdd ? deviceAdd(Driver, DeviceInit) : STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, TestDeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

extern "C" NTSTATUS FxDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace vel::test {

void DriverTest::SetUp() {
    PlatformTest::SetUp();
    deviceAdd = nullptr;
    ASSERT_EQ(framework().loadDriver(kService, &FxDriverEntry), STATUS_SUCCESS);
}

void DriverTest::onDeviceAdd(std::function<NTSTATUS(WDFDRIVER, PWDFDEVICE_INIT)> callback) {
    deviceAdd = std::move(callback);
}

wdf::DeviceInitPtr DriverTest::deviceInit() {
    return framework().createDeviceInit(
        kService, {"USB\\VID_1234&PID_5678\\1",
                   kernel::regpath::softwareKey("{4d36e978-e325-11ce-bfc1-08002be10318}", 3)});
}

// Made by EvtDriverDeviceAdd through Framework::runDeviceAdd, without a PnP manager: the
// device has no PDO below it and is never started.
WDFDEVICE DriverTest::device() {
    if (device_ == nullptr) {
        auto testAdd = std::exchange(deviceAdd, [this](WDFDRIVER, PWDFDEVICE_INIT init) {
            return WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device_);
        });
        EXPECT_EQ(framework().runDeviceAdd(*deviceInit()), STATUS_SUCCESS);
        deviceAdd = std::move(testAdd);
    }
    return device_;
}

void DriverTest::atDispatch(std::function<void()> body) {
    bool done = false;
    runtime().queueDpc([&] {
        body();
        done = true;
    });
    runtime().runUntilIdle();
    ASSERT_TRUE(done);
}

void DriverTest::inContext(const char* name, std::function<void()> body) {
    runtime().spawn(name, rt::ContextKind::Pnp, std::move(body));
    runtime().runUntilIdle();
}

}  // namespace vel::test
