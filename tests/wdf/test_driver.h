// The test program is itself a driver: it links the binding stub, and its DriverEntry creates
// the WDFDRIVER, so test bodies call the framework exactly as driver code does. DriverTest
// loads it under the service "wdftest" before each test.
#pragma once

#include <functional>

#include "platform_test.h"
#include "vel_wdf.h"

namespace vel::test {

class DriverTest : public PlatformTest {
  protected:
    static constexpr const char* kService = "wdftest";

    void SetUp() override;

    WDFDRIVER driver() { return framework().driver(kService); }
    // A device of the test driver, made on first use from deviceInit() with WdfDeviceCreate.
    WDFDEVICE device();
    wdf::DeviceInitPtr deviceInit();

    // What the driver's EvtDriverDeviceAdd does in this test.
    static void onDeviceAdd(std::function<NTSTATUS(WDFDRIVER, PWDFDEVICE_INIT)> callback);

    // Runs `body` in a DPC, at dispatch level, and waits for it.
    void atDispatch(std::function<void()> body);
    // Runs `body` in a context of its own (passive) and lets the runtime run until idle.
    void inContext(const char* name, std::function<void()> body);

  private:
    WDFDEVICE device_ = nullptr;
};

}  // namespace vel::test
