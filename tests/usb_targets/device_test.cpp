// The device-level USB calls through a function driver on the simple device model: creation
// against good and malformed configurations (and its failure failing the start), the bus
// interface, traits, descriptors, strings, control transfers (answered, stalled, never answered,
// unplugged), the port calls and the injection points.
#include <cstring>

#include "target_fixture.h"
#include "vel/kernel/io.h"
#include "vel/runtime/faults.h"

namespace vel::usbtargets::test {
namespace {

using usb::test::configurationOf;
using usb::test::deviceDescriptorOf;
using usb::test::twoInterfaceLayout;

class DeviceTest : public TargetTest {};

// ----- Creation ------------------------------------------------------------------------------

struct CreateCase {
    const char* name;
    DeviceLayout layout;
    // Turns the layout's configuration bytes into what the device answers.
    Bytes (*mangle)(const DeviceLayout&);
    NTSTATUS status;
    UCHAR interfaces;  // when created
};

Bytes asIs(const DeviceLayout& layout) {
    return configurationOf(layout);
}
Bytes totalBelowHeader(const DeviceLayout& layout) {
    return configurationOf(layout, 5);
}
// wTotalLength promises more than the device sends.
Bytes totalBeyondData(const DeviceLayout& layout) {
    Bytes bytes = configurationOf(layout);
    const uint16_t total = static_cast<uint16_t>(bytes.size() + 12);
    std::memcpy(&bytes[2], &total, 2);
    return bytes;
}
// The device stops sending inside the last endpoint descriptor; wTotalLength still counts it.
Bytes sentUpToInsideADescriptor(const DeviceLayout& layout) {
    Bytes bytes = configurationOf(layout);
    bytes.resize(bytes.size() - 3);
    return bytes;
}
// The last endpoint descriptor is cut: its bLength runs past wTotalLength.
Bytes lastDescriptorCut(const DeviceLayout& layout) {
    Bytes bytes = configurationOf(layout);
    bytes.resize(bytes.size() - 3);
    const uint16_t total = static_cast<uint16_t>(bytes.size());
    std::memcpy(&bytes[2], &total, 2);
    return bytes;
}

DeviceLayout alternatesZeroAndTwo() {
    DeviceLayout layout = twoInterfaceLayout();
    layout.interfaces[2].alternate = 2;
    return layout;
}

// Interface 0 with alternate settings 0 and 1, then interface 1.
DeviceLayout firstInterfaceWithTwoSettings() {
    DeviceLayout layout;
    layout.interfaces = {{0, 0, 0xFF, 0, 0, {{0x81, 2, 64}}},
                         {0, 1, 0xFF, 0, 0, {{0x81, 2, 64}}},
                         {1, 0, 0xFF, 0, 0, {{0x02, 2, 64}}}};
    return layout;
}
// An interface association for interfaces 0 and 1 right after the configuration header.
Bytes behindAnAssociation(const DeviceLayout& layout) {
    Bytes bytes = configurationOf(layout);
    const Bytes association{8, 0x0B, 0, 2, 0xFF, 0, 0, 0};
    bytes.insert(bytes.begin() + 9, association.begin(), association.end());
    const auto total = static_cast<uint16_t>(bytes.size());
    std::memcpy(&bytes[2], &total, 2);
    return bytes;
}

DeviceLayout endpointlessInterface() {
    DeviceLayout layout;
    layout.interfaces = {{0, 0, 0x02, 0x02, 0x01, {}},
                         {1, 0, 0x0A, 0, 0, {{0x82, 2, 64}, {0x02, 2, 64}}}};
    return layout;
}

TEST_F(DeviceTest, CreationAcceptsEveryConfigurationInsideItsLengthAndNothingElse) {
    const CreateCase cases[] = {
        {"two interfaces", twoInterfaceLayout(), asIs, STATUS_SUCCESS, 2},
        {"alternate settings 0 and 2", alternatesZeroAndTwo(), asIs, STATUS_SUCCESS, 2},
        {"interface without endpoints", endpointlessInterface(), asIs, STATUS_SUCCESS, 2},
        {"association whose first interface has two settings", firstInterfaceWithTwoSettings(),
         behindAnAssociation, STATUS_SUCCESS, 2},
        {"wTotalLength below the header", twoInterfaceLayout(), totalBelowHeader,
         STATUS_UNSUCCESSFUL, 0},
        {"wTotalLength beyond the data", twoInterfaceLayout(), totalBeyondData, STATUS_SUCCESS, 2},
        {"data ending inside a descriptor", twoInterfaceLayout(), sentUpToInsideADescriptor,
         STATUS_INVALID_DEVICE_REQUEST, 0},
        {"descriptor running past the end", twoInterfaceLayout(), lastDescriptorCut,
         STATUS_INVALID_DEVICE_REQUEST, 0},
    };
    for (const CreateCase& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();  // a fresh platform per case
        SetUp();
        plug(c.layout, Speed::Full, c.mangle(c.layout));
        EXPECT_EQ(driver().createStatus, c.status);
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(WdfUsbTargetDeviceGetNumInterfaces(driver().usbDevice), c.interfaces);
        }
    }
}

// A failed creation fails the driver's prepare-hardware: the device ends with that status as
// its problem, and its unplug afterwards is clean, also after the hub reported it again (the
// fixture checks for violations and leaks).
TEST_F(DeviceTest, ACreationThatFailsFailsTheStartAndTheUnplugAfterIsClean) {
    plug(twoInterfaceLayout(), Speed::Full, lastDescriptorCut(twoInterfaceLayout()));
    EXPECT_EQ(driver().createStatus, STATUS_INVALID_DEVICE_REQUEST);
    std::optional<pnp::DeviceInfo> info = node();
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->state, pnp::DeviceState::StartFailed);
    EXPECT_EQ(info->problem, STATUS_INVALID_DEVICE_REQUEST);
    // Another arrival makes the hub report the failed device again; that gives the PnP manager
    // nothing new to remove.
    DeviceLayout other = twoInterfaceLayout();
    other.product = 0x0002;
    ASSERT_EQ(hc().attach(2, std::make_shared<TestDevice>(other), Speed::Full), STATUS_SUCCESS);
    settle();
    EXPECT_EQ(node()->state, pnp::DeviceState::StartFailed);
    DEVICE_OBJECT* pdo = node()->pdo;
    unplug();
    EXPECT_FALSE(node().has_value());
    EXPECT_EQ(kernel::IoManager::current().referenceCount(pdo), 0) << "the PDO was not deleted";
}

