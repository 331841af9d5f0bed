// The enumerate report: the exact JSON shape other tools read, and its text form.
#include <gtest/gtest.h>

#include "report.h"

namespace vel::velsim {
namespace {

EnumerationReport sample() {
    FunctionReport f;
    f.interface = 2;
    f.cls = 0xFF;
    f.subClass = 0x42;
    f.protocol = 1;
    f.interfaces = 1;
    f.disabled = true;
    f.text = "Diag \"port\" \\ 1\t";
    f.deviceDescriptor = {0x12, 0x01};
    f.configDescriptor = {0x09, 0x02, 0xAB};
    f.deviceId = "USB\\Vid_1234&Pid_5678&Mi_02";
    f.hardwareIds = {"A", "B"};
    f.compatibleIds = {"USB\\Class_ff"};
    f.instanceId = "02";
    return {STATUS_DEVICE_ENUMERATION_ERROR, {f, FunctionReport{}}};
}

TEST(Report, JsonHasTheFixedShape) {
    EXPECT_EQ(toJson({}), "{\"status\": \"STATUS_SUCCESS\", \"functions\": []}\n");
    EXPECT_EQ(toJson(sample()),
              R"({"status": "STATUS_DEVICE_ENUMERATION_ERROR", "functions": [)"
              R"({"interface": 2, "class": 255, "subclass": 66, "protocol": 1, "interfaces": 1, )"
              R"("disabled": true, "text": "Diag \"port\" \\ 1\t", "device_descriptor": "1201", )"
              R"("config_descriptor": "0902ab", "device_id": "USB\\Vid_1234&Pid_5678&Mi_02", )"
              R"("hardware_ids": ["A", "B"], "compatible_ids": ["USB\\Class_ff"], )"
              R"("instance_id": "02"}, )"
              R"({"interface": 0, "class": 0, "subclass": 0, "protocol": 0, "interfaces": 0, )"
              R"("disabled": false, "text": "", "device_descriptor": "", "config_descriptor": "", )"
              R"("device_id": "", "hardware_ids": [], "compatible_ids": [], "instance_id": ""}]})"
              "\n");
    FunctionReport control;
    control.text = std::string("a\x01z", 3);
    EXPECT_NE(toJson({STATUS_SUCCESS, {control}}).find(R"("text": "a\u0001z")"), std::string::npos);
}

TEST(Report, TextNamesStatusAndEachFunction) {
    const std::string text = toText(sample());
    EXPECT_EQ(text.rfind("status: STATUS_DEVICE_ENUMERATION_ERROR\n2 functions\n"
                         "function at interface 2: class ff/42/01, 1 interface, disabled (no "
                         "child)\n",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find("    configuration descriptor: 0902ab\n"), std::string::npos);
}

}  // namespace
}  // namespace vel::velsim
