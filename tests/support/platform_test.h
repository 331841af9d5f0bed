// A gtest fixture with a whole platform: a simulated Runtime (seeded), a Kernel and a
// Framework, created in that order and destroyed in reverse. TearDown unloads every driver
// (which reports leaks), then fails the test for any verifier violation left behind: a test
// that provokes one on purpose takes it with takeViolations().
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "vel/kernel/kernel.h"
#include "vel/runtime/runtime.h"
#include "vel/runtime/verifier.h"
#include "vel/wdf/framework.h"

namespace vel::test {

class PlatformTest : public ::testing::Test {
  protected:
    explicit PlatformTest(uint64_t seed = 1) : seed_(seed) {}

    void SetUp() override;
    void TearDown() override;

    rt::Runtime& runtime() { return *runtime_; }
    kernel::Kernel& kernel() { return *kernel_; }
    wdf::Framework& framework() { return *framework_; }

    std::vector<rt::Violation> takeViolations() { return runtime_->verifier().take(); }
    // Takes the violations and checks that exactly these rules were reported, in order.
    void expectViolations(const std::vector<rt::Rule>& rules);

  private:
    uint64_t seed_;
    std::unique_ptr<rt::Runtime> runtime_;
    std::unique_ptr<kernel::Kernel> kernel_;
    std::unique_ptr<wdf::Framework> framework_;
};

}  // namespace vel::test
