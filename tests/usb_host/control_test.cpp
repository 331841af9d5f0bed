// Control requests: descriptors as the device gives them, standard requests the host answers,
// class and vendor requests to the model (also answered late), and configuration and interface
// selection with the pipe information a driver gets back.
#include <cstring>
#include <set>

#include "host_fixture.h"

namespace vel::usb::test {
namespace {

using Strings = std::vector<std::string>;

class Control : public HostTest {};

TEST_F(Control, DescriptorsAreAnsweredAsTheDeviceGivesThem) {
    DeviceLayout layout = twoInterfaceLayout();
    auto device = std::make_shared<TestDevice>(layout);
    // wTotalLength claims 300 bytes; the device really sends 9 + the interfaces.
    device->configurationBytes = configurationOf(layout, 300);
    ASSERT_EQ(hc().attach(1, device, Speed::Full), STATUS_SUCCESS);
    settle();
    const Bytes configuration = device->configurationBytes;
    const Bytes deviceBytes = deviceDescriptorOf(layout);

    struct Case {
        const char* what;
        uint8_t type, index;
        uint16_t language;
        uint32_t length;
        NTSTATUS status;
        USBD_STATUS usbd;
        Bytes expected;
    };
    const Bytes product{24,  3, 'T', 0, 'e', 0, 's', 0, 't', 0, ' ', 0,
                        'D', 0, 'e', 0, 'v', 0, 'i', 0, 'c', 0, 'e', 0};
    const Case cases[] = {
        {"device, asked for more", 1, 0, 0, 64, STATUS_SUCCESS, USBD_STATUS_SUCCESS, deviceBytes},
        {"device, first 8 bytes", 1, 0, 0, 8, STATUS_SUCCESS, USBD_STATUS_SUCCESS,
         Bytes(deviceBytes.begin(), deviceBytes.begin() + 8)},
        {"configuration header", 2, 0, 0, 9, STATUS_SUCCESS, USBD_STATUS_SUCCESS,
         Bytes(configuration.begin(), configuration.begin() + 9)},
        {"configuration, wTotalLength asked", 2, 0, 0, 300, STATUS_SUCCESS, USBD_STATUS_SUCCESS,
         configuration},
        {"languages", 3, 0, 0, 255, STATUS_SUCCESS, USBD_STATUS_SUCCESS, Bytes{4, 3, 9, 4}},
        {"product string", 3, 2, 0x0409, 255, STATUS_SUCCESS, USBD_STATUS_SUCCESS, product},
        {"string header only", 3, 2, 0x0409, 2, STATUS_SUCCESS, USBD_STATUS_SUCCESS, Bytes{24, 3}},
        {"unknown language", 3, 2, 0x0407, 255, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, {}},
        {"missing string", 3, 9, 0x0409, 255, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = descriptorRequest(c.type, c.index, c.language, c.length);
        EXPECT_EQ(run(*r), c.status);
        EXPECT_EQ(r->urb()->UrbHeader.Status, c.usbd);
        const uint32_t got = r->urb()->UrbControlDescriptorRequest.TransferBufferLength;
        EXPECT_EQ(Bytes(r->data.begin(), r->data.begin() + got), c.expected);
        // The default pipe's handle comes back in the URB.
        EXPECT_NE(r->urb()->UrbControlTransfer.PipeHandle, nullptr);
    }
    // The host answered every one of them from the descriptors.
    const std::vector<RequestRecord> log = hc().requests(1);
    ASSERT_EQ(log.size(), 1 + std::size(cases));
    EXPECT_EQ(log[0].setup.bRequest, USB_REQUEST_SET_ADDRESS);
    for (const RequestRecord& record : log) {
        EXPECT_TRUE(record.answeredByHost);
    }
    EXPECT_EQ(log[4].setup.wValue, 0x0200);
    EXPECT_EQ(log[4].setup.wLength, 300);
}

TEST_F(Control, StandardStatusAndConfigurationComeFromTheHost) {
    DeviceLayout layout = twoInterfaceLayout();
    layout.attributes = 0xC0;  // self powered
    auto device = plug(1, layout);
    configure(*device);

    auto status = std::make_unique<UrbRequest>(sizeof(_URB_CONTROL_GET_STATUS_REQUEST), 2);
    UsbBuildGetStatusRequest(status->urb(), URB_FUNCTION_GET_STATUS_FROM_DEVICE, 0,
                             status->data.data(), nullptr, nullptr);
    ASSERT_EQ(run(*status), STATUS_SUCCESS);
    EXPECT_EQ(status->data, (Bytes{USB_GETSTATUS_SELF_POWERED, 0}));

    auto config = std::make_unique<UrbRequest>(sizeof(_URB_CONTROL_GET_CONFIGURATION_REQUEST), 1);
    config->urb()->UrbHeader.Function = URB_FUNCTION_GET_CONFIGURATION;
    config->urb()->UrbHeader.Length = sizeof(_URB_CONTROL_GET_CONFIGURATION_REQUEST);
    config->urb()->UrbControlGetConfigurationRequest.TransferBuffer = config->data.data();
    config->urb()->UrbControlGetConfigurationRequest.TransferBufferLength = 1;
    ASSERT_EQ(run(*config), STATUS_SUCCESS);
    EXPECT_EQ(config->data, Bytes{1});

    // Remote wakeup enabled by a feature request shows in the device status.
    auto feature = std::make_unique<UrbRequest>(sizeof(_URB_CONTROL_FEATURE_REQUEST));
    UsbBuildFeatureRequest(feature->urb(), URB_FUNCTION_SET_FEATURE_TO_DEVICE,
                           USB_FEATURE_REMOTE_WAKEUP, 0, nullptr);
    ASSERT_EQ(run(*feature), STATUS_SUCCESS);
    status->data = {0, 0};
    ASSERT_EQ(run(*status), STATUS_SUCCESS);
    EXPECT_EQ(status->data[0], USB_GETSTATUS_SELF_POWERED | USB_GETSTATUS_REMOTE_WAKEUP_ENABLED);

    for (const RequestRecord& record : hc().requests(1)) {
        EXPECT_TRUE(record.answeredByHost) << int(record.setup.bRequest);
    }
}

TEST_F(Control, ClassAndVendorRequestsReachTheModelAndMayBeAnsweredLater) {
    auto device = plug(1, twoInterfaceLayout());
    device->onControl = [&](const SetupPacket& setup, std::span<const uint8_t> data) {
        if (setup.bRequest == 0x20) {  // an OUT request: take the data
            return ControlAnswer{Handshake::Ack, {}};
        }
        if (setup.bRequest == 0x21) {  // answered after 30 ms
            device->host()->schedule(30 * rt::kTicksPerMs, [device] {
                device->host()->controlReady({Handshake::Ack, Bytes(7, 0x5A)});
            });
            return ControlAnswer{Handshake::Nak, {}};
        }
        (void)data;
        return ControlAnswer{Handshake::Stall, {}};
    };
    auto make = [](uint8_t request, ULONG flags, uint32_t length) {
        auto r = std::make_unique<UrbRequest>(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), length);
        UsbBuildVendorRequest(r->urb(), URB_FUNCTION_CLASS_INTERFACE,
                              sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), flags, 0, request,
                              0x0003, 0x0001, length ? r->data.data() : nullptr, nullptr, length,
                              nullptr);
        return r;
    };
    auto lineCoding = make(0x20, USBD_TRANSFER_DIRECTION_OUT, 7);
    lineCoding->data = {0x80, 0x25, 0, 0, 0, 0, 8};
    ASSERT_EQ(run(*lineCoding), STATUS_SUCCESS);

