// `velsim enumerate`: velbus on a device that has only descriptors, loaded from files.
//
// A disabled function gets no child, so nothing in the tree describes it. When functions are
// disabled the device is therefore enumerated twice, each time on a fresh platform with the
// same seed: once without the "DisableIf_%02x" values, which shows every function of the walk
// with its IDs, texts and descriptors, and once with them, which gives the status and the
// children of the run the user asked for. A function of the first run with no child in the second
// is reported as disabled. The capture, if any, records the run with the values.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "options.h"
#include "report.h"
#include "vel/runtime/verifier.h"

namespace vel::velsim {

struct EnumerateInput {
    std::vector<uint8_t> config;
    std::vector<uint8_t> device;
};

// The descriptors the options name; a one-line message naming the file and the problem when a
// file cannot be read or the device descriptor cannot be one.
std::variant<EnumerateInput, std::string> loadEnumerateInput(const Options& options);

// Empty when `bytes` can be a device descriptor the simulated host enumerates; otherwise what is
// wrong, naming the byte.
std::string checkDeviceDescriptor(const std::vector<uint8_t>& bytes);

// The device descriptor used when none is given: class 0, VID 0x1234, PID 0x5678, bcdDevice
// 0x0100, strings 1 (manufacturer), 2 (product) and 3 (serial number).
std::vector<uint8_t> defaultDeviceDescriptor();

struct EnumerateResult {
    EnumerationReport report;
    std::vector<rt::Violation> violations;
    std::string usageError;   // bad input found while running (e.g. the capture file)
    std::string systemError;  // the run itself failed
};

EnumerateResult enumerate(const Options& options, const std::string& busModule,
                          const EnumerateInput& input);

}  // namespace vel::velsim
