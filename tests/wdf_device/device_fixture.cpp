#include "device_fixture.h"

#include <utility>

namespace vel::test {

DeviceTest* DeviceTest::current = nullptr;

const char* powerName(WDF_POWER_DEVICE_STATE state) {
    switch (state) {
        case WdfPowerDeviceD0:
            return "D0";
        case WdfPowerDeviceD1:
            return "D1";
        case WdfPowerDeviceD2:
            return "D2";
        case WdfPowerDeviceD3:
            return "D3";
        case WdfPowerDeviceD3Final:
            return "D3Final";
        case WdfPowerDevicePrepareForHibernation:
            return "PrepareForHibernation";
        default:
            return "?";
    }
}

namespace {

DeviceTest& test() {
    return *DeviceTest::current;
}

void note(const std::string& entry, WDFDEVICE device) {
    test().log(entry);
    if (test().inCallback) {
        test().inCallback(entry, device);
    }
}

NTSTATUS OnPrepareHardware(WDFDEVICE device, WDFCMRESLIST, WDFCMRESLIST) {
    note("prepare", device);
    return test().prepareStatus;
}

NTSTATUS OnReleaseHardware(WDFDEVICE device, WDFCMRESLIST) {
    note("release", device);
    return STATUS_SUCCESS;
}

NTSTATUS OnD0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE previous) {
    note(std::string("d0entry ") + powerName(previous), device);
    return STATUS_SUCCESS;
}

NTSTATUS OnD0Exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE target) {
    note(std::string("d0exit ") + powerName(target), device);
    return STATUS_SUCCESS;
}

NTSTATUS OnSelfManagedIoInit(WDFDEVICE device) {
    note("smio init", device);
    return STATUS_SUCCESS;
}

NTSTATUS OnSelfManagedIoRestart(WDFDEVICE device) {
    note("smio restart", device);
    return STATUS_SUCCESS;
}

NTSTATUS OnSelfManagedIoSuspend(WDFDEVICE device) {
    note("smio suspend", device);
    return STATUS_SUCCESS;
}

VOID OnSelfManagedIoFlush(WDFDEVICE device) {
    note("smio flush", device);
}

VOID OnSelfManagedIoCleanup(WDFDEVICE device) {
    note("smio cleanup", device);
}

VOID OnSurpriseRemoval(WDFDEVICE device) {
    note("surprise removal", device);
}

NTSTATUS OnQueryStop(WDFDEVICE device) {
    note("query stop", device);
    return test().queryStopStatus;
}

NTSTATUS OnQueryRemove(WDFDEVICE device) {
    note("query remove", device);
    return test().queryRemoveStatus;
}

VOID OnDeviceCleanup(WDFOBJECT device) {
    note("device cleanup", static_cast<WDFDEVICE>(device));
}

}  // namespace

NTSTATUS DeviceTestAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    DeviceTest& t = test();
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDevicePrepareHardware = OnPrepareHardware;
    callbacks.EvtDeviceReleaseHardware = OnReleaseHardware;
    callbacks.EvtDeviceD0Entry = OnD0Entry;
    callbacks.EvtDeviceD0Exit = OnD0Exit;
    callbacks.EvtDeviceSelfManagedIoInit = OnSelfManagedIoInit;
    callbacks.EvtDeviceSelfManagedIoRestart = OnSelfManagedIoRestart;
    callbacks.EvtDeviceSelfManagedIoSuspend = OnSelfManagedIoSuspend;
    callbacks.EvtDeviceSelfManagedIoFlush = OnSelfManagedIoFlush;
    callbacks.EvtDeviceSelfManagedIoCleanup = OnSelfManagedIoCleanup;
    callbacks.EvtDeviceSurpriseRemoval = OnSurpriseRemoval;
    callbacks.EvtDeviceQueryStop = OnQueryStop;
    callbacks.EvtDeviceQueryRemove = OnQueryRemove;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &callbacks);
    if (t.configureInit) {
        t.configureInit(init);
    }
    WDF_OBJECT_ATTRIBUTES attributes = t.deviceAttributes;
    attributes.EvtCleanupCallback = OnDeviceCleanup;
    WDFDEVICE device = nullptr;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    t.device_ = device;
    if (t.afterCreate) {
        t.afterCreate(device);
    }
    return STATUS_SUCCESS;
}

}  // namespace vel::test

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, vel::test::DeviceTestAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

extern "C" NTSTATUS FxDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace vel::test {

void DeviceTest::SetUp() {
    current = this;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&deviceAttributes, DeviceContext);
    rt::Runtime::Options options;
    options.seed = seed_;
    runtime_ = std::make_unique<rt::Runtime>(options);
    kernel_ = std::make_unique<kernel::Kernel>();
    framework_ = std::make_unique<wdf::Framework>();
    restartPnp();
}

void DeviceTest::restartPnp() {
    pnp_.reset();
    pnp_ = std::make_unique<pnp::PnpManager>();
    pnp::DriverPackage package;
    package.service = kDeviceService;
    package.entry = &FxDriverEntry;
    package.ids = {kDeviceId};
    pnp_->addDriverPackage(std::move(package));
}

void DeviceTest::TearDown() {
    pnp_.reset();
    framework_.reset();
    EXPECT_EQ(kernel_->poolStats().outstanding, 0u) << "pool blocks left behind";
    kernel_.reset();
    for (const rt::Violation& v : runtime_->verifier().take()) {
        ADD_FAILURE() << "verifier violation left behind: " << v.toString();
    }
    runtime_.reset();
    current = nullptr;
}

DEVICE_OBJECT* DeviceTest::plug(const std::string& instance, const std::string& location) {
    pnp::RootDevice root;
    root.deviceId = kDeviceId;
    root.instanceId = instance;
    root.hardwareIds = {kDeviceId};
    root.description = "Test device";
    root.location = location;
    return pnp_->plugRootDevice(root);
}

pnp::DeviceState DeviceTest::stateOf(DEVICE_OBJECT* pdo) const {
    std::optional<pnp::DeviceInfo> info = pnp_->device(pdo);
    return info ? info->state : pnp::DeviceState::Removed;
}

}  // namespace vel::test