    auto late = make(0x21, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 16);
    const rt::Ticks start = runtime().now();
    ASSERT_EQ(run(*late), STATUS_SUCCESS);
    EXPECT_GE(late->completedAt - start, 30 * rt::kTicksPerMs);
    EXPECT_EQ(late->urb()->UrbControlVendorClassRequest.TransferBufferLength, 7u);
    EXPECT_EQ(Bytes(late->data.begin(), late->data.begin() + 7), Bytes(7, 0x5A));

    auto refused = make(0x22, USBD_TRANSFER_DIRECTION_IN, 4);
    EXPECT_EQ(run(*refused), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(refused->urb()->UrbHeader.Status, USBD_STATUS_STALL_PID);

    const std::vector<RequestRecord> log = hc().requests(1);
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[1].setup.bmRequestType, 0x21);  // class, interface, host to device
    EXPECT_EQ(log[1].setup.wValue, 3);
    EXPECT_EQ(log[1].setup.wIndex, 1);
    EXPECT_EQ(log[1].dataOut, (Bytes{0x80, 0x25, 0, 0, 0, 0, 8}));
    EXPECT_FALSE(log[1].answeredByHost);
    EXPECT_EQ(log[2].setup.bmRequestType, 0xA1);
}

TEST_F(Control, AnAnswerArrivingAfterItsRequestWasCancelledGoesNowhere) {
    auto device = plug(1, twoInterfaceLayout());
    device->onControl = [](const SetupPacket&, std::span<const uint8_t>) {
        return ControlAnswer{Handshake::Nak, {}};
    };
    auto make = [](uint8_t request) {
        auto r = std::make_unique<UrbRequest>(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 4);
        UsbBuildVendorRequest(r->urb(), URB_FUNCTION_VENDOR_DEVICE,
                              sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, request, 0, 0,
                              r->data.data(), nullptr, 4, nullptr);
        return r;
    };
    auto first = make(1);
    sendUrb(fdo(), *first);
    runtime().runUntilIdle();
    ASSERT_FALSE(first->done);
    IoCancelIrp(first->irp);
    runtime().runUntilIdle();
    EXPECT_EQ(first->status, STATUS_CANCELLED);
    device->host()->controlReady({Handshake::Ack, Bytes{1, 1}});  // too late

    auto second = make(2);
    sendUrb(fdo(), *second);
    runtime().runUntilIdle();
    EXPECT_FALSE(second->done) << "took the cancelled request's answer";
    device->host()->controlReady({Handshake::Ack, Bytes{2, 2, 2}});
    runtime().runUntilIdle();
    ASSERT_TRUE(second->done);
    EXPECT_EQ(second->urb()->UrbControlVendorClassRequest.TransferBufferLength, 3u);
    EXPECT_EQ(second->data[0], 2);
}

TEST_F(Control, SelectionFillsHandlesAndPipeInformation) {
    auto device = plug(1, twoInterfaceLayout(512, 4), Speed::High);
    auto select = selectConfiguration(device->configurationDescriptor(0), {{0, 0, 1}, {1, 0, 2}});
    ASSERT_EQ(run(*select), STATUS_SUCCESS);
    EXPECT_NE(select->urb()->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    auto interfaces = interfacesOf(*select);
    ASSERT_EQ(interfaces.size(), 2u);

    struct Expected {
        uint8_t address;
        USHORT maxPacket;
        USBD_PIPE_TYPE type;
        UCHAR interval;
    };
    const std::vector<std::vector<Expected>> expected = {
        {{0x81, 16, UsbdPipeTypeInterrupt, 4}},
        {{0x82, 512, UsbdPipeTypeBulk, 0}, {0x02, 512, UsbdPipeTypeBulk, 0}}};
    std::vector<USBD_PIPE_HANDLE> handles;
    for (size_t i = 0; i < 2; ++i) {
        const USBD_INTERFACE_INFORMATION& info = *interfaces[i];
        EXPECT_EQ(info.InterfaceNumber, i);
        EXPECT_EQ(info.Class, i == 0 ? 0x02 : 0x0A);
        EXPECT_NE(info.InterfaceHandle, nullptr);
        ASSERT_EQ(info.NumberOfPipes, expected[i].size());
        for (size_t p = 0; p < expected[i].size(); ++p) {
            const USBD_PIPE_INFORMATION& pipe = info.Pipes[p];
            EXPECT_EQ(pipe.EndpointAddress, expected[i][p].address);
            EXPECT_EQ(pipe.MaximumPacketSize, expected[i][p].maxPacket);
            EXPECT_EQ(pipe.PipeType, expected[i][p].type);
            EXPECT_EQ(pipe.Interval, expected[i][p].interval);
            EXPECT_EQ(pipe.MaximumTransferSize, ULONG{USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE});
            EXPECT_NE(pipe.PipeHandle, nullptr);
            handles.push_back(pipe.PipeHandle);
        }
    }
    EXPECT_EQ(std::set<USBD_PIPE_HANDLE>(handles.begin(), handles.end()).size(), 3u);

    // Alternate setting 1 of interface 1 has one bulk IN pipe; the old ones go.
    const size_t size = GET_SELECT_INTERFACE_REQUEST_SIZE(1);
    UrbRequest alternate(size);
    UsbBuildSelectInterfaceRequest(alternate.urb(), static_cast<USHORT>(size),
                                   select->urb()->UrbSelectConfiguration.ConfigurationHandle, 1, 1);
    ASSERT_EQ(run(alternate), STATUS_SUCCESS);
    const USBD_INTERFACE_INFORMATION& info = alternate.urb()->UrbSelectInterface.Interface;
    ASSERT_EQ(info.NumberOfPipes, 1u);
    EXPECT_EQ(info.Pipes[0].EndpointAddress, 0x83);
    EXPECT_EQ(info.InterfaceHandle, interfaces[1]->InterfaceHandle);
    auto stale = bulkRequest(handles[1], 512, true);
    EXPECT_EQ(run(*stale), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale->urb()->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    // An interface the descriptor does not have.
    UrbRequest missing(size);
    UsbBuildSelectInterfaceRequest(missing.urb(), static_cast<USHORT>(size),
                                   select->urb()->UrbSelectConfiguration.ConfigurationHandle, 1, 7);
    EXPECT_EQ(run(missing), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(missing.urb()->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);

    // Deconfiguring drops every pipe.
    UrbRequest deconfigure(sizeof(_URB_SELECT_CONFIGURATION));
    UsbBuildSelectConfigurationRequest(deconfigure.urb(), sizeof(_URB_SELECT_CONFIGURATION),
                                       nullptr);
    ASSERT_EQ(run(deconfigure), STATUS_SUCCESS);
    auto gone = bulkRequest(info.Pipes[0].PipeHandle, 512, true);
    EXPECT_EQ(run(*gone), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(device->events(), (Strings{"config 1", "interface 1/1", "config 0"}));
    Strings requests;
    for (const RequestRecord& r : hc().requests(1)) {
        requests.push_back(std::to_string(r.setup.bRequest) + ":" + std::to_string(r.setup.wValue) +
                           "/" + std::to_string(r.setup.wIndex));
    }
    EXPECT_EQ(requests, (Strings{"5:1/0", "9:1/0", "11:1/1", "9:0/0"}));
}

TEST_F(Control, FailedSelectionLeavesTheDeviceAsItWas) {
    auto device = plug(1, twoInterfaceLayout());
    hc().faults(1).failNext(0, STATUS_IO_TIMEOUT, USBD_STATUS_DEV_NOT_RESPONDING);
    auto select = selectConfiguration(device->configurationDescriptor(0), {{0, 0, 1}, {1, 0, 2}});
    EXPECT_EQ(run(*select), STATUS_IO_TIMEOUT);
    EXPECT_EQ(select->urb()->UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(select->urb()->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    EXPECT_EQ(interfacesOf(*select)[1]->Pipes[0].PipeHandle, nullptr);

    auto bad = selectConfiguration(device->configurationDescriptor(0), {{4, 0, 1}});
    EXPECT_EQ(run(*bad), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bad->urb()->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);

    // A record too small for the interface's pipes.
    auto small = selectConfiguration(device->configurationDescriptor(0), {{1, 0, 1}});
    EXPECT_EQ(run(*small), STATUS_BUFFER_TOO_SMALL);
}

// URB_FUNCTION_CONTROL_TRANSFER_EX: a transfer still unanswered when its time-out passes is
// cancelled by the host as timed out, and the device's late answer goes nowhere; one answered in
// time, or one without a time-out, is not.
TEST_F(Control, AControlTransferWithATimeoutEndsWhenItPasses) {
    auto device = plug(1, twoInterfaceLayout());
    int answerAfterMs = -1;  // -1: never
    device->onControl = [&](const SetupPacket&, std::span<const uint8_t>) {
        if (answerAfterMs >= 0) {
            device->host()->schedule(answerAfterMs * rt::kTicksPerMs, [device] {
                device->host()->controlReady({Handshake::Ack, Bytes{1, 2, 3}});
            });
        }
        return ControlAnswer{Handshake::Nak, {}};
    };
    auto make = [](ULONG timeoutMs) {
        auto r = std::make_unique<UrbRequest>(sizeof(_URB_CONTROL_TRANSFER_EX), 8);
        auto& x = r->urb()->UrbControlTransferEx;
        x.Hdr.Length = sizeof x;
        x.Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER_EX;
        x.TransferFlags =
            USBD_DEFAULT_PIPE_TRANSFER | USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        x.TransferBuffer = r->data.data();
        x.TransferBufferLength = 8;
        x.Timeout = timeoutMs;
        const uint8_t setup[8] = {0xC0, 0x01, 0, 0, 0, 0, 8, 0};  // vendor, device, IN
        std::memcpy(x.SetupPacket, setup, sizeof setup);
        return r;
    };
    struct Case {
        const char* name;
        ULONG timeoutMs;
        int answerAfterMs;
        NTSTATUS status;
        USBD_STATUS usbd;
        ULONG length;
    };
    for (const Case& c : {
             Case{"answered in time", 50, 20, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 3},
             Case{"never answered", 50, -1, STATUS_IO_TIMEOUT, USBD_STATUS_TIMEOUT, 0},
             Case{"answered too late", 50, 80, STATUS_IO_TIMEOUT, USBD_STATUS_TIMEOUT, 0},
         }) {
        SCOPED_TRACE(c.name);
        answerAfterMs = c.answerAfterMs;
        auto r = make(c.timeoutMs);
        const rt::Ticks start = runtime().now();
        EXPECT_EQ(run(*r), c.status);
        EXPECT_EQ(r->urb()->UrbHeader.Status, c.usbd);
        EXPECT_EQ(r->urb()->UrbControlTransferEx.TransferBufferLength, c.length);
        const rt::Ticks took = r->completedAt - start;
        if (c.status == STATUS_IO_TIMEOUT) {
            EXPECT_GE(took, c.timeoutMs * rt::kTicksPerMs);
            EXPECT_LT(took, (c.timeoutMs + 5) * rt::kTicksPerMs);
        }
        runtime().runUntilIdle();  // a late answer arrives and must reach no later request
    }

    // No time-out: the transfer waits for its answer however long it takes.
    answerAfterMs = -1;
    auto untimed = make(0);
    sendUrb(fdo(), *untimed);
    runtime().armTimer(runtime().now() + 10'000 * rt::kTicksPerMs, [] {});  // time passes
    runtime().runUntilIdle();
    EXPECT_FALSE(untimed->done);
    device->host()->controlReady({Handshake::Ack, Bytes{9}});
    runtime().runUntilIdle();
    ASSERT_TRUE(untimed->done);
    EXPECT_EQ(untimed->status, STATUS_SUCCESS);
    EXPECT_EQ(untimed->data[0], 9);
}

}  // namespace
}  // namespace vel::usb::test