// A device that sends fewer bytes than its wTotalLength promises: the target keeps what came,
// reports that size (below wTotalLength, for the driver to judge) and refuses to select it,
// since the selection would hand the stack a descriptor longer than the bytes behind it.
TEST_F(DeviceTest, AShortConfigurationIsKeptAsSentAndCannotBeSelected) {
    const DeviceLayout layout = twoInterfaceLayout();
    const Bytes sent = totalBeyondData(layout);
    plug(layout, Speed::Full, sent);
    ASSERT_EQ(driver().createStatus, STATUS_SUCCESS);
    passive([&] {
        USHORT size = 0;
        EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(driver().usbDevice, nullptr, &size),
                  STATUS_BUFFER_TOO_SMALL);
        ASSERT_EQ(size, sent.size());
        Bytes held(size);
        EXPECT_EQ(
            WdfUsbTargetDeviceRetrieveConfigDescriptor(driver().usbDevice, held.data(), &size),
            STATUS_SUCCESS);
        EXPECT_EQ(held, sent);  // wTotalLength as the device gave it

        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, nullptr);
        EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(driver().usbDevice, nullptr, &params),
                  STATUS_DEVICE_DATA_ERROR);
        // Deconfiguring needs no descriptor.
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(&params);
        EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(driver().usbDevice, nullptr, &params),
                  STATUS_SUCCESS);
    });
}

