// Attaching a device: the PDO's identification as the PnP manager sees it, the binding of the
// test driver, capabilities, the USBDI bus interface and the hub's port controls.
#include <cstring>

#include "host_fixture.h"
#include "vel/kernel/io.h"

namespace vel::usb::test {
namespace {

using Strings = std::vector<std::string>;

struct IdCase {
    const char* name;
    DeviceLayout layout;
    std::string instanceId;
    Strings compatibleIds;
};

DeviceLayout withClass(DeviceLayout layout, uint8_t cls, uint8_t sub, uint8_t protocol) {
    layout.cls = cls;
    layout.subClass = sub;
    layout.protocol = protocol;
    return layout;
}

DeviceLayout singleInterface() {
    DeviceLayout layout;
    layout.product = 0x0002;
    layout.interfaces = {{0, 0, 0x0A, 0x01, 0x02, {{0x81, 2, 64}}}};
    return layout;
}

DeviceLayout withSerial(DeviceLayout layout, std::u16string serial) {
    layout.serial = std::move(serial);
    return layout;
}

class Identification : public HostTest, public ::testing::WithParamInterface<IdCase> {};

TEST_P(Identification, AnswersTheIdsAHubGivesFromTheDescriptors) {
    const IdCase& c = GetParam();
    plug(3, c.layout);
    const std::optional<pnp::DeviceInfo> info = pnp().device(hc().pdo(3));
    ASSERT_TRUE(info);
    char vidPid[40];
    std::snprintf(vidPid, sizeof vidPid, "USB\\VID_%04X&PID_%04X", c.layout.vendor,
                  c.layout.product);
    EXPECT_EQ(info->deviceId, vidPid);
    EXPECT_EQ(info->hardwareIds, (Strings{std::string(vidPid) + "&REV_0100", vidPid}));
    EXPECT_EQ(info->compatibleIds, c.compatibleIds);
    EXPECT_EQ(info->instanceId, c.instanceId);
    EXPECT_EQ(info->description, "Test Device");
    EXPECT_EQ(info->location, "Port_#0003.Hub_#0001");
    EXPECT_EQ(info->service, "usbtestfn");
    EXPECT_EQ(info->state, pnp::DeviceState::Started);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Identification,
    ::testing::Values(
        IdCase{"Composite",
               twoInterfaceLayout(),
               "5&00000001&0&3",
               {"USB\\DevClass_00&SubClass_00&Prot_00", "USB\\DevClass_00&SubClass_00",
                "USB\\DevClass_00", "USB\\COMPOSITE"}},
        IdCase{"AssociationTriple",
               withClass(twoInterfaceLayout(), 0xEF, 0x02, 0x01),
               "5&00000001&0&3",
               {"USB\\DevClass_EF&SubClass_02&Prot_01", "USB\\DevClass_EF&SubClass_02",
                "USB\\DevClass_EF", "USB\\COMPOSITE"}},
        IdCase{"ClassFromTheOnlyInterface",
               singleInterface(),
               "5&00000001&0&3",
               {"USB\\Class_0A&SubClass_01&Prot_02", "USB\\Class_0A&SubClass_01", "USB\\Class_0A"}},
        IdCase{"ClassFromTheDevice",
               withClass(twoInterfaceLayout(), 0xFF, 0x42, 0x07),
               "5&00000001&0&3",
               {"USB\\Class_FF&SubClass_42&Prot_07", "USB\\Class_FF&SubClass_42", "USB\\Class_FF"}},
        IdCase{"SerialNumberIsTheInstance",
               withSerial(singleInterface(), u"SN-0042"),
               "SN-0042",
               {"USB\\Class_0A&SubClass_01&Prot_02", "USB\\Class_0A&SubClass_01", "USB\\Class_0A"}},
        IdCase{
            "SerialWithACommaIsNotUsed",
            withSerial(singleInterface(), u"A,B"),
            "5&00000001&0&3",
            {"USB\\Class_0A&SubClass_01&Prot_02", "USB\\Class_0A&SubClass_01", "USB\\Class_0A"}}),
    [](const auto& info) { return std::string(info.param.name); });

class Enumeration : public HostTest {};

DEVICE_CAPABILITIES capabilitiesOf(DEVICE_OBJECT* pdo) {
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    kernel::IrpPtr irp = kernel::IoManager::allocateIrp(pdo->StackSize);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp.get());
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = &caps;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    EXPECT_EQ(kernel::IoManager::current().sendAndWait(pdo, irp.get()), STATUS_SUCCESS);
    return caps;
}

TEST_F(Enumeration, CapabilitiesNameThePortAndAllowSurpriseRemoval) {
    DeviceLayout layout = twoInterfaceLayout();
    layout.attributes = 0xA0;  // bus powered, remote wakeup
    plug(2, layout);
    const DEVICE_CAPABILITIES caps = capabilitiesOf(hc().pdo(2));
    EXPECT_EQ(caps.Removable, 1u);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(caps.Address, 2u);
    EXPECT_EQ(caps.UINumber, 2u);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD2);  // it can wake
    EXPECT_EQ(caps.DeviceState[PowerSystemShutdown], PowerDeviceD3);
    EXPECT_EQ(caps.DeviceWake, PowerDeviceD2);
}

