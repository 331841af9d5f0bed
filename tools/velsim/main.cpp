// velsim: runs the drivers on the simulated platform (see velsim --help).
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "velsim.h"

int main(int argc, char** argv) {
    // velbus's module lies at a fixed place relative to the executable, set at build time.
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        self = std::filesystem::absolute(argv[0]);
    }
    vel::velsim::Environment env;
    env.busModule = (self.parent_path() / VELSIM_BUS_MODULE).lexically_normal().string();
    return vel::velsim::run(std::vector<std::string>(argv + 1, argv + argc), env, std::cout,
                            std::cerr);
}
