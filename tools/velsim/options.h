// The command line of velsim: commands, options and their checks. Parsing never touches a
// file; it only decides what to run.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace vel::velsim {

enum class Command {
    Tree,       // plug a handset, let velbus enumerate it, print the device tree
    Enumerate,  // run velbus on descriptors from files and print what it reports
    Help,
};

struct Options {
    Command command = Command::Tree;
    uint64_t seed = 1;
    std::string capture;  // USBPcap file; empty for none
    // Tree
    std::string preset;  // empty: the default handset
    // Enumerate
    std::string configFile;
    std::string deviceFile;         // empty: the built-in device descriptor
    std::string serial;             // serial-number text of the simulated device
    bool uniqueId = false;          // the lower stack reports UniqueID in its capabilities
    std::vector<uint8_t> disabled;  // interface numbers given a "DisableIf_%02x" value of 1
    bool json = false;
};

struct UsageError {
    std::string message;  // one line, without the program name
};

std::variant<Options, UsageError> parseArguments(const std::vector<std::string>& args);

// The --help text.
std::string usageText();

}  // namespace vel::velsim