// UniqueID follows the serial number (the instance ID is the serial only when it is valid)
// unless the device was attached with an override; the instance ID never changes with it.
TEST_F(Enumeration, UniqueIdFollowsTheSerialNumberUnlessOverriddenAtAttach) {
    struct Case {
        const char* serial;
        std::optional<bool> uniqueId;
        ULONG expected;
    } cases[] = {
        {"SN-0042", std::nullopt, 1}, {"A,B", std::nullopt, 0},
        {"SN-0042", false, 0},        {"A,B", true, 1},
        {"SN-0042", true, 1},
    };
    constexpr unsigned port = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.serial << " override " << c.uniqueId.has_value());
        DeviceLayout layout = singleInterface();
        layout.serial = std::u16string(c.serial, c.serial + std::strlen(c.serial));
        ASSERT_EQ(hc().attach(port, std::make_shared<TestDevice>(layout), Speed::Full,
                              AttachOptions{c.uniqueId}),
                  STATUS_SUCCESS);
        settle();
        EXPECT_EQ(capabilitiesOf(hc().pdo(port)).UniqueID, c.expected);
        EXPECT_EQ(pnp().device(hc().pdo(port))->instanceId,
                  std::string(c.serial) == "A,B" ? "5&00000001&0&1" : "SN-0042");
        ASSERT_EQ(hc().detach(port), STATUS_SUCCESS);
        settle();
    }
}

TEST_F(Enumeration, UnpluggingRemovesTheDeviceAndPluggingAgainBindsAFreshStack) {
    plug(1, twoInterfaceLayout());
    DEVICE_OBJECT* first = hc().pdo(1);
    EXPECT_EQ(hc().attach(1, std::make_shared<TestDevice>(twoInterfaceLayout()), Speed::Full),
              STATUS_DEVICE_BUSY);
    EXPECT_EQ(hc().attach(9, std::make_shared<TestDevice>(twoInterfaceLayout()), Speed::Full),
              STATUS_INVALID_PARAMETER);
    ASSERT_EQ(hc().detach(1), STATUS_SUCCESS);
    settle();
    EXPECT_FALSE(pnp().device(first));
    EXPECT_EQ(world().log(), (Strings{"add", "start", "surprise", "remove"}));
    EXPECT_EQ(hc().detach(1), STATUS_NO_SUCH_DEVICE);

    plug(1, twoInterfaceLayout());
    ASSERT_NE(fdo(1), nullptr);
    EXPECT_EQ(pnp().device(hc().pdo(1))->state, pnp::DeviceState::Started);
}

