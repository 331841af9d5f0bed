// A whole platform with a PnP manager and the toy drivers' world: Runtime (seeded), Kernel,
// Framework and PnpManager, created in that order and destroyed in reverse. TearDown fails
// the test for any verifier violation left behind, including the device objects and pool
// blocks the kernel finds alive at the end (a PDO or an ID string nobody freed).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "toy_drivers.h"
#include "vel/kernel/kernel.h"
#include "vel/pnp/pnp_manager.h"
#include "vel/runtime/runtime.h"
#include "vel/runtime/verifier.h"
#include "vel/wdf/framework.h"

namespace vel::pnp::test {

class PnpTest : public ::testing::Test {
  protected:
    explicit PnpTest(uint64_t seed = 1, rt::Mode mode = rt::Mode::Simulated)
        : seed_(seed), mode_(mode) {}

    void SetUp() override {
        rt::Runtime::Options options;
        options.seed = seed_;
        options.mode = mode_;
        runtime_ = std::make_unique<rt::Runtime>(options);
        kernel_ = std::make_unique<kernel::Kernel>();
        framework_ = std::make_unique<wdf::Framework>();
        ToyWorld::current = &world_;
        pnp_ = std::make_unique<PnpManager>();
    }

    void TearDown() override {
        pnp_.reset();
        framework_.reset();
        EXPECT_EQ(kernel_->poolStats().outstanding, 0u) << "pool blocks left behind";
        kernel_.reset();
        std::vector<rt::Violation> left = runtime_->verifier().take();
        for (const rt::Violation& v : left) {
            ADD_FAILURE() << "verifier violation left behind: " << v.toString();
        }
        runtime_.reset();
        ToyWorld::current = nullptr;
    }

    rt::Runtime& runtime() { return *runtime_; }
    kernel::Kernel& kernel() { return *kernel_; }
    kernel::Registry& registry() { return kernel_->registry(); }
    wdf::Framework& framework() { return *framework_; }
    PnpManager& pnp() { return *pnp_; }
    ToyWorld& world() { return world_; }
    // Tears the manager down and makes a fresh one (as at a restart), keeping the registry.
    void restartPnp() {
        pnp_.reset();
        pnp_ = std::make_unique<PnpManager>();
    }

    // Packages of the toy drivers: the function driver serves `ids` as service `service`.
    void addFunctionPackage(const std::string& service, std::vector<std::string> ids) {
        DriverPackage package;
        package.service = service;
        package.entry = ToyFunctionDriverEntry;
        package.ids = std::move(ids);
        pnp().addDriverPackage(std::move(package));
    }
    void addBusPackage(const std::string& service, std::vector<std::string> ids) {
        DriverPackage package;
        package.service = service;
        package.entry = ToyBusDriverEntry;
        package.ids = std::move(ids);
        pnp().addDriverPackage(std::move(package));
    }

    // A root device "ROOT\<name>\<instance>" whose hardware ID is "ROOT\<name>".
    DEVICE_OBJECT* plugRoot(const std::string& name, const std::string& instance = "0000") {
        RootDevice device;
        device.deviceId = "ROOT\\" + name;
        device.instanceId = instance;
        device.hardwareIds = {"ROOT\\" + name};
        device.description = name + " device";
        return pnp().plugRootDevice(device);
    }

    DeviceState stateOf(DEVICE_OBJECT* pdo) const {
        std::optional<DeviceInfo> info = pnp_->device(pdo);
        return info ? info->state : DeviceState::Removed;
    }

  private:
    uint64_t seed_;
    rt::Mode mode_;
    std::unique_ptr<rt::Runtime> runtime_;
    std::unique_ptr<kernel::Kernel> kernel_;
    std::unique_ptr<wdf::Framework> framework_;
    ToyWorld world_;
    std::unique_ptr<PnpManager> pnp_;
};

// A child of a toy bus: device ID "TOY\<name>", hardware IDs as given.
inline ChildDescription child(const std::string& name, std::vector<std::string> hardwareIds,
                              std::vector<std::string> compatibleIds = {}) {
    ChildDescription desc;
    desc.deviceId = "TOY\\" + name;
    desc.instanceId = "1";
    desc.hardwareIds = std::move(hardwareIds);
    desc.compatibleIds = std::move(compatibleIds);
    desc.description = "Toy " + name;
    desc.location = "Port " + name;
    return desc;
}

}  // namespace vel::pnp::test