// The configuration read twice (header, then whole): a device whose wTotalLength changes between
// the reads is refused. Each answer ends in a vendor descriptor whose length grows per read when
// `changing`, so the two reads never agree; a constant one is accepted.
TEST_F(DeviceTest, AConfigurationWhoseLengthChangesBetweenReadsIsRefused) {
    for (bool changing : {false, true}) {
        SCOPED_TRACE(changing ? "changing" : "constant");
        TearDown();  // a fresh platform per case
        SetUp();
        const DeviceLayout layout = twoInterfaceLayout();
        auto device = attach(layout);
        auto reads = std::make_shared<int>(0);
        device->onConfiguration = [layout, changing, reads] {
            const uint8_t extra = static_cast<uint8_t>(2 + (changing ? (*reads)++ % 32 : 4));
            Bytes bytes = configurationOf(layout);
            bytes.push_back(extra);
            bytes.push_back(0xFF);  // vendor-specific
            bytes.resize(bytes.size() + extra - 2, 0);
            const auto total = static_cast<uint16_t>(bytes.size());
            std::memcpy(&bytes[2], &total, 2);
            return bytes;
        };
        settle();
        EXPECT_EQ(driver().createStatus, changing ? STATUS_DEVICE_DATA_ERROR : STATUS_SUCCESS);
    }
}

// The bus interface: a stack that does not know it (STATUS_NOT_SUPPORTED) still gives a USB
// device, without the traits and calls it brings; any other failure fails the creation.
TEST_F(DeviceTest, ABusInterfaceNotSupportedIsLegacyModeAndAnyOtherFailureFailsCreation) {
    struct Case {
        NTSTATUS answer;
        NTSTATUS created;
    } cases[] = {
        {STATUS_NOT_SUPPORTED, STATUS_SUCCESS},
        {STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES},
        {STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.answer);
        TearDown();  // a fresh platform per case
        SetUp();
        attach(twoInterfaceLayout(), Speed::High);
        hc().faults(1).failBusInterface(c.answer);
        settle();
        ASSERT_EQ(driver().createStatus, c.created);
        if (!NT_SUCCESS(c.created)) {
            ASSERT_TRUE(node().has_value());
            EXPECT_EQ(node()->problem, c.created);
            continue;
        }
        passive([&] {
            WDF_USB_DEVICE_INFORMATION info;
            WDF_USB_DEVICE_INFORMATION_INIT(&info);
            EXPECT_EQ(WdfUsbTargetDeviceRetrieveInformation(driver().usbDevice, &info),
                      STATUS_SUCCESS);
            EXPECT_EQ(info.Traits & WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED, 0u) << "high speed "
                                                                               "without the bus "
                                                                               "interface";
            ULONG frame = 0;
            EXPECT_FALSE(NT_SUCCESS(
                WdfUsbTargetDeviceRetrieveCurrentFrameNumber(driver().usbDevice, &frame)));
            // Control transfers still work, on the default pipe's handle.
            USB_DEVICE_DESCRIPTOR descriptor{};
            WdfUsbTargetDeviceGetDeviceDescriptor(driver().usbDevice, &descriptor);
            EXPECT_EQ(descriptor.idVendor, 0x1234);
            UCHAR status[2] = {};
            WDF_MEMORY_DESCRIPTOR memory;
            WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, status, sizeof status);
            WDF_USB_CONTROL_SETUP_PACKET setup;
            WDF_USB_CONTROL_SETUP_PACKET_INIT_GET_STATUS(&setup, BmRequestToDevice, 0);
            ULONG moved = 0;
            EXPECT_EQ(WdfUsbTargetDeviceSendControlTransferSynchronously(
                          driver().usbDevice, WDF_NO_HANDLE, nullptr, &setup, &memory, &moved),
                      STATUS_SUCCESS);
            EXPECT_EQ(moved, 2u);
        });
    }
}

