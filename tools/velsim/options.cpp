#include "options.h"

#include <charconv>
#include <optional>
#include <string_view>

#include "vel/devices/function_device.h"
#include "vel/devices/handset_presets.h"

namespace vel::velsim {

namespace {

// The longest text a string descriptor holds.
constexpr size_t kMaxSerialLength = 126;

struct KnownOption {
    std::string_view name;
    bool takesValue;
    bool tree;       // allowed with the tree command
    bool enumerate;  // allowed with enumerate
};

constexpr KnownOption kOptions[] = {
    {"--help", false, true, true},    {"--seed", true, true, true},
    {"--capture", true, true, true},  {"--preset", true, true, false},
    {"--config", true, false, true},  {"--device", true, false, true},
    {"--serial", true, false, true},  {"--unique-id", false, false, true},
    {"--disable", true, false, true}, {"--json", false, false, true},
};

const KnownOption* findOption(std::string_view name) {
    for (const KnownOption& known : kOptions) {
        if (known.name == name) {
            return &known;
        }
    }
    return nullptr;
}

// Decimal, or hexadecimal after "0x".
template <typename T>
std::optional<T> parseNumber(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

UsageError applyError(std::string_view option, std::string_view value, std::string_view what) {
    return {std::string(option) + ": '" + std::string(value) + "' " + std::string(what)};
}

// Stores one option's value; a UsageError when the value is not acceptable.
std::optional<UsageError> apply(Options& options, std::string_view name, const std::string& value) {
    if (name == "--seed") {
        const std::optional<uint64_t> seed = parseNumber<uint64_t>(value);
        if (!seed) {
            return applyError(name, value, "is not a number");
        }
        options.seed = *seed;
    } else if (name == "--capture") {
        options.capture = value;
    } else if (name == "--preset") {
        if (dev::handsetPreset(value) == nullptr) {
            std::string names;
            for (const std::string& n : dev::presetNames()) {
                names += (names.empty() ? "" : ", ") + n;
            }
            return applyError(name, value, "is not a handset preset (" + names + ")");
        }
        options.preset = value;
    } else if (name == "--config") {
        options.configFile = value;
    } else if (name == "--device") {
        options.deviceFile = value;
    } else if (name == "--serial") {
        if (value.size() > kMaxSerialLength) {
            return applyError(name, value.substr(0, 16) + "...",
                              "is longer than " + std::to_string(kMaxSerialLength) + " characters");
        }
        options.serial = value;
    } else if (name == "--disable") {
        const std::optional<unsigned> number = parseNumber<unsigned>(value);
        if (!number || *number > 0xFF) {
            return applyError(name, value, "is not an interface number (0 to 255)");
        }
        options.disabled.push_back(static_cast<uint8_t>(*number));
    }
    return std::nullopt;
}

}  // namespace

std::variant<Options, UsageError> parseArguments(const std::vector<std::string>& args) {
    Options options;
    options.preset = std::string(dev::kDefaultPreset);
    options.serial = dev::kDefaultSerialNumber;
    size_t i = 0;
    if (!args.empty() && args[0] == "enumerate") {
        options.command = Command::Enumerate;
        i = 1;
    }
    bool help = false;
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) != 0) {
            return UsageError{"unexpected argument '" + arg + "'"};
        }
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const KnownOption* known = findOption(name);
        if (known == nullptr) {
            return UsageError{"unknown option '" + name + "'"};
        }
        const bool enumerate = options.command == Command::Enumerate;
        if (!(enumerate ? known->enumerate : known->tree)) {
            return UsageError{
                name + " is " +
                (enumerate ? "not an option of enumerate" : "an option of enumerate")};
        }
        std::string value;
        if (known->takesValue) {
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return UsageError{name + " needs a value"};
            }
        } else if (equals != std::string::npos) {
            return UsageError{name + " takes no value"};
        }
        if (name == "--help") {
            help = true;
        } else if (name == "--unique-id") {
            options.uniqueId = true;
        } else if (name == "--json") {
            options.json = true;
        } else if (std::optional<UsageError> error = apply(options, name, value)) {
            return *error;
        }
    }
    if (help) {
        options.command = Command::Help;
        return options;
    }
    if (options.command == Command::Enumerate && options.configFile.empty()) {
        return UsageError{"enumerate needs --config FILE"};
    }
    return options;
}

std::string usageText() {
    std::string presets;
    for (const std::string& name : dev::presetNames()) {
        presets += "                    " + name + ": " + dev::presetDescription(name) + "\n";
    }
    return "Usage: velsim [--preset NAME] [--seed N] [--capture FILE]\n"
           "       velsim enumerate --config FILE [--device FILE] [--serial TEXT] [--unique-id]\n"
           "                        [--disable IF]... [--json] [--seed N] [--capture FILE]\n"
           "\n"
           "Without a command: plugs a simulated handset into the host, lets the PnP manager\n"
           "load velbus on it and prints the device tree (the handset and velbus's children).\n"
           "  --preset NAME     the handset (default " +
           std::string(dev::kDefaultPreset) + "):\n" + presets +
           "  --seed N          scheduler seed (default 1); the same seed prints the same output\n"
           "  --capture FILE    write every URB of the run to FILE (USBPcap)\n"
           "\n"
           "enumerate: runs velbus on a device whose descriptors come from files and prints the\n"
           "functions it reports, in the order of its walk, disabled ones included.\n"
           "  --config FILE     configuration descriptor: hex text (bytes separated by white\n"
           "                    space, '#' comments to the end of the line) or raw binary; the\n"
           "                    device answers with these bytes as they are\n"
           "  --device FILE     device descriptor (default: class 0, VID 0x1234, PID 0x5678,\n"
           "                    bcdDevice 0x0100)\n"
           "  --serial TEXT     serial-number string (default " +
           std::string(dev::kDefaultSerialNumber) +
           ")\n"
           "  --unique-id       the lower stack reports UniqueID in its capabilities\n"
           "  --disable IF      sets \"DisableIf_<IF as 2 hex digits>\" = 1 in the bus device's\n"
           "                    software key before the start (IF decimal or 0x hex; repeatable)\n"
           "  --json            one JSON object: status and functions\n"
           "\n"
           "Exit status: 0 success, 1 a failure of the system (a verifier violation, a driver\n"
           "that cannot be loaded), 2 bad usage or bad input.\n";
}

}  // namespace vel::velsim
