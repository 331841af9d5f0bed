// Installation: instance paths, hardware and software keys, values written at the first
// installation only, driver loading and unloading, failed installations.
#include "pnp_fixture.h"
#include "vel/kernel/io.h"

namespace vel::pnp::test {
namespace {

using kernel::RegValue;
namespace regpath = kernel::regpath;

const std::string kPortsClass = "{4d36e978-e325-11ce-bfc1-08002be10318}";

class Install : public PnpTest {
  protected:
    void addPortPackage() {
        DriverPackage package;
        package.service = "toyport";
        package.entry = ToyFunctionDriverEntry;
        package.ids = {"ROOT\\PORT"};
        package.classGuid = kPortsClass;
        package.hardwareValues = {{"PortName", RegValue::string(u"COM7")},
                                  {"PollInterval", RegValue::dword(50)}};
        package.softwareValues = {{"DisableIf_0a", RegValue::dword(1)}};
        pnp().addDriverPackage(std::move(package));
    }
};

TEST_F(Install, InstancePathAndKeys) {
    addPortPackage();
    DEVICE_OBJECT* first = plugRoot("PORT", "0007");
    DEVICE_OBJECT* second = plugRoot("PORT", "0008");

    const DeviceKeys keys = *pnp().deviceKeys(first);
    EXPECT_EQ(keys.instancePath, "ROOT\\PORT\\0007");
    EXPECT_EQ(keys.hardwareKey, regpath::kEnum + "\\ROOT\\PORT\\0007\\Device Parameters");
    EXPECT_EQ(keys.softwareKey, regpath::kClass + "\\" + kPortsClass + "\\0000");
    EXPECT_EQ(pnp().deviceKeys(second)->softwareKey,
              regpath::kClass + "\\" + kPortsClass + "\\0001");
    EXPECT_TRUE(registry().keyExists(keys.softwareKey));
    const std::string instanceKey = regpath::kEnum + "\\ROOT\\PORT\\0007";
    EXPECT_EQ(registry().string(instanceKey, "Service"), u"toyport");
    EXPECT_EQ(registry().string(instanceKey, "Driver"), kernel::toUtf16(kPortsClass) + u"\\0000");
    EXPECT_EQ(registry().string(instanceKey, "DeviceDesc"), u"PORT device");

    // The I/O manager knows the PDO's instance path: interface names are built from it.
    std::u16string link;
    const GUID someClass = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
    ASSERT_EQ(kernel().io().registerDeviceInterface(first, someClass, u"", &link), STATUS_SUCCESS);
    EXPECT_EQ(link.rfind(u"\\??\\ROOT#PORT#0007#", 0), 0u) << kernel::toUtf8(link);
}

TEST_F(Install, ValuesAreWrittenBeforeAddDeviceAndOnlyAtTheFirstInstallation) {
    addPortPackage();
    DEVICE_OBJECT* pdo = plugRoot("PORT");
    const std::string hardwareKey = pnp().deviceKeys(pdo)->hardwareKey;
    EXPECT_EQ(world().portNameAtAdd("ROOT\\PORT\\0000"), "COM7");
    EXPECT_EQ(registry().dword(hardwareKey, "PollInterval"), 50u);
    const std::string softwareKey = pnp().deviceKeys(pdo)->softwareKey;
    EXPECT_EQ(registry().dword(softwareKey, "DisableIf_0a"), 1u);

    // The user renames the port; the device comes back and keeps its name and its keys.
    registry().setString(hardwareKey, "PortName", u"COM9");
    registry().deleteValue(hardwareKey, "PollInterval");
    registry().setDword(softwareKey, "DisableIf_0a", 0);
    ASSERT_EQ(pnp().unplugRootDevice(pdo), STATUS_SUCCESS);
    pdo = plugRoot("PORT");
    EXPECT_EQ(world().portNameAtAdd("ROOT\\PORT\\0000"), "COM9");
    EXPECT_EQ(registry().string(hardwareKey, "PortName"), u"COM9");
    EXPECT_FALSE(registry().value(hardwareKey, "PollInterval").has_value());
    EXPECT_EQ(registry().dword(softwareKey, "DisableIf_0a"), 0u);
    EXPECT_EQ(pnp().deviceKeys(pdo)->softwareKey, softwareKey);
}

TEST_F(Install, SoftwareKeysComeFromTheRegistryAcrossARestart) {
    addPortPackage();
    plugRoot("PORT", "A");
    const std::string saved = registry().serialize();

    restartPnp();
    ASSERT_TRUE(registry().deserialize(saved));
    addPortPackage();
    // A new device first: it must not take the index the known one was given.
    DEVICE_OBJECT* other = plugRoot("PORT", "B");
    DEVICE_OBJECT* known = plugRoot("PORT", "A");
    EXPECT_EQ(pnp().deviceKeys(known)->softwareKey,
              regpath::kClass + "\\" + kPortsClass + "\\0000");
    EXPECT_EQ(pnp().deviceKeys(other)->softwareKey,
              regpath::kClass + "\\" + kPortsClass + "\\0001");
}

TEST_F(Install, DriverIsLoadedOnceAndUnloadedWithItsLastDevice) {
    addFunctionPackage("toyfn", {"ROOT\\FN"});
    DEVICE_OBJECT* a = plugRoot("FN", "A");
    DEVICE_OBJECT* b = plugRoot("FN", "B");
    EXPECT_EQ(world().logWith("DriverEntry"), std::vector<std::string>{"toyfn DriverEntry"});

    ASSERT_EQ(pnp().remove(a), STATUS_SUCCESS);
    EXPECT_TRUE(framework().isLoaded("toyfn"));
    ASSERT_EQ(pnp().unplugRootDevice(b), STATUS_SUCCESS);
    EXPECT_FALSE(framework().isLoaded("toyfn"));
    EXPECT_EQ(world().log().back(), "toyfn Unload");

    // The next device loads it again.
    plugRoot("FN", "C");
    EXPECT_EQ(world().logWith("DriverEntry").size(), 2u);
    EXPECT_TRUE(framework().isLoaded("toyfn"));
}

TEST_F(Install, FailedAddDeviceLeavesTheDeviceWithAProblemAndTheDriverUnloaded) {
    addFunctionPackage("toyfn", {"ROOT\\FN"});
    world().setFaults("ROOT\\FN\\0000", Faults{.addDevice = STATUS_INSUFFICIENT_RESOURCES});
    DEVICE_OBJECT* pdo = plugRoot("FN");
    const DeviceInfo info = *pnp().device(pdo);
    EXPECT_EQ(info.state, DeviceState::InstallFailed);
    EXPECT_EQ(info.problem, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(world().logWith("START").empty());
    EXPECT_FALSE(framework().isLoaded("toyfn"));
}

TEST_F(Install, DriverThatCannotBeLoadedIsAFailedInstallation) {
    DriverPackage package;
    package.service = "missing";
    package.modulePath = "/nonexistent/missing.so";
    package.ids = {"ROOT\\GONE"};
    pnp().addDriverPackage(package);
    DEVICE_OBJECT* pdo = plugRoot("GONE");
    EXPECT_EQ(pnp().device(pdo)->state, DeviceState::InstallFailed);
    EXPECT_EQ(pnp().device(pdo)->problem, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Install, SecondDeviceWithTheSameInstancePathIsRefused) {
    addFunctionPackage("toyfn", {"ROOT\\FN"});
    DEVICE_OBJECT* first = plugRoot("FN");
    DEVICE_OBJECT* second = plugRoot("FN");
    EXPECT_EQ(pnp().device(first)->state, DeviceState::Started);
    EXPECT_EQ(pnp().device(second)->state, DeviceState::InstallFailed);
    EXPECT_EQ(pnp().device(second)->problem, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(world().logWith("AddDevice").size(), 1u);
    const std::vector<rt::Violation> violations = runtime().verifier().take();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_EQ(violations[0].rule, rt::Rule::ContractViolation);
}

}  // namespace
}  // namespace vel::pnp::test