TEST_F(DeviceTest, AlternateSettingsAreIndexedInDescriptorOrder) {
    auto device = plug(alternatesZeroAndTwo());
    ASSERT_EQ(driver().createStatus, STATUS_SUCCESS);
    passive([&] {
        WDFUSBINTERFACE data = WdfUsbTargetDeviceGetInterface(driver().usbDevice, 1);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(WdfUsbInterfaceGetInterfaceNumber(data), 1);
        EXPECT_EQ(WdfUsbInterfaceGetNumSettings(data), 2);
        USB_INTERFACE_DESCRIPTOR d;
        WdfUsbInterfaceGetDescriptor(data, 1, &d);
        EXPECT_EQ(d.bAlternateSetting, 2);
        EXPECT_EQ(WdfUsbInterfaceGetNumEndpoints(data, 1), 1);
        WdfUsbInterfaceGetDescriptor(data, 2, &d);  // out of range: zero-filled
        EXPECT_EQ(d.bLength, 0);
        EXPECT_EQ(WdfUsbTargetDeviceGetInterface(driver().usbDevice, 2), nullptr);

        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, nullptr);
        ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(driver().usbDevice, nullptr, &params),
                  STATUS_SUCCESS);
        WDF_USB_INTERFACE_SELECT_SETTING_PARAMS setting;
        WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&setting, 1);
        EXPECT_EQ(WdfUsbInterfaceSelectSetting(data, nullptr, &setting), STATUS_SUCCESS);
        EXPECT_EQ(selections(*device).back(), "interface 1/2");
        EXPECT_EQ(WdfUsbInterfaceGetConfiguredSettingIndex(data), 1);
        ASSERT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(data), 1);
        WDF_USB_PIPE_INFORMATION info;
        WDF_USB_PIPE_INFORMATION_INIT(&info);
        EXPECT_NE(WdfUsbInterfaceGetConfiguredPipe(data, 0, &info), nullptr);
        EXPECT_EQ(info.EndpointAddress, 0x83);
        EXPECT_EQ(info.SettingIndex, 1);
        EXPECT_EQ(WdfUsbInterfaceGetConfiguredPipe(data, 1, &info), nullptr);
        // The same setting again is a no-op; an index past the settings is refused.
        const size_t events = selections(*device).size();
        EXPECT_EQ(WdfUsbInterfaceSelectSetting(data, nullptr, &setting), STATUS_SUCCESS);
        EXPECT_EQ(selections(*device).size(), events);
        WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&setting, 2);
        EXPECT_EQ(WdfUsbInterfaceSelectSetting(data, nullptr, &setting), STATUS_INVALID_PARAMETER);
    });
}

// ----- Information and descriptors -----------------------------------------------------------

TEST_F(DeviceTest, TraitsComeFromTheConfigurationTheStatusAndTheBusSpeed) {
    struct Case {
        UCHAR attributes;
        Speed speed;
        ULONG traits;
    } cases[] = {
        {0x80, Speed::Full, 0},
        {0xC0, Speed::Full, WDF_USB_DEVICE_TRAIT_SELF_POWERED},
        {0xA0, Speed::Full, WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE},
        {0xE0, Speed::High,
         WDF_USB_DEVICE_TRAIT_SELF_POWERED | WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE |
             WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "attributes " << int(c.attributes));
        TearDown();  // a fresh platform per case
        SetUp();
        DeviceLayout layout = twoInterfaceLayout();
        layout.attributes = c.attributes;
        plug(layout, c.speed);
        ASSERT_EQ(driver().createStatus, STATUS_SUCCESS);
        passive([&] {
            WDF_USB_DEVICE_INFORMATION info;
            WDF_USB_DEVICE_INFORMATION_INIT(&info);
            EXPECT_EQ(WdfUsbTargetDeviceRetrieveInformation(driver().usbDevice, &info),
                      STATUS_SUCCESS);
            EXPECT_EQ(info.Traits, c.traits);
            EXPECT_EQ(info.UsbdVersionInformation.Supported_USB_Version, 0x200u);
            info.Size = sizeof info - 1;
            EXPECT_EQ(WdfUsbTargetDeviceRetrieveInformation(driver().usbDevice, &info),
                      STATUS_INFO_LENGTH_MISMATCH);
            ULONG frame = 0;
            EXPECT_EQ(WdfUsbTargetDeviceRetrieveCurrentFrameNumber(driver().usbDevice, &frame),
                      STATUS_SUCCESS);
        });
    }
}

