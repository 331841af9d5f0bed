// Device init before devices: the driver's device-add and the device registry keys.
#include "test_driver.h"

namespace vel::test {
namespace {

const std::string kInstance = "USB\\VID_1234&PID_5678\\1";

TEST_F(DriverTest, DeviceAddOpensTheHardwareAndSoftwareKeys) {
    struct Opened {
        ULONG type;
        NTSTATUS status;
    };
    static std::vector<Opened> opened;
    opened.clear();
    onDeviceAdd([](WDFDRIVER, PWDFDEVICE_INIT init) {
        for (ULONG type : {ULONG{PLUGPLAY_REGKEY_DEVICE}, ULONG{PLUGPLAY_REGKEY_DRIVER},
                           ULONG{PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE}}) {
            WDFKEY key = nullptr;
            opened.push_back({type, WdfFdoInitOpenRegistryKey(init, type, KEY_READ,
                                                              WDF_NO_OBJECT_ATTRIBUTES, &key)});
            if (key != nullptr) {
                WdfRegistryClose(key);
            }
        }
        return STATUS_SUCCESS;
    });
    wdf::DeviceInitPtr init = deviceInit();
    ASSERT_NE(init, nullptr);
    ASSERT_EQ(framework().runDeviceAdd(*init), STATUS_SUCCESS);
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(opened[0].status, STATUS_SUCCESS);
    EXPECT_EQ(opened[1].status, STATUS_SUCCESS);
    EXPECT_EQ(opened[2].status, STATUS_INVALID_PARAMETER);
    kernel::Registry& reg = kernel().registry();
    EXPECT_TRUE(reg.keyExists(kernel::regpath::hardwareKey(kInstance)));
    EXPECT_TRUE(
        reg.keyExists(kernel::regpath::softwareKey("{4d36e978-e325-11ce-bfc1-08002be10318}", 3)));
}

TEST_F(DriverTest, DeviceKeysOfACreatedDeviceHangFromTheDevice) {
    WDFKEY key;
    ASSERT_EQ(WdfDeviceOpenRegistryKey(device(), PLUGPLAY_REGKEY_DEVICE, KEY_WRITE,
                                       WDF_NO_OBJECT_ATTRIBUTES, &key),
              STATUS_SUCCESS);
    DECLARE_CONST_UNICODE_STRING(portName, u"PortName");
    DECLARE_CONST_UNICODE_STRING(com7, u"COM7");
    ASSERT_EQ(WdfRegistryAssignUnicodeString(key, &portName, &com7), STATUS_SUCCESS);
    EXPECT_EQ(kernel().registry().string(kernel::regpath::hardwareKey(kInstance), "PortName"),
              u"COM7");
    EXPECT_EQ(kernel().registry().opens().back().access, ULONG{KEY_WRITE});
    // The key is the device's child: unloading the driver disposes both.
    framework().unloadDriver(kService);
    EXPECT_EQ(framework().liveObjectCount(), 0u);
}

TEST_F(PlatformTest, DeviceInitNeedsALoadedDriver) {
    EXPECT_EQ(framework().createDeviceInit("absent", {"ROOT\\X\\0", ""}), nullptr);
}

}  // namespace
}  // namespace vel::test
