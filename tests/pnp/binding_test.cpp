// Which driver a device gets: the first of the device's own IDs (hardware, then compatible)
// that some package lists, compared without case; among packages listing that ID, the first.
#include "pnp_fixture.h"

namespace vel::pnp::test {
namespace {

struct Package {
    std::string service;
    std::vector<std::string> ids;
};

struct BindingCase {
    const char* name;
    std::vector<std::string> hardwareIds;
    std::vector<std::string> compatibleIds;
    std::vector<Package> packages;  // in the order added
    std::string expected;           // the bound service; empty: no driver
};

class Binding : public PnpTest, public ::testing::WithParamInterface<BindingCase> {};

TEST_P(Binding, BindsTheFirstMatchingIdOfTheDevice) {
    const BindingCase& c = GetParam();
    for (const Package& package : c.packages) {
        addFunctionPackage(package.service, package.ids);
    }
    RootDevice device;
    device.deviceId = "ROOT\\DEV";
    device.hardwareIds = c.hardwareIds;
    device.compatibleIds = c.compatibleIds;
    DEVICE_OBJECT* pdo = pnp().plugRootDevice(device);

    const DeviceInfo info = *pnp().device(pdo);
    EXPECT_EQ(info.service, c.expected);
    if (c.expected.empty()) {
        EXPECT_EQ(info.state, DeviceState::NoDriver);
        EXPECT_TRUE(world().log().empty()) << "no driver may be loaded or asked";
        EXPECT_TRUE(pnp().deviceKeys(pdo)->softwareKey.empty());
    } else {
        EXPECT_EQ(info.state, DeviceState::Started);
        EXPECT_EQ(world().log(),
                  (std::vector<std::string>{c.expected + " DriverEntry",
                                            "ROOT\\DEV\\0000 AddDevice", "ROOT\\DEV\\0000 START"}));
        for (const Package& package : c.packages) {
            EXPECT_EQ(framework().isLoaded(package.service), package.service == c.expected)
                << package.service;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Binding,
    ::testing::Values(
        BindingCase{"HardwareIdBeatsCompatibleId",
                    {"VID_1&PID_2&REV_3", "VID_1&PID_2"},
                    {"CLASS_02"},
                    {{"bycompat", {"CLASS_02"}}, {"byhw", {"VID_1&PID_2"}}},
                    "byhw"},
        BindingCase{"DeviceOrderNotTableOrder",
                    {"VID_1&PID_2&REV_3", "VID_1&PID_2"},
                    {},
                    {{"generic", {"VID_1&PID_2"}}, {"specific", {"VID_1&PID_2&REV_3"}}},
                    "specific"},
        BindingCase{"CompatibleOrderToo",
                    {"VID_1&PID_2"},
                    {"CLASS_02&SUB_02", "CLASS_02"},
                    {{"class", {"CLASS_02"}}, {"subclass", {"CLASS_02&SUB_02"}}},
                    "subclass"},
        BindingCase{"CaseInsensitive",
                    {"USB\\VID_ABCD&PID_00EF"},
                    {},
                    {{"lower", {"usb\\vid_abcd&pid_00ef"}}},
                    "lower"},
        BindingCase{"FirstPackageListingTheIdWins",
                    {"VID_1&PID_2"},
                    {},
                    {{"first", {"OTHER", "VID_1&PID_2"}}, {"second", {"VID_1&PID_2"}}},
                    "first"},
        BindingCase{"PrefixIsNoMatch",
                    {"VID_1&PID_2&REV_3"},
                    {"CLASS_02"},
                    {{"prefix", {"VID_1&PID_2"}}, {"other", {"CLASS_0"}}},
                    ""},
        BindingCase{"NoIdsAtAll", {}, {}, {{"any", {"VID_1&PID_2"}}}, ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vel::pnp::test
