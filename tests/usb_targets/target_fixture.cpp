#include "target_fixture.h"

namespace vel::usbtargets::test {

namespace {

NTSTATUS EvtPrepareHardware(WDFDEVICE device, WDFCMRESLIST, WDFCMRESLIST) {
    DriverState& d = driver();
    ++d.prepares;
    d.createStatus = WdfUsbTargetDeviceCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &d.usbDevice);
    return d.createStatus;
}

NTSTATUS EvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDevicePrepareHardware = EvtPrepareHardware;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &callbacks);
    return WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &driver().device);
}

}  // namespace

DriverState& driver() {
    static DriverState* state = new DriverState;
    return *state;
}

}  // namespace vel::usbtargets::test

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, vel::usbtargets::test::EvtDeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

extern "C" NTSTATUS FxDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace vel::usbtargets::test {

void TargetTest::SetUp() {
    driver() = {};
    PnpPlatformTest::SetUp();
    pnp::DriverPackage package;
    package.service = "usbtargettest";
    package.entry = FxDriverEntry;
    package.ids = {"USB\\VID_1234&PID_0001"};
    pnp().addDriverPackage(std::move(package));
    hc_ = std::make_unique<usb::HostController>();
}

void TargetTest::TearDown() {
    runtime().runUntilIdle();
    hc_.reset();
    runtime().runUntilIdle();
    PnpPlatformTest::TearDown();
}

std::shared_ptr<TestDevice> TargetTest::plug(DeviceLayout layout, Speed speed,
                                             Bytes configuration) {
    auto device = attach(std::move(layout), speed, std::move(configuration));
    settle();
    return device;
}

std::shared_ptr<TestDevice> TargetTest::attach(DeviceLayout layout, Speed speed,
                                               Bytes configuration) {
    auto device = std::make_shared<TestDevice>(std::move(layout));
    device->configurationBytes = std::move(configuration);
    EXPECT_EQ(hc().attach(1, device, speed), STATUS_SUCCESS);
    return device;
}

std::optional<pnp::DeviceInfo> TargetTest::node() {
    std::function<std::optional<pnp::DeviceInfo>(const std::vector<pnp::DeviceInfo>&)> find =
        [&](const std::vector<pnp::DeviceInfo>& nodes) -> std::optional<pnp::DeviceInfo> {
        for (const pnp::DeviceInfo& each : nodes) {
            if (each.deviceId == "USB\\VID_1234&PID_0001") {
                return each;
            }
            if (auto found = find(each.children)) {
                return found;
            }
        }
        return std::nullopt;
    };
    return find(pnp().tree());
}

void TargetTest::unplug() {
    EXPECT_EQ(hc().detach(1), STATUS_SUCCESS);
    settle();
}

void TargetTest::settle() {
    pnp().settle();
    runtime().runUntilIdle();
}

void TargetTest::passive(const std::function<void()>& body) {
    runtime().spawn("driver", rt::ContextKind::Pnp, body);
    runtime().runUntilIdle();
}

std::vector<std::string> TargetTest::selections(const TestDevice& device) {
    std::vector<std::string> out;
    for (const std::string& e : device.events()) {
        if (e.rfind("config", 0) == 0 || e.rfind("interface", 0) == 0) {
            out.push_back(e);
        }
    }
    return out;
}

}  // namespace vel::usbtargets::test