TEST_F(DeviceTest, DescriptorsAreCopiesOfWhatTheDeviceSent) {
    const DeviceLayout layout = twoInterfaceLayout();
    plug(layout);
    ASSERT_EQ(driver().createStatus, STATUS_SUCCESS);
    passive([&] {
        USB_DEVICE_DESCRIPTOR device;
        WdfUsbTargetDeviceGetDeviceDescriptor(driver().usbDevice, &device);
        const Bytes expected = deviceDescriptorOf(layout);
        EXPECT_EQ(std::memcmp(&device, expected.data(), sizeof device), 0);

        const Bytes config = configurationOf(layout);
        USHORT length = 0;
        EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(driver().usbDevice, nullptr, &length),
                  STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(length, config.size());
        Bytes buffer(config.size() + 4, 0xEE);
        length = 9;
        EXPECT_EQ(
            WdfUsbTargetDeviceRetrieveConfigDescriptor(driver().usbDevice, buffer.data(), &length),
            STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(length, config.size());
        EXPECT_TRUE(std::equal(config.begin(), config.begin() + 9, buffer.begin()));
        EXPECT_EQ(buffer[9], 0xEE);
        length = static_cast<USHORT>(buffer.size());
        EXPECT_EQ(
            WdfUsbTargetDeviceRetrieveConfigDescriptor(driver().usbDevice, buffer.data(), &length),
            STATUS_SUCCESS);
        EXPECT_EQ(length, config.size());
        EXPECT_TRUE(std::equal(config.begin(), config.end(), buffer.begin()));
    });
}

TEST_F(DeviceTest, StringsComeInMemoryOfTheirLengthAndAnEmptyOneInNone) {
    DeviceLayout layout = twoInterfaceLayout();
    layout.manufacturer = u"";
    plug(layout);
    ASSERT_EQ(driver().createStatus, STATUS_SUCCESS);
    passive([&] {
        WDFMEMORY memory = nullptr;
        USHORT characters = 0;
        EXPECT_EQ(WdfUsbTargetDeviceAllocAndQueryString(driver().usbDevice, nullptr, &memory,
                                                        &characters, 2, 0x0409),
                  STATUS_SUCCESS);
        ASSERT_NE(memory, nullptr);
        size_t size = 0;
        auto* text = static_cast<char16_t*>(WdfMemoryGetBuffer(memory, &size));
        EXPECT_EQ(characters, 11);
        EXPECT_EQ(size, 22u);
        EXPECT_EQ(std::u16string(text, characters), u"Test Device");
        WdfObjectDelete(memory);

        memory = reinterpret_cast<WDFMEMORY>(1);
        EXPECT_EQ(WdfUsbTargetDeviceAllocAndQueryString(driver().usbDevice, nullptr, &memory,
                                                        &characters, 1, 0x0409),
                  STATUS_SUCCESS);
        EXPECT_EQ(memory, nullptr);
        EXPECT_EQ(characters, 0);

        // A string the device does not have: its stall fails the call.
        EXPECT_FALSE(NT_SUCCESS(WdfUsbTargetDeviceAllocAndQueryString(
            driver().usbDevice, nullptr, &memory, &characters, 7, 0x0409)));

        WCHAR small[4];
        characters = 4;
        EXPECT_EQ(
            WdfUsbTargetDeviceQueryString(driver().usbDevice, nullptr, nullptr,
                                          reinterpret_cast<PUSHORT>(small), &characters, 2, 0x0409),
            STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(characters, 11);
        EXPECT_EQ(std::u16string(small, 4), u"Test");
    });
}

// ----- Control transfers ---------------------------------------------------------------------

TEST_F(DeviceTest, ControlTransfersCarryTheBufferLengthAndReportStallsAndTimeouts) {
    auto device = plug(twoInterfaceLayout());
    ASSERT_EQ(driver().createStatus, STATUS_SUCCESS);
    passive([&] {
        usb::SetupPacket seen;
        device->onControl = [&](const usb::SetupPacket& setup, std::span<const uint8_t>) {
            seen = setup;
            if (setup.bRequest == 0x01) {
                return usb::ControlAnswer{usb::Handshake::Ack, {1, 2, 3}};
            }
            if (setup.bRequest == 0x02) {
                return usb::ControlAnswer{usb::Handshake::Stall, {}};
            }
            return usb::ControlAnswer{usb::Handshake::Nak, {}};  // never answered
        };
        WDF_USB_CONTROL_SETUP_PACKET setup;
        WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&setup, BmRequestDeviceToHost, BmRequestToDevice,
                                                 0x01, 7, 0);
        setup.Packet.wLength = 1000;  // replaced by the buffer's length
        UCHAR buffer[16] = {};
        WDF_MEMORY_DESCRIPTOR memory;
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, buffer, sizeof buffer);
        ULONG transferred = 0;
        EXPECT_EQ(WdfUsbTargetDeviceSendControlTransferSynchronously(
                      driver().usbDevice, nullptr, nullptr, &setup, &memory, &transferred),
                  STATUS_SUCCESS);
        EXPECT_EQ(seen.wLength, sizeof buffer);
        EXPECT_EQ(seen.bmRequestType, 0xC0);
        EXPECT_EQ(seen.wValue, 7);
        EXPECT_EQ(transferred, 3u);
        EXPECT_EQ(buffer[2], 3);

        setup.Packet.bRequest = 0x02;
        EXPECT_FALSE(NT_SUCCESS(WdfUsbTargetDeviceSendControlTransferSynchronously(
            driver().usbDevice, nullptr, nullptr, &setup, &memory, &transferred)));

        setup.Packet.bRequest = 0x03;
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
        WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(100));
        const rt::Ticks before = runtime().now();
        EXPECT_EQ(WdfUsbTargetDeviceSendControlTransferSynchronously(
                      driver().usbDevice, nullptr, &options, &setup, &memory, &transferred),
                  STATUS_IO_TIMEOUT);
        EXPECT_GE(runtime().now() - before, WDF_TIMEOUT_TO_MS * 100);
    });
}

