// Whole runs with velbus: the built-in handset's children, and enumerate on descriptor files
// (a CDC union configuration, an interface association, a disabled function, a configuration
// whose wTotalLength promises more than the device returns).
#include "vel_usb.h"
#include "velsim_fixture.h"

namespace vel::velsim::test {
namespace {

// Interfaces 0 (CDC ACM, union with subordinate 1), 1 (CDC data) and 2 (vendor, string 5).
const char* const kUnionConfig = R"(
09 02 51 00 03 01 00 80 32   # configuration, wTotalLength 81
09 04 00 00 01 02 02 01 00   # interface 0: CDC abstract control, AT commands
05 24 00 10 01               #   header
05 24 06 00 01               #   union: master 0, subordinate 1
07 05 81 03 10 00 10         #   interrupt IN
09 04 01 00 02 0a 00 00 00   # interface 1: CDC data
07 05 82 02 00 02 00
07 05 02 02 00 02 00
09 04 02 00 02 ff 42 01 05   # interface 2: vendor-specific
07 05 83 02 00 02 00
07 05 03 02 00 02 00
)";

// Interfaces 0 and 1 behind an association (string 4), then mass storage at interface 2.
const char* const kAssociationConfig = R"(
09 02 4d 00 03 01 00 80 32   # configuration, wTotalLength 77
08 0b 00 02 02 02 01 04      # association: interfaces 0 and 1, CDC ACM
09 04 00 00 01 02 02 01 00
05 24 06 00 01
07 05 81 03 10 00 10
09 04 01 00 02 0a 00 00 00
07 05 82 02 00 02 00
07 05 02 02 00 02 00
09 04 02 00 01 08 06 50 00   # interface 2: mass storage
07 05 83 02 00 02 00
)";

const std::string kDevice = "120100020000004034127856000101020301";

std::string hardwareIds(const std::string& mi, const std::string& c, const std::string& s,
                        const std::string& p) {
    const std::string v = "USB\\\\Vid_1234&Pid_5678";
    return "[\"" + v + "&Rev_0100&Mi_" + mi + "&Os_NT\", \"" + v + "&Rev_0100&Mi_" + mi + "\", \"" +
           v + "&Mi_" + mi + "&Os_NT\", \"" + v + "&Mi_" + mi + "\", \"" + v + "&Class_" + c +
           "&SubClass_" + s + "&Prot_" + p + "&Os_NT\", \"" + v + "&Class_" + c + "&SubClass_" + s +
           "&Prot_" + p + "\", \"" + v + "&Class_" + c + "&SubClass_" + s + "&Os_NT\", \"" + v +
           "&Class_" + c + "&SubClass_" + s + "\", \"" + v + "&Class_" + c + "&Os_NT\", \"" + v +
           "&Class_" + c + "\"]";
}

class BusRun : public VelsimTest {
  protected:
    Outcome velsim(std::vector<std::string> args) { return runVelsim(args, VELSIM_BUS_MODULE); }
};

TEST_F(BusRun, DefaultRunShowsTheHandsetsChildren) {
    const Outcome o = velsim({});
    EXPECT_EQ(o.exit, kExitSuccess) << o.err << o.out;
    for (const char* id : {"USB\\Vid_fa57&Pid_7a01&Mi_00", "USB\\Vid_fa57&Pid_7a01&Mi_02",
                           "USB\\Vid_fa57&Pid_7a01&Mi_03", "driver: velbus"}) {
        EXPECT_NE(o.out.find(id), std::string::npos) << id << "\n" << o.out;
    }
    EXPECT_TRUE(o.out.ends_with("verifier: 0 violations\n")) << o.out;
    EXPECT_EQ(velsim({}).out, o.out);
}

TEST_F(BusRun, UnionConfigurationAsJson) {
    // Without --unique-id the lower stack reports no UniqueID: instance IDs are the interfaces.
    const Outcome o = velsim({"enumerate", "--config", file("union.hex", kUnionConfig), "--json"});
    ASSERT_EQ(o.exit, kExitSuccess) << o.err;
    EXPECT_EQ(o.err, "");
    const std::string expected =
        std::string(R"({"status": "STATUS_SUCCESS", "functions": [)") +
        R"({"interface": 0, "class": 2, "subclass": 2, "protocol": 1, "interfaces": 2, )"
        R"("disabled": false, "text": "", "device_descriptor": "120100020202014034127856000101020301", )"
        R"("config_descriptor": "09023a000201008032090400000102020100052400100105240600010705810310001009040100020a0000000705820200020007050202000200", )"
        R"("device_id": "USB\\Vid_1234&Pid_5678&Mi_00", "hardware_ids": )" +
        hardwareIds("00", "02", "02", "01") +
        R"(, "compatible_ids": ["USB\\Class_02&SubClass_02&Prot_01", "USB\\Class_02&SubClass_02", "USB\\Class_02"], )"
        R"("instance_id": "00"}, )"
        R"({"interface": 2, "class": 255, "subclass": 66, "protocol": 1, "interfaces": 1, )"
        R"("disabled": false, "text": "String 5", "device_descriptor": "12010002ff42014034127856000101020301", )"
        R"("config_descriptor": "0902200001010080320904020002ff4201050705830200020007050302000200", )"
        R"("device_id": "USB\\Vid_1234&Pid_5678&Mi_02", "hardware_ids": )" +
        hardwareIds("02", "ff", "42", "01") +
        R"(, "compatible_ids": ["USB\\Class_ff&SubClass_42&Prot_01", "USB\\Class_ff&SubClass_42", "USB\\Class_ff"], )"
        R"("instance_id": "02"}]})"
        "\n";
    EXPECT_EQ(o.out, expected);
}

