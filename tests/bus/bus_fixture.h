// A platform with a host controller, the PnP manager, velbus (loaded as a module) bound to the
// handsets' IDs and the probe driver bound to velbus's children. Tests plug simulated devices
// and look at the device tree, at what the device saw and at the answers the children give to
// requests sent down their stacks. TearDown fails the test for any verifier violation or pool
// block left behind.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "probe_driver.h"
#include "vel/devices/descriptor_builder.h"
#include "vel/devices/function_device.h"
#include "vel/devices/handset_presets.h"
#include "vel/devices/string_table.h"
#include "vel/kernel/io.h"
#include "vel/kernel/kernel.h"
#include "vel/pnp/pnp_manager.h"
#include "vel/runtime/runtime.h"
#include "vel/runtime/verifier.h"
#include "vel/usb/host_controller.h"
#include "vel/wdf/framework.h"

namespace vel::bus::test {

using dev::Bytes;

// The device the descriptor-only cases use: VID 0x1234, PID 0x5678, bcdDevice 0x0100.
inline constexpr uint16_t kVendor = 0x1234;
inline constexpr uint16_t kProduct = 0x5678;

class BusTest : public ::testing::Test {
  protected:
    explicit BusTest(uint64_t seed = 1) : seed_(seed) {}

    void SetUp() override {
        rt::Runtime::Options options;
        options.seed = seed_;
        runtime_ = std::make_unique<rt::Runtime>(options);
        kernel_ = std::make_unique<kernel::Kernel>();
        framework_ = std::make_unique<wdf::Framework>();
        ProbeWorld::current = &probes_;
        pnp_ = std::make_unique<pnp::PnpManager>();
        pnp_->addDriverPackage(busPackage());
        pnp::DriverPackage probe;
        probe.service = "velprobe";
        probe.entry = ProbeDriverEntry;
        probe.ids = {"USB\\Class_02", "USB\\Class_08", "USB\\Class_0a", "USB\\Class_ff"};
        pnp_->addDriverPackage(std::move(probe));
        hc_ = std::make_unique<usb::HostController>();
    }

    void TearDown() override {
        runtime_->runUntilIdle();
        hc_.reset();
        pnp_.reset();
        framework_.reset();
        EXPECT_EQ(kernel_->poolStats().outstanding, 0u) << "pool blocks left behind";
        kernel_.reset();
        for (const rt::Violation& v : runtime_->verifier().take()) {
            ADD_FAILURE() << "verifier violation left behind: " << v.toString();
        }
        runtime_.reset();
        ProbeWorld::current = nullptr;
    }

    // velbus's package; tests may add hardware values before SetUp runs it.
    virtual pnp::DriverPackage busPackage() {
        pnp::DriverPackage bus;
        bus.service = "velbus";
        bus.modulePath = VEL_BUS_DRIVER;
        bus.ids = {"USB\\VID_FA57&PID_7A01", "USB\\VID_FA57&PID_7A0D", "USB\\VID_1234&PID_5678"};
        return bus;
    }

    rt::Runtime& runtime() { return *runtime_; }
    kernel::Kernel& kernel() { return *kernel_; }
    pnp::PnpManager& pnp() { return *pnp_; }
    usb::HostController& hc() { return *hc_; }

    void settle() {
        pnp().settle();
        runtime().runUntilIdle();
    }

    // Plugs a device and waits until the PnP manager is done with it and its children.
    void plug(std::shared_ptr<usb::DeviceModel> model, usb::Speed speed = usb::Speed::High,
              unsigned port = 1) {
        ASSERT_EQ(hc().attach(port, std::move(model), speed), STATUS_SUCCESS);
        settle();
    }
    std::shared_ptr<dev::FunctionDevice> plugPreset(std::string_view name,
                                                    const std::string& serial = "0123456789",
                                                    unsigned port = 1) {
        std::shared_ptr<dev::FunctionDevice> device = dev::handsetPreset(name, serial);
        plug(device, name.ends_with("-hs") ? usb::Speed::High : usb::Speed::Full, port);
        return device;
    }

    // The handset's node (the parent device) and its children.
    pnp::DeviceInfo parent(unsigned port = 1) {
        std::optional<pnp::DeviceInfo> info = pnp().device(hc().pdo(port));
        EXPECT_TRUE(info.has_value());
        return info.value_or(pnp::DeviceInfo{});
    }
    std::vector<pnp::DeviceInfo> children(unsigned port = 1) { return parent(port).children; }
    std::vector<std::string> childDeviceIds(unsigned port = 1) {
        std::vector<std::string> ids;
        for (const pnp::DeviceInfo& child : children(port)) {
            ids.push_back(child.deviceId);
        }
        return ids;
    }
    // The child whose first interface is `interface`.
    std::optional<pnp::DeviceInfo> child(uint8_t interface, unsigned port = 1) {
        char suffix[8];
        std::snprintf(suffix, sizeof suffix, "&Mi_%02x", interface);
        for (const pnp::DeviceInfo& c : children(port)) {
            if (c.deviceId.ends_with(suffix)) {
                return c;
            }
        }
        return std::nullopt;
    }
    // The probe's FDO above that child.
    DEVICE_OBJECT* probe(uint8_t interface, unsigned port = 1) {
        std::optional<pnp::DeviceInfo> c = child(interface, port);
        return c ? ProbeWorld::current->fdoOf(c->pdo) : nullptr;
    }

