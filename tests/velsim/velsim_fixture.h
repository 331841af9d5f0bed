// Running velsim as a library call: arguments in, exit status and both output streams out.
// Files the tests need are written into a directory of their own.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "velsim.h"

namespace vel::velsim::test {

struct Outcome {
    int exit = -1;
    std::string out;
    std::string err;
};

inline Outcome runVelsim(const std::vector<std::string>& args, const std::string& busModule) {
    std::ostringstream out, err;
    Outcome o;
    o.exit = run(args, Environment{busModule}, out, err);
    o.out = out.str();
    o.err = err.str();
    return o;
}

// The URB functions recorded in a USBPcap file, in order; nullopt when the file is not one.
inline std::optional<std::vector<uint16_t>> capturedFunctions(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    auto u32 = [&](size_t at) {
        uint32_t v;
        std::memcpy(&v, bytes.data() + at, 4);
        return v;
    };
    if (bytes.size() < 24 || u32(0) != 0xA1B2C3D4 || u32(20) != 249) {
        return std::nullopt;
    }
    std::vector<uint16_t> functions;
    for (size_t at = 24; at + 16 <= bytes.size();) {
        const uint32_t length = u32(at + 8);
        if (at + 16 + length > bytes.size() || length < 16) {
            ADD_FAILURE() << "truncated record at " << at;
            break;
        }
        uint16_t function;
        std::memcpy(&function, bytes.data() + at + 16 + 14, 2);
        functions.push_back(function);
        at += 16 + length;
    }
    return functions;
}

class VelsimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::path(::testing::TempDir()) / "velsim" /
               (std::string(info->test_suite_name()) + "." + info->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }

    // Writes `content` to a file of the test's directory and returns its path.
    std::string file(const std::string& name, const std::string& content) {
        const std::filesystem::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

  private:
    std::filesystem::path dir_;
};

}  // namespace vel::velsim::test
