// Descriptor files for enumerate: every problem is exit status 2 with one line naming the file
// and the place (line and column of hex text, byte of the device descriptor), before any
// driver runs.
#include "enumerate.h"
#include "velsim_fixture.h"

namespace vel::velsim::test {
namespace {

// Any module path will do: bad input is found before the driver is needed.
const std::string kNoSuchModule = "/nonexistent/velbus.so";

class Input : public VelsimTest {};

TEST_F(Input, BadFilesAreOneLineNamingFileAndPlace) {
    const std::string good = file("good.hex", "09 02 09 00 00 01 00 80 32\n");
    struct Case {
        std::string config, device;
        std::string expected;  // after "velsim: "
    };
    const Case cases[] = {
        {file("digit.hex", "# config\n09 02 0x 00\n"), "",
         path("digit.hex") + ":2:8: bad hex digit 'x'"},
        {file("odd.hex", "09 02 009\n"), "",
         path("odd.hex") + ":1:7: odd number of hex digits (3) in a byte group"},
        {file("empty.hex", ""), "", path("empty.hex") + ": empty file"},
        {file("comments.hex", "# nothing but\n# comments\n"), "",
         path("comments.hex") + ": no descriptor bytes"},
        {path("missing.hex"), "", path("missing.hex") + ": cannot open the file"},
        {good, file("short.hex", "12 01 00 02"),
         path("short.hex") + ": device descriptor: 4 bytes, expected 18"},
        {good, file("long.hex", "12 01 00 02 00 00 00 40 34 12 78 56 00 01 01 02 03 01 ff"),
         path("long.hex") + ": device descriptor: 19 bytes, expected 18"},
        {good, file("blength.hex", "11 01 00 02 00 00 00 40 34 12 78 56 00 01 01 02 03 01"),
         path("blength.hex") + ": device descriptor: byte 0 (bLength) is 17, expected 18"},
        {good, file("type.hex", "12 02 00 02 00 00 00 40 34 12 78 56 00 01 01 02 03 01"),
         path("type.hex") + ": device descriptor: byte 1 (bDescriptorType) is 2, expected 1"},
        {good, file("packet.hex", "12 01 00 02 00 00 00 00 34 12 78 56 00 01 01 02 03 01"),
         path("packet.hex") +
             ": device descriptor: byte 7 (bMaxPacketSize0) is 0, expected 8, 16, 32 or 64"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"enumerate", "--config", c.config};
        if (!c.device.empty()) {
            args.insert(args.end(), {"--device", c.device});
        }
        const Outcome o = runVelsim(args, kNoSuchModule);
        EXPECT_EQ(o.exit, kExitUsage) << c.expected;
        EXPECT_EQ(o.err, "velsim: " + c.expected + "\n");
        EXPECT_EQ(o.out, "");
    }
}

TEST_F(Input, HexTextAndBinaryGiveTheSameBytes) {
    const std::string bytes("\x09\x02\x20\x00\x01\x01\x00\x80\x32", 9);
    Options options;
    options.configFile = file("config.bin", bytes);
    options.deviceFile =
        file("device.hex", "12 01 0002  # bcdUSB\n00 00 00 40\n3412 7856 0001\n01 02 03 01\n");
    auto input = loadEnumerateInput(options);
    ASSERT_TRUE(std::holds_alternative<EnumerateInput>(input)) << std::get<std::string>(input);
    EXPECT_EQ(std::get<EnumerateInput>(input).config,
              std::vector<uint8_t>(bytes.begin(), bytes.end()));
    EXPECT_EQ(std::get<EnumerateInput>(input).device, defaultDeviceDescriptor());

    // Without --device the built-in descriptor is used; it passes its own checks.
    options.deviceFile.clear();
    input = loadEnumerateInput(options);
    ASSERT_TRUE(std::holds_alternative<EnumerateInput>(input));
    EXPECT_EQ(std::get<EnumerateInput>(input).device, defaultDeviceDescriptor());
    EXPECT_EQ(checkDeviceDescriptor(defaultDeviceDescriptor()), "");
}

}  // namespace
}  // namespace vel::velsim::test
