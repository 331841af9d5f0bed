// Fixtures for the runtime's own tests: a runtime per test that fails the test when a verifier
// violation is left behind (tests that provoke one take() it).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vel/runtime/runtime.h"
#include "vel/runtime/verifier.h"

namespace vel::rt::test {

inline std::string describe(const std::vector<Violation>& violations) {
    std::string text;
    for (const Violation& v : violations) {
        text += v.toString() + "\n";
    }
    return text;
}

inline std::vector<Rule> rulesOf(const std::vector<Violation>& violations) {
    std::vector<Rule> rules;
    for (const Violation& v : violations) {
        rules.push_back(v.rule);
    }
    return rules;
}

class SimulatedRuntime : public ::testing::Test {
  protected:
    void TearDown() override {
        std::vector<Violation> left = runtime.verifier().take();
        EXPECT_TRUE(left.empty()) << describe(left);
    }

    Runtime runtime{Runtime::Options{.mode = Mode::Simulated, .seed = 7}};
};

// The same test in both modes.
class BothModes : public ::testing::TestWithParam<Mode> {
  protected:
    void TearDown() override {
        std::vector<Violation> left = runtime.verifier().take();
        EXPECT_TRUE(left.empty()) << describe(left);
    }

    Runtime runtime{Runtime::Options{.mode = GetParam(), .seed = 7}};
};

inline std::string modeName(const ::testing::TestParamInfo<Mode>& info) {
    return info.param == Mode::Simulated ? "Simulated" : "WallTime";
}

}  // namespace vel::rt::test
