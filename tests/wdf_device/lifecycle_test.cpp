// A device's life through the PnP manager: add with the init's settings, start, stop and
// restart, vetoed queries, removal and surprise removal, names and interfaces.
#include "device_fixture.h"
#include "vel/kernel/io.h"
#include "vel/wdf/device.h"

namespace vel::test {
namespace {

using Log = std::vector<std::string>;

constexpr GUID kInterfaceClass = {
    0x6a4c1f52, 0x1b7e, 0x4d3a, {0x9c, 0x11, 0x2e, 0x4f, 0x61, 0x08, 0x7a, 0x3d}};

UNICODE_STRING text(const char16_t* value) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, reinterpret_cast<PCWSTR>(value));
    return s;
}

using DeviceLifecycleTest = DeviceTest;

TEST_F(DeviceLifecycleTest, AddDeviceAttachesAboveThePdoWithTheInitSettings) {
    configureInit = [](PWDFDEVICE_INIT init) {
        WdfDeviceInitSetDeviceType(init, FILE_DEVICE_SERIAL_PORT);
        WdfDeviceInitSetIoType(init, WdfDeviceIoDirect);
        WdfDeviceInitSetExclusive(init, TRUE);
        WdfDeviceInitSetCharacteristics(init, FILE_REMOVABLE_MEDIA, TRUE);
        UNICODE_STRING name = text(u"\\Device\\VelDev0");
        EXPECT_EQ(WdfDeviceInitAssignName(init, &name), STATUS_SUCCESS);
        UNICODE_STRING sddl = text(u"D:P(A;;GA;;;SY)(A;;GRGW;;;BA)");
        EXPECT_EQ(WdfDeviceInitAssignSDDLString(init, &sddl), STATUS_SUCCESS);
    };
    afterCreate = [](WDFDEVICE device) { GetDeviceContext(device)->cookie = 7; };
    DEVICE_OBJECT* pdo = plug();
    ASSERT_EQ(stateOf(pdo), pnp::DeviceState::Started);
    WDFDEVICE dev = device();
    ASSERT_NE(dev, nullptr);

    DEVICE_OBJECT* fdo = WdfDeviceWdmGetDeviceObject(dev);
    ASSERT_NE(fdo, nullptr);
    EXPECT_EQ(fdo->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT));
    EXPECT_NE(fdo->Flags & DO_DIRECT_IO, 0u);
    EXPECT_EQ(fdo->Flags & DO_BUFFERED_IO, 0u);
    EXPECT_NE(fdo->Flags & DO_EXCLUSIVE, 0u);
    EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(fdo->Characteristics & (FILE_REMOVABLE_MEDIA | FILE_DEVICE_SECURE_OPEN),
              static_cast<ULONG>(FILE_REMOVABLE_MEDIA | FILE_DEVICE_SECURE_OPEN));

    // FDO above the PDO, and the ways back from WDM objects to the framework's.
    EXPECT_EQ(WdfDeviceWdmGetAttachedDevice(dev), pdo);
    EXPECT_EQ(WdfDeviceWdmGetPhysicalDevice(dev), pdo);
    EXPECT_EQ(kernel().io().topOfStack(pdo), fdo);
    EXPECT_EQ(WdfWdmDeviceGetWdfDeviceHandle(fdo), dev);
    EXPECT_EQ(WdfWdmDeviceGetWdfDeviceHandle(pdo), nullptr);
    EXPECT_EQ(wdf::findDevice(fdo), dev);
    EXPECT_EQ(WdfDeviceGetDriver(dev), WdfGetDriver());
    EXPECT_EQ(GetDeviceContext(dev)->cookie, 7u);

    std::optional<wdf::DeviceStatus> status = wdf::deviceStatus(fdo);
    ASSERT_TRUE(status);
    EXPECT_FALSE(status->pdo);
    EXPECT_EQ(status->pnpState, "started");
    EXPECT_TRUE(status->inD0);
    EXPECT_EQ(status->sddl, u"D:P(A;;GA;;;SY)(A;;GRGW;;;BA)");
    EXPECT_EQ(status->name, u"\\Device\\VelDev0");

    WDFSTRING name = nullptr;
    ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &name), STATUS_SUCCESS);
    ASSERT_EQ(WdfDeviceRetrieveDeviceName(dev, name), STATUS_SUCCESS);
    UNICODE_STRING retrieved;
    WdfStringGetUnicodeString(name, &retrieved);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(retrieved.Buffer),
                             retrieved.Length / sizeof(WCHAR)),
              u"\\Device\\VelDev0");
    WdfObjectDelete(name);

    // The location the bus reported, as a terminated string in a WDFMEMORY.
    WDFMEMORY memory = nullptr;
    ASSERT_EQ(WdfDeviceAllocAndQueryProperty(dev, DevicePropertyLocationInformation, PagedPool,
                                             WDF_NO_OBJECT_ATTRIBUTES, &memory),
              STATUS_SUCCESS);
    size_t size = 0;
    auto* location = static_cast<const char16_t*>(WdfMemoryGetBuffer(memory, &size));
    EXPECT_EQ(std::u16string(location, size / sizeof(WCHAR)),
              std::u16string(u"Port_#0001") + u'\0');
}

