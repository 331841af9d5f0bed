// One run of the simulated platform for the command line: a seeded runtime, the kernel, the
// framework, the PnP manager with velbus in its installation table and a host controller with
// one device plugged in. finish() tears it all down in order and returns what the verifier
// found, leaks at unload included.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vel/kernel/kernel.h"
#include "vel/pnp/pnp_manager.h"
#include "vel/runtime/runtime.h"
#include "vel/runtime/verifier.h"
#include "vel/usb/host_controller.h"
#include "vel/wdf/framework.h"

namespace vel::velsim {

// The port the device is plugged into.
inline constexpr unsigned kPort = 1;

struct SimulationSetup {
    uint64_t seed = 1;
    std::string busModule;  // velbus's module file; empty: no bus driver is installed
    std::string capture;    // USBPcap file; empty for none
    std::shared_ptr<usb::DeviceModel> device;
    usb::Speed speed = usb::Speed::High;
    // Whether the device's PDO reports UniqueID in its capabilities; unset, the hub decides
    // (UniqueID whenever the serial number is valid).
    std::optional<bool> uniqueId;
    // Values in the bus device's software key before its first start.
    std::vector<pnp::DriverPackage::Value> busSoftwareValues;
};

class Simulation {
  public:
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;
    ~Simulation();

    // Builds the platform, plugs the device and waits until the PnP manager has installed it
    // and whatever velbus reports. nullopt with a one-line `error` when the capture file cannot
    // be created.
    static std::unique_ptr<Simulation> start(const SimulationSetup& setup, std::string* error);

    pnp::PnpManager& pnp() { return *pnp_; }
    usb::HostController& host() { return *host_; }
    // The plugged device's node and its subtree.
    std::optional<pnp::DeviceInfo> device() const;

    // Unplugs the device, tears the platform down and returns the violations of the run.
    std::vector<rt::Violation> finish();

  private:
    Simulation() = default;
    void settle();

    std::unique_ptr<rt::Runtime> runtime_;
    std::unique_ptr<kernel::Kernel> kernel_;
    std::unique_ptr<wdf::Framework> framework_;
    std::unique_ptr<pnp::PnpManager> pnp_;
    std::unique_ptr<usb::HostController> host_;
};

// The IDs velbus is installed for: the hardware IDs a hub gives a device with this descriptor.
std::vector<std::string> busDriverIds(const std::vector<uint8_t>& deviceDescriptor);

// "verifier: N violation(s)" and one line per violation.
std::string formatViolations(const std::vector<rt::Violation>& violations);

}  // namespace vel::velsim
