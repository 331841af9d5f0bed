// Command-line parsing: what each accepted form sets, and the one-line reason for each refusal.
#include <gtest/gtest.h>

#include "options.h"

namespace vel::velsim {
namespace {

using Args = std::vector<std::string>;

Options parsed(const Args& args) {
    std::variant<Options, UsageError> result = parseArguments(args);
    if (const UsageError* error = std::get_if<UsageError>(&result)) {
        ADD_FAILURE() << "refused: " << error->message;
        return {};
    }
    return std::get<Options>(result);
}

TEST(Options, DefaultsRunTheDefaultHandset) {
    const Options o = parsed({});
    EXPECT_EQ(o.command, Command::Tree);
    EXPECT_EQ(o.preset, "union-hs");
    EXPECT_EQ(o.seed, 1u);
    EXPECT_EQ(o.capture, "");
    EXPECT_EQ(o.serial, "0123456789");
}

TEST(Options, AcceptedForms) {
    Options o = parsed({"--preset", "iad-fs", "--seed=42", "--capture", "out.pcap"});
    EXPECT_EQ(o.command, Command::Tree);
    EXPECT_EQ(o.preset, "iad-fs");
    EXPECT_EQ(o.seed, 42u);
    EXPECT_EQ(o.capture, "out.pcap");

    o = parsed({"enumerate", "--config", "c.hex", "--device=d.bin", "--serial", "", "--unique-id",
                "--disable", "10", "--disable=0x0b", "--json", "--seed", "0x10"});
    EXPECT_EQ(o.command, Command::Enumerate);
    EXPECT_EQ(o.configFile, "c.hex");
    EXPECT_EQ(o.deviceFile, "d.bin");
    EXPECT_EQ(o.serial, "");
    EXPECT_TRUE(o.uniqueId);
    EXPECT_EQ(o.disabled, (std::vector<uint8_t>{10, 11}));
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.seed, 16u);

    EXPECT_EQ(parsed({"--seed", "3", "--help"}).command, Command::Help);
    EXPECT_EQ(parsed({"enumerate", "--help"}).command, Command::Help);
}

struct RefusalCase {
    Args args;
    std::string message;
};

TEST(Options, RefusalsNameTheProblem) {
    const RefusalCase cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"tree"}, "unexpected argument 'tree'"},
        {{"--seed"}, "--seed needs a value"},
        {{"--seed", "x1"}, "--seed: 'x1' is not a number"},
        {{"--seed", "-1"}, "--seed: '-1' is not a number"},
        {{"--seed", "99999999999999999999999"}, "is not a number"},
        {{"--preset", "nokia"}, "--preset: 'nokia' is not a handset preset (union-hs, "},
        {{"--json"}, "--json is an option of enumerate"},
        {{"--config", "c.hex"}, "--config is an option of enumerate"},
        {{"enumerate"}, "enumerate needs --config FILE"},
        {{"enumerate", "--config", "c", "--preset", "union-hs"},
         "--preset is not an option of enumerate"},
        {{"enumerate", "--config", "c", "--disable", "256"},
         "--disable: '256' is not an interface number (0 to 255)"},
        {{"enumerate", "--config", "c", "--disable", "0xg"}, "is not an interface number"},
        {{"enumerate", "--config", "c", "--json=yes"}, "--json takes no value"},
        {{"enumerate", "--config", "c", "--serial", std::string(127, 'A')},
         "is longer than 126 characters"},
        {{"enumerate", "--config", "c", "extra"}, "unexpected argument 'extra'"},
    };
    for (const RefusalCase& c : cases) {
        std::variant<Options, UsageError> result = parseArguments(c.args);
        const UsageError* error = std::get_if<UsageError>(&result);
        ASSERT_NE(error, nullptr) << c.message;
        EXPECT_NE(error->message.find(c.message), std::string::npos) << "got: " << error->message;
        EXPECT_EQ(error->message.find('\n'), std::string::npos) << error->message;
    }
}

TEST(Options, UsageNamesEveryOptionAndPreset) {
    const std::string text = usageText();
    for (const char* word :
         {"--preset", "--seed", "--capture", "--config", "--device", "--serial", "--unique-id",
          "--disable", "--json", "union-hs", "download-fs", "Exit status"}) {
        EXPECT_NE(text.find(word), std::string::npos) << word;
    }
}

}  // namespace
}  // namespace vel::velsim