TEST_F(DeviceLifecycleTest, StartPreparesHardwareEntersD0ThenEnablesInterfaces) {
    std::vector<size_t> enabledDuringStart;
    afterCreate = [](WDFDEVICE device) {
        EXPECT_EQ(WdfDeviceCreateDeviceInterface(device, &kInterfaceClass, nullptr),
                  STATUS_SUCCESS);
    };
    inCallback = [&](const std::string& entry, WDFDEVICE) {
        if (entry == "smio init") {
            enabledDuringStart.push_back(kernel().io().enabledInterfaces(kInterfaceClass).size());
        }
    };
    plug();
    EXPECT_EQ(takeLog(), (Log{"prepare", "d0entry D3Final", "smio init"}));
    EXPECT_EQ(enabledDuringStart, std::vector<size_t>{0});
    EXPECT_EQ(kernel().io().enabledInterfaces(kInterfaceClass).size(), 1u);
}

TEST_F(DeviceLifecycleTest, FailedPrepareHardwareReleasesAndFailsTheStart) {
    prepareStatus = STATUS_DEVICE_NOT_READY;
    DEVICE_OBJECT* pdo = plug();
    EXPECT_EQ(stateOf(pdo), pnp::DeviceState::StartFailed);
    EXPECT_EQ(pnp().device(pdo)->problem, STATUS_DEVICE_NOT_READY);
    // No D0 entry; the failed stack is removed.
    EXPECT_EQ(takeLog(), (Log{"prepare", "release", "device cleanup"}));
}

TEST_F(DeviceLifecycleTest, StopReleasesAndRestartPreparesAgain) {
    afterCreate = [](WDFDEVICE device) {
        EXPECT_EQ(WdfDeviceCreateDeviceInterface(device, &kInterfaceClass, nullptr),
                  STATUS_SUCCESS);
    };
    DEVICE_OBJECT* pdo = plug();
    takeLog();
    ASSERT_EQ(pnp().stop(pdo), STATUS_SUCCESS);
    EXPECT_EQ(takeLog(), (Log{"query stop", "smio suspend", "d0exit D3Final", "release"}));
    EXPECT_TRUE(kernel().io().enabledInterfaces(kInterfaceClass).empty());
    EXPECT_EQ(wdf::deviceStatus(WdfDeviceWdmGetDeviceObject(device()))->pnpState, "stopped");

    ASSERT_EQ(pnp().start(pdo), STATUS_SUCCESS);
    EXPECT_EQ(takeLog(), (Log{"prepare", "d0entry D3Final", "smio restart"}));
    EXPECT_EQ(kernel().io().enabledInterfaces(kInterfaceClass).size(), 1u);
}

// The driver turns a created interface off and on; the interface list follows, and a stop and
// restart keep the driver's choice.
TEST_F(DeviceLifecycleTest, InterfaceStateFollowsTheDriverAcrossARestart) {
    afterCreate = [](WDFDEVICE device) {
        EXPECT_EQ(WdfDeviceCreateDeviceInterface(device, &kInterfaceClass, nullptr),
                  STATUS_SUCCESS);
    };
    DEVICE_OBJECT* pdo = plug();
    takeLog();
    ASSERT_EQ(kernel().io().enabledInterfaces(kInterfaceClass).size(), 1u);

    WdfDeviceSetDeviceInterfaceState(device(), &kInterfaceClass, nullptr, FALSE);
    EXPECT_TRUE(kernel().io().enabledInterfaces(kInterfaceClass).empty());
    ASSERT_EQ(pnp().stop(pdo), STATUS_SUCCESS);
    ASSERT_EQ(pnp().start(pdo), STATUS_SUCCESS);
    EXPECT_TRUE(kernel().io().enabledInterfaces(kInterfaceClass).empty());

    WdfDeviceSetDeviceInterfaceState(device(), &kInterfaceClass, nullptr, TRUE);
    EXPECT_EQ(kernel().io().enabledInterfaces(kInterfaceClass).size(), 1u);
    // An interface the device never created is not touched.
    UNICODE_STRING other;
    RtlInitUnicodeString(&other, reinterpret_cast<PCWSTR>(u"other"));
    WdfDeviceSetDeviceInterfaceState(device(), &kInterfaceClass, &other, TRUE);
    EXPECT_EQ(kernel().io().enabledInterfaces(kInterfaceClass).size(), 1u);
    takeLog();
}

