// The command-line program as a library: arguments in, output and an exit status out. main()
// only finds velbus's module next to the executable and calls run().
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vel::velsim {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // the system failed: a verifier violation, no driver
inline constexpr int kExitUsage = 2;    // bad usage or bad input (one line on `err`)

struct Environment {
    // velbus's module file. Empty: no bus driver is installed (the tree then shows the handset
    // without children).
    std::string busModule;
};

// `args` excludes the program name.
int run(const std::vector<std::string>& args, const Environment& env, std::ostream& out,
        std::ostream& err);

}  // namespace vel::velsim
