// A whole platform with a PnP manager, and the test program as a framework driver ("wdfdev",
// bound to the root device ID ROOT\VELDEV). Its EvtDriverDeviceAdd creates an FDO whose PnP and
// power callbacks write what they see into a log; a test shapes the init and the device with
// the hooks before plugging the device in.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vel/kernel/kernel.h"
#include "vel/pnp/pnp_manager.h"
#include "vel/runtime/runtime.h"
#include "vel/runtime/verifier.h"
#include "vel/wdf/framework.h"
#include "vel_wdf.h"

namespace vel::test {

inline constexpr const char* kDeviceService = "wdfdev";
inline constexpr const char* kDeviceId = "ROOT\\VELDEV";

struct DeviceContext {
    ULONG cookie;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DeviceContext, GetDeviceContext)

class DeviceTest : public ::testing::Test {
  public:
    // The test running now (the driver's callbacks find their hooks through it).
    static DeviceTest* current;

    // ----- Hooks the driver's callbacks follow --------------------------------------------------
    std::function<void(PWDFDEVICE_INIT)> configureInit;  // before WdfDeviceCreate
    std::function<void(WDFDEVICE)> afterCreate;          // after it, still in device add
    WDF_OBJECT_ATTRIBUTES deviceAttributes{};            // with DeviceContext
    NTSTATUS prepareStatus = STATUS_SUCCESS;
    NTSTATUS queryStopStatus = STATUS_SUCCESS;
    NTSTATUS queryRemoveStatus = STATUS_SUCCESS;
    // Run inside the named callback (after it is logged), e.g. to look at the state there.
    std::function<void(const std::string&, WDFDEVICE)> inCallback;

    void log(std::string entry) { log_.push_back(std::move(entry)); }
    std::vector<std::string> takeLog() { return std::exchange(log_, {}); }

  protected:
    explicit DeviceTest(uint64_t seed = 1) : seed_(seed) {}

    void SetUp() override;
    void TearDown() override;

    rt::Runtime& runtime() { return *runtime_; }
    kernel::Kernel& kernel() { return *kernel_; }
    wdf::Framework& framework() { return *framework_; }
    pnp::PnpManager& pnp() { return *pnp_; }

    // Plugs ROOT\VELDEV\<instance> into the root bus; the PnP manager adds and starts it.
    DEVICE_OBJECT* plug(const std::string& instance = "0000",
                        const std::string& location = "Port_#0001");
    // The FDO the driver created last.
    WDFDEVICE device() const { return device_; }
    pnp::DeviceState stateOf(DEVICE_OBJECT* pdo) const;
    // A fresh PnP manager (the old one removes every device), e.g. after a shutdown.
    void restartPnp();

    std::vector<rt::Violation> takeViolations() { return runtime_->verifier().take(); }

  private:
    friend NTSTATUS DeviceTestAdd(WDFDRIVER, PWDFDEVICE_INIT);

    uint64_t seed_;
    std::unique_ptr<rt::Runtime> runtime_;
    std::unique_ptr<kernel::Kernel> kernel_;
    std::unique_ptr<wdf::Framework> framework_;
    std::unique_ptr<pnp::PnpManager> pnp_;
    WDFDEVICE device_ = nullptr;
    std::vector<std::string> log_;
};

// "D3Final", "PrepareForHibernation"...
const char* powerName(WDF_POWER_DEVICE_STATE state);

}  // namespace vel::test