struct Completion {
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    WDF_USB_REQUEST_COMPLETION_PARAMS usb{};
};

VOID EvtComplete(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params,
                 WDFCONTEXT context) {
    auto* c = static_cast<Completion*>(context);
    c->status = params->IoStatus.Status;
    if (params->Type == WdfRequestTypeUsb) {
        c->usb = *params->Parameters.Usb.Completion;
    }
    c->done = true;
}

TEST_F(DeviceTest, AFormattedControlTransferReportsItsUsbResultAndUnplugEndsOneInFlight) {
    auto device = plug(twoInterfaceLayout());
    ASSERT_EQ(driver().createStatus, STATUS_SUCCESS);
    device->onControl = [&](const usb::SetupPacket& setup, std::span<const uint8_t>) {
        return setup.bRequest == 0x02 ? usb::ControlAnswer{usb::Handshake::Stall, {}}
                                      : usb::ControlAnswer{usb::Handshake::Nak, {}};
    };
    WDFIOTARGET target = WdfUsbTargetDeviceGetIoTarget(driver().usbDevice);
    WDFREQUEST request = nullptr;
    Completion stalled, pending;
    // Formats a vendor request `code` and sends it, its completion filling `into`.
    auto send = [&](UCHAR code, Completion* into) {
        passive([&] {
            if (request == nullptr) {
                ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target, &request),
                          STATUS_SUCCESS);
            } else {
                WDF_REQUEST_REUSE_PARAMS reuse;
                WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
                ASSERT_EQ(WdfRequestReuse(request, &reuse), STATUS_SUCCESS);
            }
            WDF_USB_CONTROL_SETUP_PACKET setup;
            WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&setup, BmRequestHostToDevice,
                                                     BmRequestToDevice, code, 0, 0);
            ASSERT_EQ(WdfUsbTargetDeviceFormatRequestForControlTransfer(driver().usbDevice, request,
                                                                        &setup, nullptr, nullptr),
                      STATUS_SUCCESS);
            WdfRequestSetCompletionRoutine(request, EvtComplete, into);
            ASSERT_TRUE(WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS));
        });
    };
    send(0x02, &stalled);
    ASSERT_TRUE(stalled.done);
    EXPECT_FALSE(NT_SUCCESS(stalled.status));
    EXPECT_EQ(stalled.usb.Type, WdfUsbRequestTypeDeviceControlTransfer);
    EXPECT_EQ(stalled.usb.UsbdStatus, USBD_STATUS_STALL_PID);
    EXPECT_EQ(stalled.usb.Parameters.DeviceControlTransfer.SetupPacket.Packet.bRequest, 0x02);

    send(0x03, &pending);
    EXPECT_FALSE(pending.done);
    unplug();
    ASSERT_TRUE(pending.done);
    EXPECT_FALSE(NT_SUCCESS(pending.status));
}

