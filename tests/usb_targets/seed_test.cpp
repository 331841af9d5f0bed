// Creation, selection of both interfaces, a setting change and deconfiguration, then unplug,
// under many scheduler seeds: every seed ends with the same requests seen by the device.
#include "target_fixture.h"

namespace vel::usbtargets::test {
namespace {

class SelectSeedTest : public TargetTest, public ::testing::WithParamInterface<uint64_t> {
  protected:
    SelectSeedTest() : TargetTest(GetParam()) {}
};

TEST_P(SelectSeedTest, SelectChangeSettingDeconfigureAndUnplug) {
    auto device = plug(usb::test::twoInterfaceLayout());
    ASSERT_EQ(driver().createStatus, STATUS_SUCCESS);
    passive([&] {
        const size_t before = selections(*device).size();
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, nullptr);
        ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(driver().usbDevice, nullptr, &params),
                  STATUS_SUCCESS);
        WDFUSBINTERFACE data = WdfUsbTargetDeviceGetInterface(driver().usbDevice, 1);
        WDF_USB_INTERFACE_SELECT_SETTING_PARAMS setting;
        WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&setting, 1);
        ASSERT_EQ(WdfUsbInterfaceSelectSetting(data, nullptr, &setting), STATUS_SUCCESS);
        EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(data), 1);
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(&params);
        ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(driver().usbDevice, nullptr, &params),
                  STATUS_SUCCESS);
        std::vector<std::string> seen = selections(*device);
        seen.erase(seen.begin(), seen.begin() + static_cast<long>(before));
        EXPECT_EQ(seen, (std::vector<std::string>{"config 1", "interface 1/0", "interface 1/1",
                                                  "config 0"}));
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, nullptr);
        ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(driver().usbDevice, nullptr, &params),
                  STATUS_SUCCESS);
    });
    unplug();
}

INSTANTIATE_TEST_SUITE_P(Seeds, SelectSeedTest, ::testing::Range<uint64_t>(1, 51));

}  // namespace
}  // namespace vel::usbtargets::test
