// The children's request routing: what a child answers itself, what it forwards to the parent
// and what reaches the device; the parent's own answers; the configuration-selection emulation;
// and bulk data moved to and from the handset through a child and the parent.
#include <cstring>

#include "bus_fixture.h"
#include "vel/devices/diag_function.h"

namespace vel::bus::test {
namespace {

class RoutingTest : public BusTest {
  protected:
    void SetUp() override {
        BusTest::SetUp();
        device_ = plugPreset("union-hs");
        ASSERT_EQ(children().size(), 3u);
    }

    ProbeRequest internal(ULONG code, void* argument = nullptr, size_t bufferBytes = 0) {
        ProbeRequest r;
        r.code = code;
        r.argument = argument;
        r.buffer.assign(bufferBytes, 0xCC);
        return r;
    }
    ProbeRequest control(ULONG code, size_t bufferBytes) {
        ProbeRequest r = internal(code, nullptr, bufferBytes);
        r.major = IRP_MJ_DEVICE_CONTROL;
        return r;
    }

    // Reads string descriptor `index` in English through the modem child.
    Bytes readStringThroughChild(uint8_t index) {
        std::vector<uint8_t> urb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), 0);
        Bytes data(255, 0);
        UsbBuildGetDescriptorRequest(
            reinterpret_cast<URB*>(urb.data()), sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
            USB_STRING_DESCRIPTOR_TYPE, index, dev::kLangEnglishUS, data.data(), nullptr,
            static_cast<ULONG>(data.size()), nullptr);
        ProbeRequest r = internal(IOCTL_INTERNAL_USB_SUBMIT_URB, urb.data());
        EXPECT_EQ(call(probe(0), r), STATUS_SUCCESS);
        // Read through the request's own record: the buffer is smaller than the URB union.
        data.resize(
            reinterpret_cast<_URB_CONTROL_DESCRIPTOR_REQUEST*>(urb.data())->TransferBufferLength);
        return data;
    }

    std::shared_ptr<dev::FunctionDevice> device_;
};

// ----- Internal and public controls ----------------------------------------------------------

struct ControlCase {
    const char* name;
    UCHAR major;
    ULONG code;
    NTSTATUS child;   // sent to a child
    NTSTATUS parent;  // sent to the parent from above
};

class ControlRoutingTest : public RoutingTest, public ::testing::WithParamInterface<ControlCase> {};

TEST_P(ControlRoutingTest, RefusedOrAnswered) {
    const ControlCase& c = GetParam();
    ProbeRequest toChild = internal(c.code, nullptr, 8);
    toChild.major = c.major;
    EXPECT_EQ(call(probe(0), toChild), c.child);
    ProbeRequest toParent = internal(c.code, nullptr, 8);
    toParent.major = c.major;
    EXPECT_EQ(callParent(toParent), c.parent);
}

