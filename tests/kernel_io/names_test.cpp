// The object namespace: symbolic links, resolution and device interfaces.

#include "io_fixture.h"

namespace vel::kernel::test {
namespace {

class NamesTest : public IoTest {
  protected:
    void SetUp() override {
        port = addDevice("port", Action::Complete, nullptr, u"\\Device\\velacm0");
        ASSERT_EQ(io().createSymbolicLink(u"\\DosDevices\\COM7", u"\\Device\\velacm0"),
                  STATUS_SUCCESS);
    }

    DEVICE_OBJECT* port = nullptr;
};

TEST_F(NamesTest, NamesResolveThroughLinksCaseInsensitively) {
    ASSERT_EQ(io().createSymbolicLink(u"\\??\\Modem", u"\\DosDevices\\COM7"), STATUS_SUCCESS);
    struct Case {
        std::u16string name;
        NTSTATUS status;
        std::u16string remainder;
    };
    const Case cases[] = {
        {u"\\Device\\velacm0", STATUS_SUCCESS, u""},
        {u"\\device\\VELACM0", STATUS_SUCCESS, u""},
        {u"\\DosDevices\\COM7", STATUS_SUCCESS, u""},
        {u"\\??\\com7", STATUS_SUCCESS, u""},
        {u"\\??\\COM7\\Rest\\Of", STATUS_SUCCESS, u"\\Rest\\Of"},
        {u"\\??\\MODEM", STATUS_SUCCESS, u""},  // a link to a link
        {u"\\??\\COM8", STATUS_OBJECT_NAME_NOT_FOUND, u""},
        {u"\\Device\\velacm", STATUS_OBJECT_NAME_NOT_FOUND, u""},
        {u"\\Device\\velacm01", STATUS_OBJECT_NAME_NOT_FOUND, u""},
        {u"\\Device", STATUS_OBJECT_NAME_NOT_FOUND, u""},
        {u"COM7", STATUS_OBJECT_NAME_INVALID, u""},
        {u"", STATUS_OBJECT_NAME_INVALID, u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(toUtf8(c.name));
        ResolvedName resolved;
        EXPECT_EQ(io().resolve(c.name, &resolved), c.status);
        EXPECT_EQ(resolved.device, c.status == STATUS_SUCCESS ? port : nullptr);
        EXPECT_EQ(resolved.remainder, c.remainder);
    }
    EXPECT_EQ(io().symbolicLinkTarget(u"\\??\\COM7"), u"\\Device\\velacm0");
    EXPECT_EQ(io().symbolicLinkTarget(u"\\Device\\velacm0"), std::nullopt);
}

TEST_F(NamesTest, TakenNamesCollideWhateverTheirSpelling) {
    const std::u16string taken[] = {u"\\DosDevices\\COM7", u"\\??\\com7", u"\\DEVICE\\VELACM0"};
    for (const auto& name : taken) {
        SCOPED_TRACE(toUtf8(name));
        EXPECT_EQ(io().createSymbolicLink(name, u"\\Device\\other"), STATUS_OBJECT_NAME_COLLISION);
    }
    DeviceObjectOptions options;
    options.name = u"\\??\\COM7";
    DEVICE_OBJECT* device = nullptr;
    EXPECT_EQ(io().createDevice(&driver, options, &device), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(io().symbolicLinkTarget(u"\\??\\COM7"), u"\\Device\\velacm0");
}

TEST_F(NamesTest, DeletedLinkNoLongerResolvesAndDevicesAreNotLinks) {
    EXPECT_EQ(io().deleteSymbolicLink(u"\\Device\\velacm0"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(io().deleteSymbolicLink(u"\\??\\Com7"), STATUS_SUCCESS);
    EXPECT_EQ(io().deleteSymbolicLink(u"\\??\\COM7"), STATUS_OBJECT_NAME_NOT_FOUND);
    ResolvedName resolved;
    EXPECT_EQ(io().resolve(u"\\DosDevices\\COM7", &resolved), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(io().resolve(u"\\Device\\velacm0", &resolved), STATUS_SUCCESS);
    // A link to nothing, and a loop, resolve to nothing.
    ASSERT_EQ(io().createSymbolicLink(u"\\??\\A", u"\\??\\B"), STATUS_SUCCESS);
    EXPECT_EQ(io().resolve(u"\\??\\A", &resolved), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(io().createSymbolicLink(u"\\??\\B", u"\\??\\A"), STATUS_SUCCESS);
    EXPECT_EQ(io().resolve(u"\\??\\A", &resolved), STATUS_OBJECT_NAME_NOT_FOUND);
}

constexpr GUID kModemClass = {
    0x2c7089aa, 0x2e0e, 0x11d1, {0xb1, 0x14, 0x00, 0xc0, 0x4f, 0xc2, 0xaa, 0xe4}};
constexpr GUID kOtherClass = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};

class InterfacesTest : public IoTest {
  protected:
    void SetUp() override {
        pdo = addDevice("pdo", Action::Complete, nullptr, u"\\Device\\00000042");
        io().setInstancePath(pdo, u"USB\\VID_1234&PID_0001&MI_00\\6&1a2b&0&0000");
    }

    DEVICE_OBJECT* pdo = nullptr;
};

TEST_F(InterfacesTest, RegisteredInterfaceIsNamedFromTheInstancePathAndStartsDisabled) {
    std::u16string link;
    ASSERT_EQ(io().registerDeviceInterface(pdo, kModemClass, u"", &link), STATUS_SUCCESS);
    EXPECT_EQ(link,
              u"\\??\\USB#VID_1234&PID_0001&MI_00#6&1a2b&0&0000#"
              u"{2c7089aa-2e0e-11d1-b114-00c04fc2aae4}");
    std::u16string again;
    ASSERT_EQ(io().registerDeviceInterface(pdo, kModemClass, u"", &again), STATUS_SUCCESS);
    EXPECT_EQ(again, link);
    EXPECT_TRUE(io().enabledInterfaces(kModemClass).empty());
    ResolvedName resolved;
    EXPECT_EQ(io().resolve(link, &resolved), STATUS_OBJECT_NAME_NOT_FOUND);

    // Without an instance path (not a PnP device) nothing is registered.
    DEVICE_OBJECT* control = addDevice("control", Action::Complete, nullptr, u"\\Device\\ctl");
    EXPECT_EQ(io().registerDeviceInterface(control, kModemClass, u"", &link),
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(InterfacesTest, EnablingCreatesTheLinkAndDisablingRemovesIt) {
    std::u16string link;
    ASSERT_EQ(io().registerDeviceInterface(pdo, kModemClass, u"", &link), STATUS_SUCCESS);
    std::u16string other;
    ASSERT_EQ(io().registerDeviceInterface(pdo, kOtherClass, u"", &other), STATUS_SUCCESS);

    struct Step {
        bool enable;
        NTSTATUS status;
        bool listed;
    };
    const Step steps[] = {
        {false, STATUS_OBJECT_NAME_NOT_FOUND, false},  // not enabled yet
        {true, STATUS_SUCCESS, true},
        {true, STATUS_OBJECT_NAME_EXISTS, true},
        {false, STATUS_SUCCESS, false},
        {false, STATUS_OBJECT_NAME_NOT_FOUND, false},
        {true, STATUS_SUCCESS, true},
    };
    int index = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(index++);
        EXPECT_EQ(io().setDeviceInterfaceState(link, step.enable), step.status);
        EXPECT_EQ(io().enabledInterfaces(kModemClass),
                  step.listed ? std::vector<std::u16string>{link} : std::vector<std::u16string>{});
        ResolvedName resolved;
        EXPECT_EQ(io().resolve(link, &resolved),
                  step.listed ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(resolved.device, step.listed ? pdo : nullptr);
    }
    EXPECT_TRUE(io().enabledInterfaces(kOtherClass).empty());
    EXPECT_EQ(io().setDeviceInterfaceState(u"\\??\\unknown", true), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(InterfacesTest, ReferenceStringReachesTheDeviceAsTheRestOfTheName) {
    std::u16string plain;
    std::u16string withReference;
    ASSERT_EQ(io().registerDeviceInterface(pdo, kModemClass, u"", &plain), STATUS_SUCCESS);
    ASSERT_EQ(io().registerDeviceInterface(pdo, kModemClass, u"Port2", &withReference),
              STATUS_SUCCESS);
    EXPECT_EQ(withReference, plain + u"\\Port2");
    ASSERT_EQ(io().setDeviceInterfaceState(withReference, true), STATUS_SUCCESS);
    ASSERT_EQ(io().setDeviceInterfaceState(plain, true), STATUS_SUCCESS);
    EXPECT_EQ(io().enabledInterfaces(kModemClass),
              (std::vector<std::u16string>{plain, withReference}));

    ResolvedName resolved;
    ASSERT_EQ(io().resolve(withReference, &resolved), STATUS_SUCCESS);
    EXPECT_EQ(resolved.device, pdo);
    EXPECT_EQ(resolved.remainder, u"\\Port2");
    // The two share one link: disabling one leaves the other reachable.
    ASSERT_EQ(io().setDeviceInterfaceState(plain, false), STATUS_SUCCESS);
    EXPECT_EQ(io().resolve(withReference, &resolved), STATUS_SUCCESS);
}

TEST_F(InterfacesTest, DeletingThePdoTakesItsInterfacesAway) {
    std::u16string link;
    ASSERT_EQ(io().registerDeviceInterface(pdo, kModemClass, u"", &link), STATUS_SUCCESS);
    ASSERT_EQ(io().setDeviceInterfaceState(link, true), STATUS_SUCCESS);
    removeDevices();
    EXPECT_TRUE(io().enabledInterfaces(kModemClass).empty());
    ResolvedName resolved;
    EXPECT_EQ(io().resolve(link, &resolved), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(io().setDeviceInterfaceState(link, false), STATUS_OBJECT_NAME_NOT_FOUND);
}

}  // namespace
}  // namespace vel::kernel::test