// --unique-id makes the lower stack report UniqueID, and the children's instance IDs then carry
// the serial number.
TEST_F(BusRun, AssociationConfigurationAndUniqueId) {
    const std::string config = file("iad.hex", kAssociationConfig);
    struct Case {
        std::vector<std::string> extra;
        const char* first;
        const char* second;
    } cases[] = {
        {{}, "    instance ID: 00\n", "    instance ID: 02\n"},
        {{"--unique-id"}, "    instance ID: 0123456789_00\n", "    instance ID: 0123456789_02\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"enumerate", "--config", config};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const Outcome o = velsim(args);
        ASSERT_EQ(o.exit, kExitSuccess) << o.err;
        EXPECT_NE(o.out.find(c.first), std::string::npos) << o.out;
        EXPECT_NE(o.out.find(c.second), std::string::npos) << o.out;
    }
    const Outcome o = velsim({"enumerate", "--config", config, "--serial", "ABC", "--unique-id"});
    ASSERT_EQ(o.exit, kExitSuccess) << o.err;
    EXPECT_EQ(o.out.rfind("status: STATUS_SUCCESS\n2 functions\n"
                          "function at interface 0: class 02/02/01, 2 interfaces\n",
                          0),
              0u)
        << o.out;
    EXPECT_NE(o.out.find("    instance ID: ABC_00\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("    description: String 4\n"), std::string::npos);
    EXPECT_NE(o.out.find("    location: String 2\n"), std::string::npos);
    EXPECT_NE(o.out.find("function at interface 2: class 08/06/50, 1 interface\n"),
              std::string::npos);
    EXPECT_NE(o.out.find("    instance ID: ABC_02\n"), std::string::npos);
}

TEST_F(BusRun, DisabledFunctionIsListedInWalkOrder) {
    const std::string config = file("union.hex", kUnionConfig);
    const Outcome all = velsim({"enumerate", "--config", config, "--json"});
    const Outcome o = velsim({"enumerate", "--config", config, "--disable", "0", "--json"});
    ASSERT_EQ(o.exit, kExitSuccess) << o.err;
    // The same report, with the first function marked.
    std::string expected = all.out;
    const size_t first = expected.find("\"disabled\": false");
    ASSERT_NE(first, std::string::npos);
    expected.replace(first, 17, "\"disabled\": true");
    EXPECT_EQ(o.out, expected);
}

TEST_F(BusRun, ConfigurationShorterThanItsTotalLengthFailsTheStart) {
    std::string config = kUnionConfig;
    config.replace(config.find("09 02 51 00"), 11, "09 02 00 01");  // wTotalLength 256
    const Outcome o = velsim({"enumerate", "--config", file("long.hex", config), "--json"});
    // velbus's own length check fails the start; a reported failure is a clean run.
    EXPECT_EQ(o.exit, kExitSuccess) << o.err;
    EXPECT_EQ(o.out, "{\"status\": \"STATUS_DEVICE_ENUMERATION_ERROR\", \"functions\": []}\n");
}

TEST_F(BusRun, SameSeedSameReportAndCaptureOfTheEnumeration) {
    const std::string config = file("iad.hex", kAssociationConfig);
    const std::string pcap = path("enumerate.pcap");
    const Outcome first =
        velsim({"enumerate", "--config", config, "--seed", "9", "--capture", pcap});
    ASSERT_EQ(first.exit, kExitSuccess) << first.err;
    EXPECT_EQ(velsim({"enumerate", "--config", config, "--seed", "9"}).out, first.out);
    // The parent's own reads and selection: descriptors, then the configuration.
    const std::optional<std::vector<uint16_t>> functions = capturedFunctions(pcap);
    ASSERT_TRUE(functions);
    EXPECT_NE(
        std::find(functions->begin(), functions->end(), URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE),
        functions->end());
    EXPECT_NE(std::find(functions->begin(), functions->end(), URB_FUNCTION_SELECT_CONFIGURATION),
              functions->end());
}

}  // namespace
}  // namespace vel::velsim::test