INSTANTIATE_TEST_SUITE_P(
    Controls, ControlRoutingTest,
    ::testing::Values(
        ControlCase{"ResetPort", IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_USB_RESET_PORT,
                    STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
        ControlCase{"EnablePort", IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_USB_ENABLE_PORT,
                    STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
        ControlCase{"CyclePort", IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_USB_CYCLE_PORT,
                    STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
        ControlCase{"IdleNotification", IRP_MJ_INTERNAL_DEVICE_CONTROL,
                    IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, STATUS_NOT_SUPPORTED,
                    STATUS_UNSUCCESSFUL},
        ControlCase{"HubCyclePort", IRP_MJ_DEVICE_CONTROL, IOCTL_USB_HUB_CYCLE_PORT,
                    STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED}),
    [](const auto& info) { return std::string(info.param.name); });

// Controls a child forwards reach the hub below the parent, which answers them.
TEST_F(RoutingTest, ForwardedControlsReachTheHub) {
    ULONG portStatus = 0;
    ProbeRequest status = internal(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus);
    EXPECT_EQ(call(probe(2), status), STATUS_SUCCESS);
    EXPECT_EQ(portStatus & (USBD_PORT_ENABLED | USBD_PORT_CONNECTED),
              ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));

    DEVICE_OBJECT* rootHub = nullptr;
    ProbeRequest root = internal(IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO, &rootHub);
    EXPECT_EQ(call(probe(2), root), STATUS_SUCCESS);
    EXPECT_NE(rootHub, nullptr);

    ULONG hubs = 0;
    ProbeRequest count = internal(IOCTL_INTERNAL_USB_GET_HUB_COUNT, &hubs);
    EXPECT_EQ(call(probe(3), count), STATUS_SUCCESS);
    EXPECT_GE(hubs, 1u);
}

TEST_F(RoutingTest, ChildAnswersAnEmptyHubName) {
    ProbeRequest name = internal(IOCTL_INTERNAL_USB_GET_HUB_NAME, nullptr, 16);
    EXPECT_EQ(call(probe(0), name), STATUS_SUCCESS);
    EXPECT_EQ(name.information, 0u);
    ULONG actual = 0xFFFFFFFF;
    std::memcpy(&actual, name.buffer.data(), sizeof actual);
    EXPECT_EQ(actual, 0u);
    EXPECT_EQ(name.buffer[4], 0);
    EXPECT_EQ(name.buffer[5], 0);

    ProbeRequest tooSmall = internal(IOCTL_INTERNAL_USB_GET_HUB_NAME, nullptr, 5);
    EXPECT_EQ(call(probe(0), tooSmall), STATUS_BUFFER_TOO_SMALL);
}

// The parent answers node information itself, for a child's forwarded request too, with the
// interfaces of the configuration it selected.
TEST_F(RoutingTest, NodeInformationOfTheCompositeParent) {
    ProbeRequest node = control(IOCTL_USB_GET_NODE_INFORMATION, sizeof(USB_NODE_INFORMATION));
    EXPECT_EQ(call(probe(2), node), STATUS_SUCCESS);
    USB_NODE_INFORMATION info;
    std::memcpy(&info, node.buffer.data(), sizeof info);
    EXPECT_EQ(info.NodeType, UsbMIParent);
    EXPECT_EQ(info.u.MiParentInformation.NumberOfInterfaces, 4u);

    ProbeRequest fromAbove = control(IOCTL_USB_GET_NODE_INFORMATION, sizeof(USB_NODE_INFORMATION));
    EXPECT_EQ(callParent(fromAbove), STATUS_SUCCESS);

    ProbeRequest tooSmall =
        control(IOCTL_USB_GET_NODE_INFORMATION, sizeof(USB_NODE_INFORMATION) - 1);
    EXPECT_EQ(call(probe(2), tooSmall), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(RoutingTest, ReadAtAChildIsNotSupported) {
    ProbeRequest read;
    read.major = IRP_MJ_READ;
    read.buffer.assign(16, 0);
    EXPECT_EQ(call(probe(2), read), STATUS_NOT_SUPPORTED);
}

TEST_F(RoutingTest, NullUrbIsRefused) {
    ProbeRequest toChild = internal(IOCTL_INTERNAL_USB_SUBMIT_URB);
    toChild.buffer.clear();
    // Argument1 stays null: the probe then writes the buffer length there, which is 0.
    EXPECT_EQ(call(probe(0), toChild), STATUS_INVALID_PARAMETER);
}

// ----- Descriptor answers --------------------------------------------------------------------

struct DescriptorCase {
    const char* name;
    uint8_t type;
    uint32_t length;
    size_t expected;  // bytes answered
};

class DescriptorAnswerTest : public RoutingTest,
                             public ::testing::WithParamInterface<DescriptorCase> {};

TEST_P(DescriptorAnswerTest, CopiesWhatFits) {
    const DescriptorCase& c = GetParam();
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    hc().clearRequests(1);
    Bytes answer = readDescriptor(probe(0), c.type, c.length, &status, &information);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(information, c.expected);
    ASSERT_EQ(answer.size(), c.expected);
    EXPECT_TRUE(hc().requests(1).empty()) << "the child answers without the device";
    if (c.type == USB_CONFIGURATION_DESCRIPTOR_TYPE && c.expected >= 9) {
        // The header carries the function's own length and interface count.
        EXPECT_EQ(answer[1], USB_CONFIGURATION_DESCRIPTOR_TYPE);
        EXPECT_LT(answer[2] | answer[3] << 8, 200);
        EXPECT_EQ(answer[4], 2);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, DescriptorAnswerTest,
    ::testing::Values(DescriptorCase{"DeviceLong", USB_DEVICE_DESCRIPTOR_TYPE, 64, 18},
                      DescriptorCase{"DeviceShort", USB_DEVICE_DESCRIPTOR_TYPE, 8, 8},
                      DescriptorCase{"ConfigHeader", USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, 9},
                      DescriptorCase{"ConfigShort", USB_CONFIGURATION_DESCRIPTOR_TYPE, 4, 4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RoutingTest, DescriptorWithoutTransferBufferIsRefused) {
    std::vector<uint8_t> urb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), 0);
    UsbBuildGetDescriptorRequest(reinterpret_cast<URB*>(urb.data()),
                                 sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, nullptr, nullptr, 18, nullptr);
    ProbeRequest r = internal(IOCTL_INTERNAL_USB_SUBMIT_URB, urb.data());
    EXPECT_EQ(call(probe(0), r), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.information, 0u);
}

// Strings are not the child's: they come from the device.
TEST_F(RoutingTest, StringDescriptorsComeFromTheDevice) {
    hc().clearRequests(1);
    Bytes answer = readStringThroughChild(4);
    EXPECT_EQ(answer, dev::stringDescriptor(u"Modem"));
    ASSERT_EQ(hc().requests(1).size(), 1u);
}

// ----- Configuration selection emulation -----------------------------------------------------

// A select-configuration URB with one entry per (interface, pipes).
struct Selection {
    std::vector<uint8_t> storage;
    URB* urb() { return reinterpret_cast<URB*>(storage.data()); }
    USBD_INTERFACE_INFORMATION* entry(size_t index) {
        uint8_t* p = reinterpret_cast<uint8_t*>(&urb()->UrbSelectConfiguration.Interface);
        for (size_t i = 0; i < index; ++i) {
            p += reinterpret_cast<USBD_INTERFACE_INFORMATION*>(p)->Length;
        }
        return reinterpret_cast<USBD_INTERFACE_INFORMATION*>(p);
    }
};

Selection selection(std::vector<std::pair<uint8_t, ULONG>> interfaces) {
    size_t size = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    for (const auto& i : interfaces) {
        size += GET_USBD_INTERFACE_SIZE(i.second);
    }
    Selection s;
    s.storage.assign(size, 0);
    UsbBuildSelectConfigurationRequest(s.urb(), static_cast<USHORT>(size), nullptr);
    uint8_t* p = reinterpret_cast<uint8_t*>(&s.urb()->UrbSelectConfiguration.Interface);
    for (const auto& [number, pipes] : interfaces) {
        auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(p);
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
        info->InterfaceNumber = number;
        info->NumberOfPipes = pipes;
        for (ULONG k = 0; k < pipes; ++k) {
            info->Pipes[k].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        p += info->Length;
    }
    return s;
}

TEST_F(RoutingTest, SelectionOfTwoInterfacesSendsOneSelectInterfaceEach) {
    Selection s = selection({{0, 1}, {1, 2}});
    hc().clearRequests(1);
    ProbeRequest r = internal(IOCTL_INTERNAL_USB_SUBMIT_URB, s.urb());
    EXPECT_EQ(call(probe(0), r), STATUS_SUCCESS);
    EXPECT_NE(s.urb()->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    for (size_t i = 0; i < 2; ++i) {
        USBD_INTERFACE_INFORMATION* e = s.entry(i);
        EXPECT_NE(e->InterfaceHandle, nullptr);
        EXPECT_EQ(e->Length, GET_USBD_INTERFACE_SIZE(e->NumberOfPipes));
        for (ULONG k = 0; k < e->NumberOfPipes; ++k) {
            EXPECT_NE(e->Pipes[k].PipeHandle, nullptr);
        }
    }
    EXPECT_EQ(s.entry(0)->Class, USB_DEVICE_CLASS_COMMUNICATIONS);
    EXPECT_EQ(s.entry(1)->Class, USB_DEVICE_CLASS_CDC_DATA);
    EXPECT_EQ(s.entry(1)->Pipes[0].PipeType, UsbdPipeTypeBulk);
    std::vector<uint16_t> selected;
    for (const usb::RequestRecord& rec : hc().requests(1)) {
        if (rec.setup.bRequest == USB_REQUEST_SET_INTERFACE) {
            selected.push_back(rec.setup.wIndex);
        }
        EXPECT_NE(rec.setup.bRequest, USB_REQUEST_SET_CONFIGURATION);
    }
    EXPECT_EQ(selected, (std::vector<uint16_t>{0, 1}));
}

TEST_F(RoutingTest, SelectionWithoutEntriesAnswersTheConfigurationHandle) {
    Selection s = selection({});
    ProbeRequest r = internal(IOCTL_INTERNAL_USB_SUBMIT_URB, s.urb());
    EXPECT_EQ(call(probe(0), r), STATUS_SUCCESS);
    EXPECT_NE(s.urb()->UrbSelectConfiguration.ConfigurationHandle, nullptr);
}

TEST_F(RoutingTest, FailingSecondEntryKeepsTheFirstAndLeavesTheHandle) {
    Selection s = selection({{2, 2}, {9, 1}});
    ProbeRequest r = internal(IOCTL_INTERNAL_USB_SUBMIT_URB, s.urb());
    EXPECT_FALSE(NT_SUCCESS(call(probe(2), r)));
    EXPECT_NE(s.entry(0)->InterfaceHandle, nullptr);
    EXPECT_EQ(s.entry(1)->InterfaceHandle, nullptr);
    EXPECT_EQ(s.urb()->UrbSelectConfiguration.ConfigurationHandle, nullptr);
}

struct MalformedCase {
    const char* name;
    USHORT length;  // of the second entry
    ULONG pipes;
};

class MalformedSelectionTest : public RoutingTest,
                               public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedSelectionTest, EntryThatCannotHoldItsPipesEndsTheWalk) {
    Selection s = selection({{0, 1}, {1, 2}});
    s.entry(1)->Length = GetParam().length;
    s.entry(1)->NumberOfPipes = GetParam().pipes;
    ProbeRequest r = internal(IOCTL_INTERNAL_USB_SUBMIT_URB, s.urb());
    EXPECT_EQ(call(probe(0), r), STATUS_INVALID_PARAMETER);
    EXPECT_NE(s.entry(0)->InterfaceHandle, nullptr);
    EXPECT_EQ(s.urb()->UrbSelectConfiguration.ConfigurationHandle, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, MalformedSelectionTest,
    ::testing::Values(MalformedCase{"LengthZero", 0, 2},
                      MalformedCase{"ShorterThanItsHeader",
                                    offsetof(USBD_INTERFACE_INFORMATION, Pipes) - 1, 0},
                      MalformedCase{"ShorterThanItsPipes", GET_USBD_INTERFACE_SIZE(1), 2}),
    [](const auto& info) { return std::string(info.param.name); });

// An interface setting without endpoints: the select-interface request is one pipe record
// smaller than its structure, in both builds.
TEST_F(BusTest, SelectionOfAnInterfaceWithoutPipes) {
    Bytes config =
        dev::ConfigurationBuilder().interface({.number = 0, .interfaceClass = 0xFF}).build();
    plug(descriptorDevice(deviceFields(), config));
    Selection s = selection({{0, 0}});
    ProbeRequest r;
    r.code = IOCTL_INTERNAL_USB_SUBMIT_URB;
    r.argument = s.urb();
    EXPECT_EQ(call(probe(0), r), STATUS_SUCCESS);
    EXPECT_NE(s.entry(0)->InterfaceHandle, nullptr);
}

// ----- Data through a child and the parent ---------------------------------------------------

TEST_F(RoutingTest, BulkLoopbackThroughTheDiagnosticChild) {
    device_->find<dev::DiagFunction>()->setLoopback(true);
    Selection s = selection({{2, 2}});
    ProbeRequest select = internal(IOCTL_INTERNAL_USB_SUBMIT_URB, s.urb());
    ASSERT_EQ(call(probe(2), select), STATUS_SUCCESS);
    USBD_PIPE_HANDLE out = nullptr, in = nullptr;
    for (ULONG k = 0; k < s.entry(0)->NumberOfPipes; ++k) {
        const USBD_PIPE_INFORMATION& pipe = s.entry(0)->Pipes[k];
        (USB_ENDPOINT_DIRECTION_IN(pipe.EndpointAddress) ? in : out) = pipe.PipeHandle;
    }
    ASSERT_NE(out, nullptr);
    ASSERT_NE(in, nullptr);

    const Bytes payload = {'h', 'e', 'l', 'l', 'o', ' ', 'b', 'u', 's'};
    Bytes data = payload;
    std::vector<uint8_t> urb(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), 0);
    UsbBuildInterruptOrBulkTransferRequest(reinterpret_cast<URB*>(urb.data()),
                                           sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), out,
                                           data.data(), nullptr, static_cast<ULONG>(data.size()),
                                           USBD_TRANSFER_DIRECTION_OUT, nullptr);
    ProbeRequest write = internal(IOCTL_INTERNAL_USB_SUBMIT_URB, urb.data());
    ASSERT_EQ(call(probe(2), write), STATUS_SUCCESS);

    Bytes back(64, 0);
    std::fill(urb.begin(), urb.end(), 0);
    UsbBuildInterruptOrBulkTransferRequest(
        reinterpret_cast<URB*>(urb.data()), sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), in,
        back.data(), nullptr, static_cast<ULONG>(back.size()),
        USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    ProbeRequest read = internal(IOCTL_INTERNAL_USB_SUBMIT_URB, urb.data());
    ASSERT_EQ(call(probe(2), read), STATUS_SUCCESS);
    const ULONG got =
        reinterpret_cast<_URB_BULK_OR_INTERRUPT_TRANSFER*>(urb.data())->TransferBufferLength;
    back.resize(got);
    EXPECT_EQ(back, payload);
}

}  // namespace
}  // namespace vel::bus::test
