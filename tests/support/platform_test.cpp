#include "platform_test.h"

#include <optional>
#include <string>

namespace vel::test {

void PlatformTest::SetUp() {
    rt::Runtime::Options options;
    options.seed = seed_;
    options.mode = mode_;
    runtime_ = std::make_unique<rt::Runtime>(options);
    kernel_ = std::make_unique<kernel::Kernel>();
    framework_ = std::make_unique<wdf::Framework>();
}

void PlatformTest::TearDown() {
    framework_.reset();
    EXPECT_EQ(kernel_->poolStats().outstanding, 0u) << "pool blocks left behind";
    kernel_.reset();
    std::vector<rt::Violation> left = runtime_->verifier().take();
    if (!left.empty()) {
        std::string text;
        for (const rt::Violation& v : left) {
            text += "\n  " + v.toString();
        }
        ADD_FAILURE() << left.size() << " verifier violation(s) left behind:" << text;
    }
    runtime_.reset();
}

void PlatformTest::expectViolations(const std::vector<rt::Rule>& rules) {
    std::vector<rt::Violation> got = takeViolations();
    std::vector<std::string> gotNames;
    for (const rt::Violation& v : got) {
        gotNames.push_back(rt::toString(v.rule));
    }
    std::vector<std::string> wantNames;
    for (rt::Rule rule : rules) {
        wantNames.push_back(rt::toString(rule));
    }
    EXPECT_EQ(gotNames, wantNames);
}

void PnpPlatformTest::SetUp() {
    PlatformTest::SetUp();
    pnp_ = std::make_unique<pnp::PnpManager>();
}

void PnpPlatformTest::TearDown() {
    pnp_.reset();
    PlatformTest::TearDown();
}

void PnpPlatformTest::restartPnp() {
    pnp_.reset();
    pnp_ = std::make_unique<pnp::PnpManager>();
}

void PnpPlatformTest::settle() {
    pnp_->settle();
    runtime().runUntilIdle();
}

pnp::DeviceState PnpPlatformTest::stateOf(const DEVICE_OBJECT* pdo) const {
    std::optional<pnp::DeviceInfo> info = pnp_->device(pdo);
    return info ? info->state : pnp::DeviceState::Removed;
}

}  // namespace vel::test
