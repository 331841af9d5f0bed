// A platform with a PnP manager, an application, and the test program as a KMDF driver: the
// root device "ROOT\WDFIO" binds to it, and its EvtDriverDeviceAdd creates a named device
// ("\Device\WdfIo", linked as "\\.\WdfIo") and calls the test's `configure` hook, where the test
// creates queues. Requests come from the application through the device's dispatch, exactly as
// a driver sees them. Driver callbacks record into `Seen`, which SetUp clears.
//
// TearDown removes the device, destroys the platform in reverse and fails the test for any
// verifier violation left behind.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vel/io/application.h"
#include "vel/kernel/kernel.h"
#include "vel/pnp/pnp_manager.h"
#include "vel/runtime/runtime.h"
#include "vel/runtime/verifier.h"
#include "vel/wdf/framework.h"
#include "vel_wdf.h"

namespace vel::wdfio::test {

using io::DWORD;

// What the test driver does while its device is added.
struct Hooks {
    std::function<void(PWDFDEVICE_INIT)> init;  // before WdfDeviceCreate
    std::function<void(WDFDEVICE)> configure;   // after, with the new device
    WDF_PNPPOWER_EVENT_CALLBACKS* pnpPower = nullptr;
    const WDF_OBJECT_ATTRIBUTES* deviceAttributes = nullptr;  // level and scope of the device
};
Hooks& hooks();

class IoTest : public ::testing::Test {
  protected:
    explicit IoTest(uint64_t seed = 1, rt::Mode mode = rt::Mode::Simulated)
        : seed_(seed), mode_(mode) {}

    void SetUp() override;
    void TearDown() override;

    rt::Runtime& runtime() { return *runtime_; }
    pnp::PnpManager& pnp() { return *pnp_; }
    io::Application& app() { return *app_; }

    // Plugs the root device (the test driver's device add runs) and returns its WDFDEVICE.
    WDFDEVICE plug();
    DEVICE_OBJECT* pdo() const { return pdo_; }
    // Opens \\.\WdfIo, overlapped unless `synchronous`.
    HANDLE open(bool synchronous = false);
    void settle() { runtime_->runUntilIdle(); }

    // Starts an overlapped request; the OVERLAPPED must outlive it.
    void read(HANDLE file, void* buffer, DWORD length, io::OVERLAPPED* overlapped);
    void write(HANDLE file, const void* buffer, DWORD length, io::OVERLAPPED* overlapped);
    void ioctl(HANDLE file, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
               io::OVERLAPPED* overlapped);
    // The final status of an overlapped request (STATUS_PENDING while pending) and its bytes.
    NTSTATUS result(io::OVERLAPPED* overlapped, DWORD* bytes = nullptr);

    // Sends an internal device control (this minor function and code) to the device the way
    // another driver would, from a DPC when `atDispatch`; `sent` records the result when the
    // IRP comes back (the completion routine frees it).
    struct SentIrp {
        bool done = false;
        NTSTATUS status = STATUS_PENDING;
        ULONG_PTR information = 0;
    };
    void sendInternal(WDFDEVICE device, UCHAR minor, ULONG code, SentIrp* sent,
                      bool atDispatch = false);

    // Takes the violations and checks they are exactly these rules, in order.
    void expectViolations(const std::vector<rt::Rule>& rules);

  private:
    uint64_t seed_;
    rt::Mode mode_;
    std::unique_ptr<rt::Runtime> runtime_;
    std::unique_ptr<kernel::Kernel> kernel_;
    std::unique_ptr<wdf::Framework> framework_;
    std::unique_ptr<pnp::PnpManager> pnp_;
    std::unique_ptr<io::Application> app_;
    DEVICE_OBJECT* pdo_ = nullptr;
};

// I/O control codes of the tests, one per buffering method.
inline constexpr ULONG kIoctlBuffered =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG kIoctlInDirect =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
inline constexpr ULONG kIoctlOutDirect =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
inline constexpr ULONG kIoctlNeither =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_NEITHER, FILE_ANY_ACCESS);

}  // namespace vel::wdfio::test