    // Sends the request from an application context and lets the system run until it is idle.
    NTSTATUS call(DEVICE_OBJECT* fdo, ProbeRequest& request) {
        EXPECT_NE(fdo, nullptr);
        if (fdo == nullptr) {
            return STATUS_NO_SUCH_DEVICE;
        }
        runtime().spawn("probe call", rt::ContextKind::Application,
                        [fdo, &request] { probeSend(fdo, request); });
        runtime().runUntilIdle();
        return request.status;
    }

    // Sends the request to the top of the handset's own stack (the parent device).
    NTSTATUS callParent(ProbeRequest& request, unsigned port = 1) {
        DEVICE_OBJECT* top = kernel::IoManager::current().topOfStack(hc().pdo(port));
        runtime().spawn("parent call", rt::ContextKind::Application,
                        [top, &request] { probeSendTo(top, request); });
        runtime().runUntilIdle();
        return request.status;
    }

    // Reads a descriptor through the child's stack; the bytes the child answered with.
    Bytes readDescriptor(DEVICE_OBJECT* fdo, uint8_t type, uint32_t length,
                         NTSTATUS* status = nullptr, ULONG_PTR* information = nullptr) {
        std::vector<uint8_t> urb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), 0);
        Bytes data(length, 0xEE);
        UsbBuildGetDescriptorRequest(reinterpret_cast<URB*>(urb.data()),
                                     sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0,
                                     length != 0 ? data.data() : nullptr, nullptr, length, nullptr);
        ProbeRequest request;
        request.code = IOCTL_INTERNAL_USB_SUBMIT_URB;
        request.argument = urb.data();
        const NTSTATUS s = call(fdo, request);
        if (status != nullptr) {
            *status = s;
        }
        if (information != nullptr) {
            *information = request.information;
        }
        data.resize(NT_SUCCESS(s) ? std::min<size_t>(request.information, length) : 0);
        return data;
    }

    // The bus device's software key (where "DisableIf_%02x" values live).
    std::string softwareKey(unsigned port = 1) {
        std::optional<pnp::DeviceKeys> keys = pnp().deviceKeys(hc().pdo(port));
        EXPECT_TRUE(keys.has_value());
        return keys ? keys->softwareKey : std::string();
    }

    // Stops and starts the handset's parent device again.
    void restart(unsigned port = 1) {
        ASSERT_EQ(pnp().stop(hc().pdo(port)), STATUS_SUCCESS);
        settle();
        ASSERT_EQ(pnp().start(hc().pdo(port)), STATUS_SUCCESS);
        settle();
    }

  private:
    uint64_t seed_;
    std::unique_ptr<rt::Runtime> runtime_;
    std::unique_ptr<kernel::Kernel> kernel_;
    std::unique_ptr<wdf::Framework> framework_;
    ProbeWorld probes_;
    std::unique_ptr<pnp::PnpManager> pnp_;
    std::unique_ptr<usb::HostController> hc_;
};

// A device with the given descriptors; string 0 and the strings come from `strings` when set,
// else the device answers language 0x0409, "String <index>" and the serial number.
inline std::shared_ptr<dev::FunctionDevice> descriptorDevice(
    const dev::DeviceFields& fields, Bytes config, const std::string& serial = "0123456789") {
    return std::shared_ptr<dev::FunctionDevice>(
        dev::descriptorOnlyDevice(dev::deviceDescriptor(fields), {std::move(config)}, serial));
}

inline std::shared_ptr<dev::FunctionDevice> deviceWithStrings(const dev::DeviceFields& fields,
                                                              Bytes config,
                                                              dev::StringSource strings) {
    return std::make_shared<dev::FunctionDevice>(
        dev::deviceDescriptor(fields), std::vector<Bytes>{std::move(config)}, std::move(strings),
        std::vector<std::unique_ptr<dev::Function>>{});
}

// The fixed device of the descriptor cases with a class triple and the usual string indices
// (product 2, serial 3).
inline dev::DeviceFields deviceFields(uint8_t cls = 0, uint8_t sub = 0, uint8_t prot = 0) {
    return dev::DeviceFields{.deviceClass = cls,
                             .deviceSubClass = sub,
                             .deviceProtocol = prot,
                             .vendorId = kVendor,
                             .productId = kProduct,
                             .bcdDevice = 0x0100,
                             .productIndex = 2,
                             .serialNumberIndex = 3};
}

}  // namespace vel::bus::test