TEST_F(DeviceLifecycleTest, QueriesAreVetoedWhileStaticStopRemoveIsHeld) {
    DEVICE_OBJECT* pdo = plug();
    takeLog();
    // Two holds need two releases; the driver's query callbacks are not asked meanwhile.
    WdfDeviceSetStaticStopRemove(device(), FALSE);
    WdfDeviceSetStaticStopRemove(device(), FALSE);
    EXPECT_EQ(pnp().stop(pdo), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(pnp().remove(pdo), STATUS_INVALID_DEVICE_STATE);
    WdfDeviceSetStaticStopRemove(device(), TRUE);
    EXPECT_EQ(pnp().stop(pdo), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(takeLog(), Log{});
    EXPECT_EQ(stateOf(pdo), pnp::DeviceState::Started);

    // Released: now the driver itself decides.
    WdfDeviceSetStaticStopRemove(device(), TRUE);
    queryStopStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(pnp().stop(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(takeLog(), Log{"query stop"});
    EXPECT_EQ(stateOf(pdo), pnp::DeviceState::Started);
    queryStopStatus = STATUS_SUCCESS;
    EXPECT_EQ(pnp().stop(pdo), STATUS_SUCCESS);
}

struct RemovalCase {
    const char* label;
    bool surprise;
    Log expected;
};

TEST_F(DeviceLifecycleTest, RemovalTearsDownInOrderAndDropsNamesAndInterfaces) {
    const RemovalCase cases[] = {
        {"orderly removal",
         false,
         {"query remove", "smio suspend", "d0exit D3Final", "release", "smio flush", "smio cleanup",
          "device cleanup"}},
        {"surprise removal",
         true,
         {"surprise removal", "smio suspend", "d0exit D3Final", "release", "smio flush",
          "smio cleanup", "device cleanup"}},
    };
    int n = 0;
    for (const RemovalCase& c : cases) {
        SCOPED_TRACE(c.label);
        const std::u16string link = u"\\DosDevices\\VELDEV" + std::u16string(1, u'0' + n);
        const std::u16string deviceName = u"\\Device\\VelDev" + std::u16string(1, u'0' + n);
        configureInit = [&](PWDFDEVICE_INIT init) {
            UNICODE_STRING name = text(deviceName.c_str());
            EXPECT_EQ(WdfDeviceInitAssignName(init, &name), STATUS_SUCCESS);
        };
        afterCreate = [&](WDFDEVICE device) {
            UNICODE_STRING name = text(link.c_str());
            EXPECT_EQ(WdfDeviceCreateSymbolicLink(device, &name), STATUS_SUCCESS);
            EXPECT_EQ(WdfDeviceCreateDeviceInterface(device, &kInterfaceClass, nullptr),
                      STATUS_SUCCESS);
        };
        DEVICE_OBJECT* pdo = plug("000" + std::to_string(n++));
        ASSERT_TRUE(kernel().io().symbolicLinkTarget(link));
        // What the link and interfaces look like when the driver flushes its self-managed I/O.
        bool namesGoneAtFlush = false;
        inCallback = [&](const std::string& entry, WDFDEVICE) {
            if (entry == "smio flush") {
                namesGoneAtFlush = !kernel().io().symbolicLinkTarget(link) &&
                                   kernel().io().enabledInterfaces(kInterfaceClass).empty();
            }
        };
        takeLog();
        if (c.surprise) {
            ASSERT_EQ(pnp().unplugRootDevice(pdo), STATUS_SUCCESS);
        } else {
            ASSERT_EQ(pnp().remove(pdo), STATUS_SUCCESS);
        }
        EXPECT_EQ(takeLog(), c.expected);
        EXPECT_TRUE(namesGoneAtFlush);
        EXPECT_FALSE(kernel().io().symbolicLinkTarget(link));
        inCallback = nullptr;
    }
}

TEST_F(DeviceLifecycleTest, OneNonEmptySymbolicLinkPerDevice) {
    std::vector<NTSTATUS> results;
    configureInit = [](PWDFDEVICE_INIT init) {
        UNICODE_STRING name = text(u"\\Device\\VelLinks");
        WdfDeviceInitAssignName(init, &name);
    };
    afterCreate = [&](WDFDEVICE device) {
        UNICODE_STRING empty = text(u"");
        UNICODE_STRING first = text(u"\\DosDevices\\VELLINK1");
        UNICODE_STRING second = text(u"\\DosDevices\\VELLINK2");
        results.push_back(WdfDeviceCreateSymbolicLink(device, &empty));
        results.push_back(WdfDeviceCreateSymbolicLink(device, &first));
        results.push_back(WdfDeviceCreateSymbolicLink(device, &second));
    };
    plug();
    EXPECT_EQ(results, (std::vector<NTSTATUS>{STATUS_INVALID_DEVICE_REQUEST, STATUS_SUCCESS,
                                              STATUS_INVALID_DEVICE_REQUEST}));
    EXPECT_TRUE(kernel().io().symbolicLinkTarget(u"\\DosDevices\\VELLINK1"));
    EXPECT_FALSE(kernel().io().symbolicLinkTarget(u"\\DosDevices\\VELLINK2"));
}

}  // namespace
}  // namespace vel::test
