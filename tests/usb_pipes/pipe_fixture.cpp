#include "pipe_fixture.h"

#include <cstring>

namespace vel::usbpipe::test {

namespace {

constexpr const char* kService = "usbpipetest";

VOID EvtReadComplete(WDFUSBPIPE, WDFMEMORY buffer, size_t length, WDFCONTEXT) {
    DriverState& d = driver();
    size_t size = 0;
    auto* bytes = static_cast<uint8_t*>(WdfMemoryGetBuffer(buffer, &size));
    ReadRecord record{Bytes(bytes, bytes + size), length, rt::currentIrql(),
                      rt::Runtime::current()->now()};
    {
        std::lock_guard lock(d.mutex);
        d.reads.push_back(std::move(record));
    }
    if (d.onRead) {
        d.onRead(buffer);
    }
}

BOOLEAN EvtReadersFailed(WDFUSBPIPE, NTSTATUS status, USBD_STATUS usbdStatus) {
    DriverState& d = driver();
    {
        std::lock_guard lock(d.mutex);
        d.failures.push_back({status, usbdStatus, rt::currentIrql()});
    }
    if (d.onFailed) {
        d.onFailed();
    }
    return d.readersFailedAnswer.value_or(TRUE);
}

WDFUSBPIPE pipeAt(WDFUSBINTERFACE usbInterface, UCHAR address) {
    for (UCHAR i = 0; i < WdfUsbInterfaceGetNumConfiguredPipes(usbInterface); ++i) {
        WDF_USB_PIPE_INFORMATION info;
        WDF_USB_PIPE_INFORMATION_INIT(&info);
        WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(usbInterface, i, &info);
        if (info.EndpointAddress == address) {
            return pipe;
        }
    }
    return nullptr;
}

NTSTATUS EvtPrepareHardware(WDFDEVICE device, WDFCMRESLIST, WDFCMRESLIST) {
    DriverState& d = driver();
    NTSTATUS status = WdfUsbTargetDeviceCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &d.usbDevice);
    if (NT_SUCCESS(status)) {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, nullptr);
        status = WdfUsbTargetDeviceSelectConfig(d.usbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
    }
    if (NT_SUCCESS(status)) {
        d.interruptIn = pipeAt(WdfUsbTargetDeviceGetInterface(d.usbDevice, 0), 0x81);
        WDFUSBINTERFACE data = WdfUsbTargetDeviceGetInterface(d.usbDevice, 1);
        d.bulkIn = pipeAt(data, 0x82);
        d.bulkOut = pipeAt(data, 0x02);
    }
    if (NT_SUCCESS(status) && d.readerPipe != nullptr) {
        d.readerStatus = WdfUsbTargetPipeConfigContinuousReader(*d.readerPipe, &d.readerConfig);
    }
    d.prepareStatus = status;
    return status;
}

NTSTATUS EvtD0Entry(WDFDEVICE, WDF_POWER_DEVICE_STATE) {
    DriverState& d = driver();
    if (d.readerPipe != nullptr && NT_SUCCESS(d.readerStatus) && d.startAtD0) {
        return WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(*d.readerPipe));
    }
    return STATUS_SUCCESS;
}

NTSTATUS EvtD0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE) {
    DriverState& d = driver();
    if (d.readerPipe != nullptr && NT_SUCCESS(d.readerStatus)) {
        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(*d.readerPipe), WdfIoTargetCancelSentIo);
    }
    return STATUS_SUCCESS;
}

NTSTATUS EvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDevicePrepareHardware = EvtPrepareHardware;
    callbacks.EvtDeviceD0Entry = EvtD0Entry;
    callbacks.EvtDeviceD0Exit = EvtD0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &callbacks);
    return WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &driver().device);
}

VOID EvtSendComplete(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params,
                     WDFCONTEXT context) {
    auto* send = static_cast<AsyncSend*>(context);
    send->params = *params;
    if (params->Type == WdfRequestTypeUsb && params->Parameters.Usb.Completion != nullptr) {
        send->usb = *params->Parameters.Usb.Completion;
    }
    send->status = params->IoStatus.Status;
    send->done = true;
}

}  // namespace

DriverState& driver() {
    static DriverState* state = new DriverState;
    return *state;
}

WDF_USB_CONTINUOUS_READER_CONFIG readerConfig(size_t transferLength, UCHAR reads, size_t header,
                                              size_t trailer) {
    WDF_USB_CONTINUOUS_READER_CONFIG config;
    WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, EvtReadComplete, nullptr, transferLength);
    config.NumPendingReads = reads;
    config.HeaderLength = header;
    config.TrailerLength = trailer;
    config.EvtUsbTargetPipeReadersFailed = EvtReadersFailed;
    return config;
}

}  // namespace vel::usbpipe::test

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, vel::usbpipe::test::EvtDeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

extern "C" NTSTATUS FxDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace vel::usbpipe::test {

void PipeTest::SetUp() {
    DriverState& d = driver();
    d.device = nullptr;
    d.usbDevice = nullptr;
    d.interruptIn = d.bulkIn = d.bulkOut = nullptr;
    d.prepareStatus = d.readerStatus = STATUS_PENDING;
    d.readerPipe = nullptr;
    d.readersFailedAnswer = TRUE;
    d.startAtD0 = true;
    d.onRead = nullptr;
    d.onFailed = nullptr;
    d.reads.clear();
    d.failures.clear();

    PnpPlatformTest::SetUp();
    pnp::DriverPackage package;
    package.service = kService;
    package.entry = FxDriverEntry;
    package.ids = {"USB\\VID_1234&PID_0001"};
    pnp().addDriverPackage(std::move(package));
    hc_ = std::make_unique<usb::HostController>();
}

void PipeTest::TearDown() {
    runtime().runUntilIdle();
    hc_.reset();
    runtime().runUntilIdle();
    PnpPlatformTest::TearDown();
    driver().onRead = nullptr;
    driver().onFailed = nullptr;
}

std::shared_ptr<TestDevice> PipeTest::plug(uint16_t bulkPacket, Speed speed) {
    auto device = std::make_shared<TestDevice>(usb::test::twoInterfaceLayout(bulkPacket));
    EXPECT_EQ(hc().attach(1, device, speed), STATUS_SUCCESS);
    settle();
    EXPECT_EQ(driver().prepareStatus, STATUS_SUCCESS);
    return device;
}

void PipeTest::unplug() {
    EXPECT_EQ(hc().detach(1), STATUS_SUCCESS);
    settle();
}

void PipeTest::settle() {
    pnp().settle();
    runtime().runUntilIdle();
}

bool PipeTest::sendAsync(WDFUSBPIPE pipe, AsyncSend& send,
                         const std::function<NTSTATUS(WDFREQUEST)>& format) {
    if (send.request == nullptr) {
        EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, WdfUsbTargetPipeGetIoTarget(pipe),
                                   &send.request),
                  STATUS_SUCCESS);
    }
    send.done = false;
    send.status = STATUS_PENDING;
    EXPECT_EQ(format(send.request), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(send.request, EvtSendComplete, &send);
    return WdfRequestSend(send.request, WdfUsbTargetPipeGetIoTarget(pipe), WDF_NO_SEND_OPTIONS);
}

void PipeTest::expectViolations(const std::vector<rt::Rule>& rules) {
    std::vector<rt::Rule> seen;
    for (const rt::Violation& v : runtime().verifier().take()) {
        seen.push_back(v.rule);
    }
    EXPECT_EQ(seen, rules);
}

}  // namespace vel::usbpipe::test
