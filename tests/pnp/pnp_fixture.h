// The platform with a PnP manager (PnpPlatformTest) and the toy drivers' world.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform_test.h"
#include "toy_drivers.h"

namespace vel::pnp::test {

class PnpTest : public vel::test::PnpPlatformTest {
  protected:
    explicit PnpTest(uint64_t seed = 1, rt::Mode mode = rt::Mode::Simulated)
        : PnpPlatformTest(seed, mode) {}

    void SetUp() override {
        ToyWorld::current = &world_;
        PnpPlatformTest::SetUp();
    }

    void TearDown() override {
        PnpPlatformTest::TearDown();
        ToyWorld::current = nullptr;
    }

    ToyWorld& world() { return world_; }

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

  private:
    ToyWorld world_;
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
