// The device tree as data and as text.
#include "pnp_fixture.h"

namespace vel::pnp::test {
namespace {

TEST_F(PnpTest, TreeTextShowsEveryDeviceWithItsChildrenIndented) {
    addBusPackage("toybus", {"ROOT\\BUS"});
    addFunctionPackage("toyfn", {"TOY_A"});
    ChildDescription a = child("A", {"TOY_A&REV_1", "TOY_A"}, {"TOY_CLASS"});
    ChildDescription x = child("X", {"TOY_X"});
    ChildDescription broken = child("F", {"TOY_A"});
    world().setChildren("ROOT\\BUS\\0000", {a, x, broken});
    world().setFaults("TOY\\F\\1", Faults{.start = STATUS_DEVICE_NOT_READY});
    RootDevice bus;
    bus.deviceId = "ROOT\\BUS";
    bus.instanceId = "0000";
    bus.hardwareIds = {"ROOT\\BUS"};
    bus.description = "Toy bus";
    bus.location = "Root";
    pnp().plugRootDevice(bus);

    EXPECT_EQ(pnp().treeText(),
              "ROOT\\BUS\\0000\n"
              "    device ID: ROOT\\BUS\n"
              "    instance ID: 0000\n"
              "    hardware IDs: ROOT\\BUS\n"
              "    compatible IDs: -\n"
              "    description: Toy bus\n"
              "    location: Root\n"
              "    driver: toybus\n"
              "    state: started, power D0\n"
              "  TOY\\A\\1\n"
              "      device ID: TOY\\A\n"
              "      instance ID: 1\n"
              "      hardware IDs: TOY_A&REV_1, TOY_A\n"
              "      compatible IDs: TOY_CLASS\n"
              "      description: Toy A\n"
              "      location: Port A\n"
              "      driver: toyfn\n"
              "      state: started, power D0\n"
              "  TOY\\X\\1\n"
              "      device ID: TOY\\X\n"
              "      instance ID: 1\n"
              "      hardware IDs: TOY_X\n"
              "      compatible IDs: -\n"
              "      description: Toy X\n"
              "      location: Port X\n"
              "      driver: -\n"
              "      state: no driver, power -\n"
              "  TOY\\F\\1\n"
              "      device ID: TOY\\F\n"
              "      instance ID: 1\n"
              "      hardware IDs: TOY_A\n"
              "      compatible IDs: -\n"
              "      description: Toy F\n"
              "      location: Port F\n"
              "      driver: toyfn\n"
              "      state: start failed (STATUS_DEVICE_NOT_READY), power -\n");

    const std::vector<DeviceInfo> tree = pnp().tree();
    ASSERT_EQ(tree.size(), 1u);
    ASSERT_EQ(tree[0].children.size(), 3u);
    EXPECT_EQ(tree[0].children[0].compatibleIds, std::vector<std::string>{"TOY_CLASS"});
    EXPECT_EQ(tree[0].children[2].problem, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(formatTree(tree), pnp().treeText());
}

}  // namespace
}  // namespace vel::pnp::test
