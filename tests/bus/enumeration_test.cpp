// Enumeration through the real doors: a handset is plugged, the PnP manager loads velbus on it,
// and the test looks at the start's outcome, the children in the device tree and what each
// child says about itself (its descriptors, read through its own stack).
#include <cstring>
#include <functional>

#include "bus_fixture.h"
#include "vel/kernel/format.h"

namespace vel::bus::test {
namespace {

using dev::ConfigurationBuilder;
using dev::EndpointType;

// ----- Start of the parent -------------------------------------------------------------------

struct StartCase {
    const char* name;
    uint8_t cls, sub, prot;
    pnp::DeviceState state;
    NTSTATUS problem;
};

class StartTest : public BusTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(StartTest, DeviceClassDecidesTheStart) {
    const StartCase& c = GetParam();
    Bytes config = ConfigurationBuilder()
                       .interface({.number = 0, .interfaceClass = 0xFF})
                       .endpoint({.address = 0x81})
                       .build();
    plug(descriptorDevice(deviceFields(c.cls, c.sub, c.prot), config));
    pnp::DeviceInfo info = parent();
    EXPECT_EQ(info.state, c.state);
    EXPECT_EQ(info.problem, c.problem);
    EXPECT_EQ(info.children.size(), c.state == pnp::DeviceState::Started ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Classes, StartTest,
    ::testing::Values(
        StartCase{"Zero", 0x00, 0x00, 0x00, pnp::DeviceState::Started, STATUS_SUCCESS},
        StartCase{"Association", 0xEF, 0x02, 0x01, pnp::DeviceState::Started, STATUS_SUCCESS},
        StartCase{"Cdc", 0x02, 0x00, 0x00, pnp::DeviceState::Started, STATUS_SUCCESS},
        StartCase{"CdcAnySubclass", 0x02, 0x07, 0x33, pnp::DeviceState::Started, STATUS_SUCCESS},
        StartCase{"MiscWithoutAssociation", 0xEF, 0x02, 0x00, pnp::DeviceState::StartFailed,
                  STATUS_UNSUCCESSFUL},
        StartCase{"ZeroClassNonZeroSub", 0x00, 0x01, 0x00, pnp::DeviceState::StartFailed,
                  STATUS_UNSUCCESSFUL},
        StartCase{"Vendor", 0xFF, 0x00, 0x00, pnp::DeviceState::StartFailed, STATUS_UNSUCCESSFUL}),
    [](const auto& info) { return std::string(info.param.name); });

// The device sends fewer bytes of its configuration than wTotalLength says: the start fails
// with the enumeration error and nothing is selected or reported.
TEST_F(BusTest, ConfigurationShorterThanItsTotalLengthFailsTheStart) {
    Bytes config = ConfigurationBuilder()
                       .interface({.number = 0, .interfaceClass = 0xFF})
                       .endpoint({.address = 0x81})
                       .build();
    const auto total = static_cast<uint16_t>(config.size() + 1);
    std::memcpy(&config[2], &total, sizeof total);
    plug(descriptorDevice(deviceFields(), config));
    pnp::DeviceInfo info = parent();
    EXPECT_EQ(info.state, pnp::DeviceState::StartFailed);
    EXPECT_EQ(info.problem, STATUS_DEVICE_ENUMERATION_ERROR);
    EXPECT_TRUE(info.children.empty());
    for (const usb::RequestRecord& r : hc().requests(1)) {
        EXPECT_FALSE(r.setup.bRequest == USB_REQUEST_SET_CONFIGURATION && r.setup.wValue != 0)
            << "a configuration was selected";
    }
}

// Strings: what string 0, the product and the serial number do to the start.
std::optional<Bytes> text(std::u16string_view s) {
    return dev::stringDescriptor(s);
}

struct StringCase {
    const char* name;
    std::optional<Bytes> languages;  // string 0
    std::optional<Bytes> product;
    std::optional<Bytes> serial;
    pnp::DeviceState state;
    NTSTATUS problem;
    size_t children;
    const char* location;  // the children's location text
};

class StringStartTest : public BusTest, public ::testing::WithParamInterface<StringCase> {};

TEST_P(StringStartTest, StringsOfTheHandset) {
    const StringCase& c = GetParam();
    Bytes config = ConfigurationBuilder()
                       .interface({.number = 0, .interfaceClass = 0xFF})
                       .endpoint({.address = 0x81})
                       .build();
    plug(deviceWithStrings(deviceFields(), config,
                           [c](uint8_t index, uint16_t) -> std::optional<Bytes> {
                               switch (index) {
                                   case 0:
                                       return c.languages;
                                   case 2:
                                       return c.product;
                                   case 3:
                                       return c.serial;
                                   default:
                                       return std::nullopt;
                               }
                           }));
    pnp::DeviceInfo info = parent();
    EXPECT_EQ(info.state, c.state);
    EXPECT_EQ(info.problem, c.problem);
    ASSERT_EQ(info.children.size(), c.children);
    if (c.children != 0) {
        EXPECT_EQ(info.children[0].location, c.location);
    }
    if (c.children == 0 && c.state == pnp::DeviceState::Started) {
        // No configuration was selected on the device.
        for (const usb::RequestRecord& r : hc().requests(1)) {
            EXPECT_NE(r.setup.bRequest, USB_REQUEST_SET_CONFIGURATION);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Strings, StringStartTest,
    ::testing::Values(StringCase{"Usual", text(u"\u0409"), text(u"Phone"), text(u"SN1"),
                                 pnp::DeviceState::Started, STATUS_SUCCESS, 1, "Phone"},
                      StringCase{"NoLanguage", Bytes{2, USB_STRING_DESCRIPTOR_TYPE}, text(u"Phone"),
                                 text(u"SN1"), pnp::DeviceState::Started, STATUS_SUCCESS, 0, ""},
                      StringCase{"EmptyProduct", text(u"\u0409"), text(u""), text(u"SN1"),
                                 pnp::DeviceState::Started, STATUS_SUCCESS, 1, ""},
                      StringCase{"ProductWithTrailingNul", text(u"\u0409"),
                                 text(std::u16string(u"Ph\0", 3)), text(u"SN1"),
                                 pnp::DeviceState::Started, STATUS_SUCCESS, 1, "Ph"},
                      StringCase{"EmptySerial", text(u"\u0409"), text(u"Phone"), text(u""),
                                 pnp::DeviceState::StartFailed, STATUS_UNSUCCESSFUL, 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ----- IDs, texts and capabilities of the children -------------------------------------------

Bytes mdlmAtInterface2() {
    return ConfigurationBuilder()
        .interface({.number = 0, .interfaceClass = 0x0A})
        .interface({.number = 1, .interfaceClass = 0x0A})
        .interface({.number = 2, .interfaceClass = 0x02, .subClass = 0x0A, .protocol = 0x01})
        .endpoint({.address = 0x83, .type = EndpointType::Interrupt, .interval = 8})
        .build();
}

TEST_F(BusTest, ChildIdsOfAFunctionAtInterfaceTwo) {
    plug(descriptorDevice(deviceFields(), mdlmAtInterface2(), "ABC"));
    ASSERT_EQ(children().size(), 1u);
    pnp::DeviceInfo c = children()[0];
    EXPECT_EQ(c.deviceId, "USB\\Vid_1234&Pid_5678&Mi_02");
    EXPECT_EQ(c.hardwareIds, (std::vector<std::string>{
                                 "USB\\Vid_1234&Pid_5678&Rev_0100&Mi_02&Os_NT",
                                 "USB\\Vid_1234&Pid_5678&Rev_0100&Mi_02",
                                 "USB\\Vid_1234&Pid_5678&Mi_02&Os_NT",
                                 "USB\\Vid_1234&Pid_5678&Mi_02",
                                 "USB\\Vid_1234&Pid_5678&Class_02&SubClass_0a&Prot_01&Os_NT",
                                 "USB\\Vid_1234&Pid_5678&Class_02&SubClass_0a&Prot_01",
                                 "USB\\Vid_1234&Pid_5678&Class_02&SubClass_0a&Os_NT",
                                 "USB\\Vid_1234&Pid_5678&Class_02&SubClass_0a",
                                 "USB\\Vid_1234&Pid_5678&Class_02&Os_NT",
                                 "USB\\Vid_1234&Pid_5678&Class_02",
                             }));
    EXPECT_EQ(c.compatibleIds,
              (std::vector<std::string>{"USB\\Class_02&SubClass_0a&Prot_01",
                                        "USB\\Class_02&SubClass_0a", "USB\\Class_02"}));
    // The interface's string index is 0: no description; the location is the product string.
    EXPECT_EQ(c.description, "");
    EXPECT_EQ(c.location, "String 2");
    EXPECT_EQ(c.service, "velprobe");
}

struct InstanceCase {
    const char* name;
    const char* serial;
    const char* instanceId;
};

class InstanceIdTest : public BusTest, public ::testing::WithParamInterface<InstanceCase> {};

// The hub reports UniqueID for a serial number of printable characters without a comma.
TEST_P(InstanceIdTest, SerialNumberOnlyWhenUnique) {
    plug(descriptorDevice(deviceFields(), mdlmAtInterface2(), GetParam().serial));
    ASSERT_EQ(children().size(), 1u);
    EXPECT_EQ(children()[0].instanceId, GetParam().instanceId);
}

INSTANTIATE_TEST_SUITE_P(UniqueId, InstanceIdTest,
                         ::testing::Values(InstanceCase{"Unique", "ABC", "ABC_02"},
                                           InstanceCase{"NotUnique", "A,BC", "02"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BusTest, UnionHandsetChildren) {
    plugPreset("union-hs", "SN42");
    EXPECT_EQ(parent().state, pnp::DeviceState::Started);
    std::vector<pnp::DeviceInfo> kids = children();
    ASSERT_EQ(kids.size(), 3u);
    EXPECT_EQ(childDeviceIds(), (std::vector<std::string>{"USB\\Vid_fa57&Pid_7a01&Mi_00",
                                                          "USB\\Vid_fa57&Pid_7a01&Mi_02",
                                                          "USB\\Vid_fa57&Pid_7a01&Mi_03"}));
    EXPECT_EQ(kids[0].description, "Modem");
    EXPECT_EQ(kids[1].description, "Diagnostics");
    EXPECT_EQ(kids[2].description, "Storage");
    for (const pnp::DeviceInfo& kid : kids) {
        EXPECT_EQ(kid.location, "VH-100 Handset");
        EXPECT_EQ(kid.state, pnp::DeviceState::Started);
        EXPECT_EQ(kid.hardwareIds.size(), 10u);
        EXPECT_EQ(kid.compatibleIds.size(), 3u);
    }
    EXPECT_EQ(kids[0].instanceId, "SN42_00");
    EXPECT_EQ(kids[0].compatibleIds[0], "USB\\Class_02&SubClass_02&Prot_01");
}

TEST_F(BusTest, AssociationHandsetChildren) {
    plugPreset("iad-fs");
    EXPECT_EQ(childDeviceIds(), (std::vector<std::string>{"USB\\Vid_fa57&Pid_7a01&Mi_00",
                                                          "USB\\Vid_fa57&Pid_7a01&Mi_02",
                                                          "USB\\Vid_fa57&Pid_7a01&Mi_03"}));
}

TEST_F(BusTest, DownloadHandsetHasOneVendorChild) {
    plugPreset("download-hs");
    ASSERT_EQ(children().size(), 1u);
    EXPECT_EQ(children()[0].compatibleIds[0], "USB\\Class_ff&SubClass_ff&Prot_ff");
}

// ----- Disabled functions --------------------------------------------------------------------

TEST_F(BusTest, DisableIfValueOfTheSoftwareKeyHidesTheFunctionAtTheNextStart) {
    plugPreset("union-hs");
    ASSERT_EQ(children().size(), 3u);
    kernel().registry().setDword(softwareKey(), "DisableIf_02", 1);
    kernel().registry().setDword(softwareKey(), "DisableIf_03", 0);  // 0 leaves it enabled
    restart();
    EXPECT_EQ(childDeviceIds(), (std::vector<std::string>{"USB\\Vid_fa57&Pid_7a01&Mi_00",
                                                          "USB\\Vid_fa57&Pid_7a01&Mi_03"}));
}

TEST_F(BusTest, DisableIfNameUsesLowerCaseHex) {
    Bytes config = ConfigurationBuilder()
                       .interface({.number = 10, .interfaceClass = 0xFF})
                       .interface({.number = 11, .interfaceClass = 0x08, .subClass = 0x06})
                       .build();
    plug(descriptorDevice(deviceFields(), config));
    ASSERT_EQ(children().size(), 2u);
    kernel().registry().setDword(softwareKey(), "DisableIf_0a", 1);
    restart();
    EXPECT_EQ(childDeviceIds(), (std::vector<std::string>{"USB\\Vid_1234&Pid_5678&Mi_0b"}));
}

TEST_F(BusTest, AllFunctionsDisabledLeavesAStartedParentWithoutChildren) {
    plugPreset("union-hs");
    for (const char* name : {"DisableIf_00", "DisableIf_02", "DisableIf_03"}) {
        kernel().registry().setDword(softwareKey(), name, 7);
    }
    restart();
    EXPECT_EQ(parent().state, pnp::DeviceState::Started);
    EXPECT_TRUE(children().empty());
}

// ----- The walk ------------------------------------------------------------------------------

// A piece of a configuration: descriptors added to a builder.
using Piece = std::function<void(ConfigurationBuilder&)>;

Bytes bodyOf(const std::vector<Piece>& pieces, size_t first, size_t last) {
    ConfigurationBuilder b;
    for (size_t i = first; i < last; ++i) {
        pieces[i](b);
    }
    Bytes bytes = b.build();
    return Bytes(bytes.begin() + sizeof(USB_CONFIGURATION_DESCRIPTOR), bytes.end());
}

struct ExpectedFunction {
    uint8_t interface;
    uint8_t cls, sub, prot;
    uint8_t numInterfaces;
    size_t first, last;  // the pieces of its bundle
};

struct WalkCase {
    const char* name;
    std::vector<Piece> pieces;
    std::vector<ExpectedFunction> functions;
    NTSTATUS problem = STATUS_SUCCESS;  // of the start
};

Piece iface(uint8_t number, uint8_t cls, uint8_t sub = 0, uint8_t prot = 0, uint8_t alt = 0) {
    return [=](ConfigurationBuilder& b) {
        b.interface({.number = number,
                     .alternateSetting = alt,
                     .interfaceClass = cls,
                     .subClass = sub,
                     .protocol = prot});
    };
}
Piece bulkPair(uint8_t n) {
    return [=](ConfigurationBuilder& b) {
        b.endpoint({.address = static_cast<uint8_t>(0x80 | n)}).endpoint({.address = n});
    };
}
Piece cdcUnion(uint8_t control, std::vector<uint8_t> subordinates) {
    return [=](ConfigurationBuilder& b) { b.cdcHeader().cdcUnion(control, subordinates); };
}
Piece association(uint8_t first, uint8_t count, uint8_t cls, uint8_t sub, uint8_t prot) {
    return [=](ConfigurationBuilder& b) {
        b.association({.firstInterface = first,
                       .interfaceCount = count,
                       .functionClass = cls,
                       .functionSubClass = sub,
                       .functionProtocol = prot});
    };
}
Piece rawBytes(Bytes bytes) {
    return [=](ConfigurationBuilder& b) { b.raw(bytes); };
}

std::vector<WalkCase> walkCases() {
    return {
        {"UnionWithSubordinateAndVendor",
         {iface(0, 2, 2, 1), cdcUnion(0, {1}), iface(1, 0x0A), bulkPair(2), iface(2, 0xFF, 1, 2),
          bulkPair(3)},
         {{0, 2, 2, 1, 2, 0, 4}, {2, 0xFF, 1, 2, 1, 4, 6}}},
        {"AcmWithOtherProtocolsIsSkipped",
         {iface(0, 2, 2, 0), iface(1, 2, 2, 0xFF), iface(2, 0x0A)},
         {}},
        {"CdcWithoutUnionIsItsInterfaceAlone",
         {iface(0, 2, 0x0D, 0), bulkPair(1), iface(1, 0x0A), bulkPair(2)},
         {{0, 2, 0x0D, 0, 1, 0, 2}}},
        {"UnionShorterThanFourBytesNamesNoSubordinate",
         {iface(0, 2, 2, 1), rawBytes({3, 0x24, 0x06}), iface(1, 0x0A), bulkPair(2)},
         {{0, 2, 2, 1, 1, 0, 2}}},
        {"AssociationWithNcmClassIsIgnored",
         {association(0, 2, 2, 0x0D, 0), iface(0, 2, 0x0D, 0), cdcUnion(0, {1}),
          iface(1, 0x0A, 0, 1, 0), iface(1, 0x0A, 0, 1, 1), bulkPair(2)},
         {{0, 2, 0x0D, 0, 2, 1, 6}}},
        {"AssociationBundle",
         {association(0, 2, 0xFF, 0x42, 0x01), iface(0, 0xFF), bulkPair(1), iface(1, 0xFF),
          bulkPair(2), iface(2, 0x08, 6, 0x50)},
         {{0, 0xFF, 0x42, 0x01, 2, 0, 5}, {2, 0x08, 6, 0x50, 1, 5, 6}}},
        {"AssociationEndsBeforeASecondSettingOfItsLastInterface",
         {association(0, 2, 0xFF, 0, 0), iface(0, 0xFF), iface(1, 0xFF), iface(1, 0xFF, 0, 0, 1),
          bulkPair(2)},
         {{0, 0xFF, 0, 0, 2, 0, 3}, {1, 0xFF, 0, 0, 1, 3, 5}}},
        {"AssociationWithAMisnumberedInterfaceFails",
         {association(0, 2, 0xFF, 0, 0), iface(0, 0xFF), iface(2, 0xFF)},
         {},
         STATUS_DEVICE_ENUMERATION_ERROR},
        {"AssociationWhoseFirstInterfaceHasTwoSettingsFails",
         {association(0, 2, 0xFF, 0, 0), iface(0, 0xFF), iface(0, 0xFF, 0, 0, 1), iface(1, 0xFF)},
         {},
         STATUS_DEVICE_ENUMERATION_ERROR},
        {"AssociationWithTooFewInterfacesFails",
         {iface(0, 0xFF), association(1, 3, 0xFF, 0, 0), iface(1, 0xFF), iface(2, 0xFF)},
         {},
         STATUS_DEVICE_ENUMERATION_ERROR},
        {"NcmAssociationAsLastDescriptorEndsTheWalk",
         {iface(0, 0xFF), bulkPair(1), association(1, 2, 2, 0x0D, 0)},
         {{0, 0xFF, 0, 0, 1, 0, 2}}},
        {"OnlyDataInterfaces", {iface(0, 0x0A), bulkPair(1), iface(1, 0x0A)}, {}},
        {"OtherClassesAreSkipped",
         {iface(0, 0x01, 1), iface(1, 0x03), iface(2, 0x08, 6, 0x50), bulkPair(1)},
         {{2, 0x08, 6, 0x50, 1, 2, 4}}},
        // Each setting is a function of the walk, but one interface gets one child.
        {"SecondSettingOfAVendorInterfaceGetsNoChildOfItsOwn",
         {iface(0, 0xFF), bulkPair(1), iface(0, 0xFF, 0, 0, 1), bulkPair(1),
          iface(1, 0x08, 6, 0x50), iface(1, 0x08, 6, 0x50, 1)},
         {{0, 0xFF, 0, 0, 1, 0, 2}, {1, 0x08, 6, 0x50, 1, 4, 5}}},
        {"VendorBundleEndsAtAnOtherSpeedDescriptor",
         {iface(0, 0xFF), bulkPair(1), rawBytes({9, 0x07, 0, 0, 0, 0, 0, 0, 0})},
         {{0, 0xFF, 0, 0, 1, 0, 2}}},
    };
}

class WalkTest : public BusTest, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(WalkTest, FunctionsOfTheConfiguration) {
    const WalkCase& c = GetParam();
    ConfigurationBuilder builder;
    for (const Piece& p : c.pieces) {
        p(builder);
    }
    const Bytes config = builder.build();
    plug(descriptorDevice(deviceFields(), config));
    pnp::DeviceInfo info = parent();
    EXPECT_EQ(info.problem, c.problem);
    if (c.problem != STATUS_SUCCESS) {
        EXPECT_TRUE(info.children.empty());
        return;
    }
    ASSERT_EQ(info.children.size(), c.functions.size());
    for (size_t i = 0; i < c.functions.size(); ++i) {
        const ExpectedFunction& f = c.functions[i];
        SCOPED_TRACE(i);
        const pnp::DeviceInfo& kid = info.children[i];
        char compatible[64];
        std::snprintf(compatible, sizeof compatible, "USB\\Class_%02x&SubClass_%02x&Prot_%02x",
                      f.cls, f.sub, f.prot);
        EXPECT_EQ(kid.compatibleIds.at(0), compatible);
        DEVICE_OBJECT* fdo = probe(f.interface);
        ASSERT_NE(fdo, nullptr);

        Bytes expected(config.begin(), config.begin() + sizeof(USB_CONFIGURATION_DESCRIPTOR));
        const Bytes bundle = bodyOf(c.pieces, f.first, f.last);
        const size_t total = expected.size() + bundle.size();
        expected[2] = static_cast<uint8_t>(total);
        expected[3] = static_cast<uint8_t>(total >> 8);
        expected[4] = f.numInterfaces;
        expected.insert(expected.end(), bundle.begin(), bundle.end());
        EXPECT_EQ(readDescriptor(fdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, 1024), expected);

        Bytes device = readDescriptor(fdo, USB_DEVICE_DESCRIPTOR_TYPE, 64);
        ASSERT_EQ(device.size(), sizeof(USB_DEVICE_DESCRIPTOR));
        EXPECT_EQ(device[4], f.cls);
        EXPECT_EQ(device[5], f.sub);
        EXPECT_EQ(device[6], f.prot);
        EXPECT_EQ(device[17], 1);  // bNumConfigurations
    }
}

INSTANTIATE_TEST_SUITE_P(Walk, WalkTest, ::testing::ValuesIn(walkCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vel::bus::test
