#include "io_fixture.h"

namespace vel::wdfio::test {

namespace {

constexpr const char* kService = "wdfio";

NTSTATUS TestDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    Hooks& h = hooks();
    DECLARE_CONST_UNICODE_STRING(name, u"\\Device\\WdfIo");
    if (NTSTATUS status = WdfDeviceInitAssignName(init, &name); !NT_SUCCESS(status)) {
        return status;
    }
    if (h.pnpPower != nullptr) {
        WdfDeviceInitSetPnpPowerEventCallbacks(init, h.pnpPower);
    }
    if (h.init) {
        h.init(init);
    }
    WDFDEVICE device = nullptr;
    auto* attributes = const_cast<PWDF_OBJECT_ATTRIBUTES>(h.deviceAttributes);
    if (NTSTATUS status = WdfDeviceCreate(&init, attributes, &device); !NT_SUCCESS(status)) {
        return status;
    }
    DECLARE_CONST_UNICODE_STRING(link, u"\\DosDevices\\WdfIo");
    if (NTSTATUS status = WdfDeviceCreateSymbolicLink(device, &link); !NT_SUCCESS(status)) {
        return status;
    }
    if (h.configure) {
        h.configure(device);
    }
    return STATUS_SUCCESS;
}

}  // namespace

Hooks& hooks() {
    static Hooks instance;
    return instance;
}

}  // namespace vel::wdfio::test

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, vel::wdfio::test::TestDeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

extern "C" NTSTATUS FxDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace vel::wdfio::test {

void IoTest::SetUp() {
    hooks() = Hooks{};
    rt::Runtime::Options options;
    options.seed = seed_;
    options.mode = mode_;
    runtime_ = std::make_unique<rt::Runtime>(options);
    kernel_ = std::make_unique<kernel::Kernel>();
    framework_ = std::make_unique<wdf::Framework>();
    pnp_ = std::make_unique<pnp::PnpManager>();
    pnp::DriverPackage package;
    package.service = kService;
    package.entry = FxDriverEntry;
    package.ids = {"ROOT\\WDFIO"};
    pnp_->addDriverPackage(std::move(package));
    app_ = std::make_unique<io::Application>("wdfio-test");
}

void IoTest::TearDown() {
    // Removal first: its purge ends what the driver still holds, so the application's exit
    // does not wait for it.
    if (pdo_ != nullptr && pnp_->device(pdo_)) {
        pnp_->remove(pdo_);
    }
    app_.reset();
    pnp_.reset();
    framework_.reset();
    kernel_.reset();
    for (const rt::Violation& v : runtime_->verifier().take()) {
        ADD_FAILURE() << "verifier violation left behind: " << v.toString();
    }
    runtime_.reset();
    hooks() = Hooks{};
}

WDFDEVICE IoTest::plug() {
    WDFDEVICE device = nullptr;
    auto configure = hooks().configure;
    hooks().configure = [&device, configure](WDFDEVICE created) {
        device = created;
        if (configure) {
            configure(created);
        }
    };
    pnp::RootDevice root;
    root.deviceId = "ROOT\\WDFIO";
    root.hardwareIds = {"ROOT\\WDFIO"};
    pdo_ = pnp_->plugRootDevice(root);
    hooks().configure = configure;
    return device;
}

HANDLE IoTest::open(bool synchronous) {
    HANDLE file = app_->CreateFile("\\\\.\\WdfIo", GENERIC_READ | GENERIC_WRITE, 0,
                                   io::OPEN_EXISTING, synchronous ? 0 : io::FILE_FLAG_OVERLAPPED);
    EXPECT_NE(file, io::INVALID_HANDLE_VALUE) << "open failed: " << app_->GetLastError();
    return file;
}

void IoTest::read(HANDLE file, void* buffer, DWORD length, io::OVERLAPPED* overlapped) {
    app_->ReadFile(file, buffer, length, nullptr, overlapped);
}

void IoTest::write(HANDLE file, const void* buffer, DWORD length, io::OVERLAPPED* overlapped) {
    app_->WriteFile(file, buffer, length, nullptr, overlapped);
}

void IoTest::ioctl(HANDLE file, DWORD code, const void* in, DWORD inLength, void* out,
                   DWORD outLength, io::OVERLAPPED* overlapped) {
    app_->DeviceIoControl(file, code, in, inLength, out, outLength, nullptr, overlapped);
}

NTSTATUS IoTest::result(io::OVERLAPPED* overlapped, DWORD* bytes) {
    if (bytes != nullptr) {
        *bytes = static_cast<DWORD>(overlapped->InternalHigh);
    }
    return static_cast<NTSTATUS>(overlapped->Internal);
}

void IoTest::sendInternal(WDFDEVICE device, UCHAR minor, ULONG code, SentIrp* sent,
                          bool atDispatch) {
    DEVICE_OBJECT* target = WdfDeviceWdmGetDeviceObject(device);
    IRP* irp = IoAllocateIrp(target->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->MinorFunction = minor;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP done, PVOID context) -> NTSTATUS {
            auto* result = static_cast<SentIrp*>(context);
            result->status = done->IoStatus.Status;
            result->information = done->IoStatus.Information;
            result->done = true;
            IoFreeIrp(done);
            return STATUS_MORE_PROCESSING_REQUIRED;
        },
        sent, TRUE, TRUE, TRUE);
    if (atDispatch) {
        runtime_->queueDpc([target, irp] { IoCallDriver(target, irp); });
    } else {
        IoCallDriver(target, irp);
    }
}

void IoTest::expectViolations(const std::vector<rt::Rule>& rules) {
    std::vector<rt::Violation> taken = runtime_->verifier().take();
    std::vector<rt::Rule> seen;
    for (const rt::Violation& v : taken) {
        seen.push_back(v.rule);
    }
    EXPECT_EQ(seen, rules);
    if (seen != rules) {
        for (const rt::Violation& v : taken) {
            ADD_FAILURE() << v.toString();
        }
    }
}

}  // namespace vel::wdfio::test