TEST_F(Enumeration, RemovedDeviceKeepsItsPdoUntilUnpluggedAndComesBackAtTheNextEnumeration) {
    plug(1, twoInterfaceLayout());
    DEVICE_OBJECT* pdo = hc().pdo(1);
    ASSERT_EQ(pnp().remove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(hc().pdo(1), pdo);
    EXPECT_EQ(fdo(1), nullptr);
    // Another arrival makes the hub enumerate: the first device is reported again.
    plug(2, twoInterfaceLayout());
    ASSERT_NE(fdo(1), nullptr);
    EXPECT_EQ(pnp().device(pdo)->state, pnp::DeviceState::Started);

    // Removed again and then unplugged: no IRP will come for the PDO, it goes at once.
    ASSERT_EQ(pnp().remove(pdo), STATUS_SUCCESS);
    EXPECT_GT(kernel::IoManager::current().referenceCount(pdo), 0);
    ASSERT_EQ(hc().detach(1), STATUS_SUCCESS);
    settle();
    EXPECT_FALSE(pnp().device(pdo));
    EXPECT_EQ(kernel::IoManager::current().referenceCount(pdo), 0);
    EXPECT_EQ(world().log(),
              (Strings{"add", "start", "remove", "add", "start", "add", "start", "remove"}));
}

TEST_F(Enumeration, PortControlsOfTheHub) {
    plug(2, twoInterfaceLayout(), Speed::High);
    ULONG status = 0;
    UrbRequest portStatus;
    sendInternalControl(fdo(2), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status, portStatus);
    runtime().runUntilIdle();
    EXPECT_EQ(portStatus.status, STATUS_SUCCESS);
    EXPECT_EQ(status, ULONG{USBD_PORT_ENABLED | USBD_PORT_CONNECTED});

    UrbRequest hubName(0, 200);
    sendInternalControl(fdo(2), IOCTL_INTERNAL_USB_GET_HUB_NAME, nullptr, hubName);
    runtime().runUntilIdle();
    ASSERT_EQ(hubName.status, STATUS_SUCCESS);
    const auto* name = reinterpret_cast<const USB_HUB_NAME*>(hubName.data.data());
    EXPECT_EQ(std::u16string(name->HubName).substr(0, 15), u"USB#ROOT_HUB20#");
    EXPECT_EQ(name->ActualLength, sizeof(ULONG) + (std::u16string(name->HubName).size() + 1) * 2);

    for (ULONG unsupported :
         {IOCTL_INTERNAL_USB_GET_BUS_INFO, IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME,
          IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION}) {
        UrbRequest request(0, 64);
        sendInternalControl(fdo(2), unsupported, nullptr, request);
        runtime().runUntilIdle();
        EXPECT_EQ(request.status, STATUS_NOT_SUPPORTED) << std::hex << unsupported;
    }

    // Cycling the port is an unplug and a new arrival.
    DEVICE_OBJECT* before = hc().pdo(2);
    UrbRequest cycle;
    sendInternalControl(fdo(2), IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr, cycle);
    settle();
    settle();
    EXPECT_EQ(cycle.status, STATUS_SUCCESS);
    EXPECT_FALSE(pnp().device(before));
    ASSERT_NE(fdo(2), nullptr);
    EXPECT_EQ(world().log(), (Strings{"add", "start", "surprise", "remove", "add", "start"}));
}

TEST_F(Enumeration, BusInterfaceAnswersForTheDeviceAndCountsReferences) {
    plug(1, twoInterfaceLayout(), Speed::High);
    plug(2, twoInterfaceLayout(), Speed::Full);
    for (unsigned port : {1u, 2u}) {
        USB_BUS_INTERFACE_USBDI_V1 bus{};
        ASSERT_EQ(pnp().queryInterface(fdo(port), USB_BUS_INTERFACE_USBDI_GUID, sizeof bus,
                                       USB_BUSIF_USBDI_VERSION_1,
                                       reinterpret_cast<INTERFACE*>(&bus), nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(bus.Size, sizeof bus);
        EXPECT_EQ(bus.Version, USB_BUSIF_USBDI_VERSION_1);
        EXPECT_EQ(hc().interfaceReferences(port), 1);
        EXPECT_EQ(bus.IsDeviceHighSpeed(bus.BusContext), port == 1 ? TRUE : FALSE);

        USBD_VERSION_INFORMATION version{};
        ULONG caps = 0xFF;
        bus.GetUSBDIVersion(bus.BusContext, &version, &caps);
        EXPECT_EQ(version.Supported_USB_Version, 0x200u);
        EXPECT_EQ(caps, 0u);

        ULONG frame = 0;
        ASSERT_EQ(bus.QueryBusTime(bus.BusContext, &frame), STATUS_SUCCESS);
        EXPECT_EQ(frame, hc().currentFrame());
        EXPECT_EQ(bus.SubmitIsoOutUrb(bus.BusContext, nullptr), STATUS_NOT_SUPPORTED);

        USB_BUS_INFORMATION_LEVEL_0 level0{};
        ULONG length = 4, actual = 0;
        EXPECT_EQ(bus.QueryBusInformation(bus.BusContext, 0, &level0, &length, &actual),
                  STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(actual, sizeof level0);
        length = sizeof level0;
        ASSERT_EQ(bus.QueryBusInformation(bus.BusContext, 0, &level0, &length, &actual),
                  STATUS_SUCCESS);
        EXPECT_EQ(level0.TotalBandwidth, port == 1 ? 480000u : 12000u);

        bus.InterfaceReference(bus.BusContext);
        EXPECT_EQ(hc().interfaceReferences(port), 2);
        bus.InterfaceDereference(bus.BusContext);
        bus.InterfaceDereference(bus.BusContext);
        EXPECT_EQ(hc().interfaceReferences(port), 0);
    }
    // The frame counter follows virtual time.
    USB_BUS_INTERFACE_USBDI_V0 v0{};
    ASSERT_EQ(
        pnp().queryInterface(fdo(1), USB_BUS_INTERFACE_USBDI_GUID, sizeof v0,
                             USB_BUSIF_USBDI_VERSION_0, reinterpret_cast<INTERFACE*>(&v0), nullptr),
        STATUS_SUCCESS);
    ULONG before = 0, after = 0;
    v0.QueryBusTime(v0.BusContext, &before);
    runtime().armTimer(runtime().now() + 25 * rt::kTicksPerMs, [] {});
    runtime().runUntilIdle();
    v0.QueryBusTime(v0.BusContext, &after);
    EXPECT_EQ(after - before, 25u);
    v0.InterfaceDereference(v0.BusContext);

    USB_BUS_INTERFACE_USBDI_V1 v2{};
    EXPECT_EQ(
        pnp().queryInterface(fdo(1), USB_BUS_INTERFACE_USBDI_GUID, sizeof v2,
                             USB_BUSIF_USBDI_VERSION_2, reinterpret_cast<INTERFACE*>(&v2), nullptr),
        STATUS_NOT_SUPPORTED);
}

}  // namespace
}  // namespace vel::usb::test
