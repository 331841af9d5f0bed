// A platform with a host controller and the test program as a KMDF function driver for the host
// tests' simple device model (USB\VID_1234&PID_0001). At prepare-hardware the driver only creates
// its USB device target, records the outcome and returns it (a failed creation fails the start);
// the test body then makes the device-level calls itself, at passive level, as the driver would
// from a work item.
//
// TearDown destroys the platform in reverse and fails the test for any verifier violation or
// pool block left behind.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform_test.h"
#include "test_device.h"
#include "vel/kernel/kernel.h"
#include "vel/pnp/pnp_manager.h"
#include "vel/runtime/runtime.h"
#include "vel/runtime/verifier.h"
#include "vel/usb/host_controller.h"
#include "vel/wdf/framework.h"
#include "vel_wdf.h"

namespace vel::usbtargets::test {

using usb::Bytes;
using usb::Speed;
using usb::test::DeviceLayout;
using usb::test::TestDevice;

struct DriverState {
    WDFDEVICE device = nullptr;
    WDFUSBDEVICE usbDevice = nullptr;
    NTSTATUS createStatus = STATUS_PENDING;
    int prepares = 0;  // prepare-hardware calls
};
DriverState& driver();

class TargetTest : public vel::test::PnpPlatformTest {
  protected:
    explicit TargetTest(uint64_t seed = 1) : PnpPlatformTest(seed) {}

    void SetUp() override;
    void TearDown() override;

    usb::HostController& hc() { return *hc_; }

    // Plugs a device with that layout (and configuration bytes, when given) and waits until
    // its driver has started or failed.
    std::shared_ptr<TestDevice> plug(DeviceLayout layout, Speed speed = Speed::Full,
                                     Bytes configuration = {});
    // Attaches the device without letting the PnP manager run (faults can be set before the
    // driver starts); settle() then starts it.
    std::shared_ptr<TestDevice> attach(DeviceLayout layout, Speed speed = Speed::Full,
                                       Bytes configuration = {});
    // The test driver's device node, if the PnP manager has one.
    std::optional<pnp::DeviceInfo> node();
    void unplug();
    void settle();
    // Runs `body` in a passive driver context (the framework's blocking calls need one) and
    // lets everything run until idle.
    void passive(const std::function<void()>& body);

    // The device's events since plugging that the selections caused ("config 1", "interface
    // 1/1"), without those of enumeration.
    static std::vector<std::string> selections(const TestDevice& device);

  private:
    std::unique_ptr<usb::HostController> hc_;
};

}  // namespace vel::usbtargets::test
