// gtest fixtures with a whole platform.
//
// PlatformTest: a Runtime (seeded, simulated unless told otherwise), a Kernel and a Framework,
// created in that order and destroyed in reverse. TearDown unloads every driver (which reports
// leaks), fails the test for any pool block left behind and then for any verifier violation: a
// test that provokes one on purpose takes it with takeViolations().
//
// PnpPlatformTest: the same with a PnP manager on top, created last and destroyed first (it
// removes every device and unloads the drivers it loaded before the framework goes).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "vel/kernel/kernel.h"
#include "vel/pnp/pnp_manager.h"
#include "vel/runtime/runtime.h"
#include "vel/runtime/verifier.h"
#include "vel/wdf/framework.h"

namespace vel::test {

class PlatformTest : public ::testing::Test {
  protected:
    explicit PlatformTest(uint64_t seed = 1, rt::Mode mode = rt::Mode::Simulated)
        : seed_(seed), mode_(mode) {}

    void SetUp() override;
    void TearDown() override;

    rt::Runtime& runtime() { return *runtime_; }
    kernel::Kernel& kernel() { return *kernel_; }
    kernel::Registry& registry() { return kernel_->registry(); }
    wdf::Framework& framework() { return *framework_; }

    std::vector<rt::Violation> takeViolations() { return runtime_->verifier().take(); }
    // Takes the violations and checks that exactly these rules were reported, in order.
    void expectViolations(const std::vector<rt::Rule>& rules);

  private:
    uint64_t seed_;
    rt::Mode mode_;
    std::unique_ptr<rt::Runtime> runtime_;
    std::unique_ptr<kernel::Kernel> kernel_;
    std::unique_ptr<wdf::Framework> framework_;
};

class PnpPlatformTest : public PlatformTest {
  protected:
    using PlatformTest::PlatformTest;

    void SetUp() override;
    void TearDown() override;

    pnp::PnpManager& pnp() { return *pnp_; }
    // Tears the manager down (removing every device) and makes a fresh one, as at a restart;
    // the registry stays.
    void restartPnp();
    // Waits for the PnP work queued so far, then runs until nothing is left to do.
    void settle();
    // The device's state; Removed once it left the tree.
    pnp::DeviceState stateOf(const DEVICE_OBJECT* pdo) const;

  private:
    std::unique_ptr<pnp::PnpManager> pnp_;
};

}  // namespace vel::test