// ----- Port ------------------------------------------------------------------------------------

// The port calls go to the hub as internal control codes: the port's status, a reset that keeps
// the device configured, and a cycle, after which the device is enumerated and started again.
TEST_F(DeviceTest, PortCallsAskResetAndCycleThePortThroughTheHub) {
    plug(twoInterfaceLayout());
    ASSERT_EQ(driver().createStatus, STATUS_SUCCESS);
    ASSERT_EQ(driver().prepares, 1);
    passive([&] {
        EXPECT_EQ(WdfUsbTargetDeviceIsConnectedSynchronous(driver().usbDevice), STATUS_SUCCESS);
        EXPECT_EQ(WdfUsbTargetDeviceResetPortSynchronously(driver().usbDevice), STATUS_SUCCESS);
        WDFREQUEST request = nullptr;
        ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES,
                                   WdfUsbTargetDeviceGetIoTarget(driver().usbDevice), &request),
                  STATUS_SUCCESS);
        EXPECT_EQ(WdfUsbTargetDeviceFormatRequestForCyclePort(driver().usbDevice, request),
                  STATUS_SUCCESS);
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
        EXPECT_TRUE(
            WdfRequestSend(request, WdfUsbTargetDeviceGetIoTarget(driver().usbDevice), &options));
        EXPECT_EQ(WdfRequestGetStatus(request), STATUS_SUCCESS);
        WdfObjectDelete(request);
    });
    settle();
    std::optional<pnp::DeviceInfo> info = node();
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->state, pnp::DeviceState::Started);
    EXPECT_EQ(driver().prepares, 2) << "the cycle did not enumerate the device again";
    EXPECT_EQ(driver().createStatus, STATUS_SUCCESS);
}

// The injection points of the device-level sends and the port requests fail the call they reach
// with STATUS_INSUFFICIENT_RESOURCES; here the creation's first read, which fails the start.
TEST_F(DeviceTest, InjectedFaultsFailDeviceSendsAndPortRequests) {
    runtime().faults().failNth(rt::fault::kUsbDeviceSend, 1);
    plug(twoInterfaceLayout());
    EXPECT_EQ(driver().createStatus, STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_TRUE(node().has_value());
    EXPECT_EQ(node()->state, pnp::DeviceState::StartFailed);
    unplug();

    plug(twoInterfaceLayout());
    ASSERT_EQ(driver().createStatus, STATUS_SUCCESS);
    runtime().faults().failNth(rt::fault::kUsbPortRequest, 1);
    passive([&] {
        EXPECT_EQ(WdfUsbTargetDeviceIsConnectedSynchronous(driver().usbDevice),
                  STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(WdfUsbTargetDeviceIsConnectedSynchronous(driver().usbDevice), STATUS_SUCCESS);
    });
}

}  // namespace
}  // namespace vel::usbtargets::test
