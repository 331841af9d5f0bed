// A platform with a host controller and the test program as a KMDF function driver for the test
// devices (USB\VID_1234&PID_0001): at prepare-hardware it creates its USB device, selects both
// interfaces and keeps the pipes; D0 entry starts the pipes of a configured continuous reader and
// D0 exit stops them, as a real driver does. The test body then drives the pipe calls itself,
// at passive level, as the driver would from a work item.
//
// TearDown unplugs the device, destroys the platform in reverse and fails the test for any
// verifier violation or pool block left behind.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
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

namespace vel::usbpipe::test {

using usb::Bytes;
using usb::Speed;
using usb::test::TestDevice;

// What the continuous reader delivered: one entry per read-complete callback.
struct ReadRecord {
    Bytes whole;  // the whole buffer, header and trailer included
    size_t length = 0;
    rt::Irql irql = rt::Irql::Passive;
    rt::Ticks time = 0;
};

// What the driver has and saw. Reset by SetUp.
struct DriverState {
    WDFDEVICE device = nullptr;
    WDFUSBDEVICE usbDevice = nullptr;
    WDFUSBPIPE interruptIn = nullptr;  // 0x81
    WDFUSBPIPE bulkIn = nullptr;       // 0x82
    WDFUSBPIPE bulkOut = nullptr;      // 0x02
    NTSTATUS prepareStatus = STATUS_PENDING;

    // Set before plugging: the reader is configured on that pipe at prepare-hardware, and the
    // pipe is started at D0 entry.
    WDFUSBPIPE* readerPipe = nullptr;
    WDF_USB_CONTINUOUS_READER_CONFIG readerConfig{};
    NTSTATUS readerStatus = STATUS_PENDING;
    bool startAtD0 = true;
    // nullopt: no readers-failed callback; otherwise its answer.
    std::optional<BOOLEAN> readersFailedAnswer = TRUE;
    // Runs inside the read-complete callback (e.g. to keep a buffer).
    std::function<void(WDFMEMORY)> onRead;
    // Runs inside the readers-failed callback, before it answers.
    std::function<void()> onFailed;

    std::mutex mutex;
    std::vector<ReadRecord> reads;
    struct Failure {
        NTSTATUS status;
        USBD_STATUS usbdStatus;
        rt::Irql irql;
    };
    std::vector<Failure> failures;
};
DriverState& driver();

// A request the test sends asynchronously, with what its completion routine saw.
struct AsyncSend {
    WDFREQUEST request = nullptr;
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    WDF_REQUEST_COMPLETION_PARAMS params{};
    WDF_USB_REQUEST_COMPLETION_PARAMS usb{};
};

class PipeTest : public vel::test::PnpPlatformTest {
  protected:
    explicit PipeTest(uint64_t seed = 1) : PnpPlatformTest(seed) {}

    void SetUp() override;
    void TearDown() override;

    usb::HostController& hc() { return *hc_; }

    // Plugs a two-interface test device (see twoInterfaceLayout) and waits until the driver is
    // started.
    std::shared_ptr<TestDevice> plug(uint16_t bulkPacket = 64, Speed speed = Speed::Full);
    void unplug();
    void settle();

    // Formats with `format`, sends with a completion routine that fills `send`, and returns what
    // WdfRequestSend returned. The request is created on the pipe when `send.request` is null.
    bool sendAsync(WDFUSBPIPE pipe, AsyncSend& send,
                   const std::function<NTSTATUS(WDFREQUEST)>& format);

    // Takes the violations and checks they are exactly these rules, in order.
    void expectViolations(const std::vector<rt::Rule>& rules);

  private:
    std::unique_ptr<usb::HostController> hc_;
};

// A continuous reader configuration with the test driver's callbacks.
WDF_USB_CONTINUOUS_READER_CONFIG readerConfig(size_t transferLength, UCHAR reads = 0,
                                              size_t header = 0, size_t trailer = 0);

}  // namespace vel::usbpipe::test
