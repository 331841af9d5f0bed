// A tiny WDM function driver for the host controller's tests: bound by the PnP manager to the
// test devices' hardware IDs, it attaches an FDO above each PDO, passes PnP and power IRPs down
// and sends URBs and internal controls down its stack with IoAllocateIrp and IoCallDriver.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vel/runtime/runtime.h"
#include "vel_usb.h"

namespace vel::usb::test {

struct DeviceState;

// One request the driver sends: a URB (or an internal control's argument) and its buffer.
struct UrbRequest {
    explicit UrbRequest(size_t urbBytes = sizeof(URB), size_t dataBytes = 0)
        : storage(urbBytes, 0), data(dataBytes, 0) {}
    URB* urb() { return reinterpret_cast<URB*>(storage.data()); }

    std::vector<uint8_t> storage;  // the URB
    std::vector<uint8_t> data;     // the transfer buffer
    IRP* irp = nullptr;            // while in flight
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    rt::Ticks completedAt = 0;
    // Runs in the completion routine, after the request is marked done.
    std::function<void(UrbRequest&)> onComplete;
    DeviceState* sentTo = nullptr;
};

// What the driver keeps per device, beyond the FDO's life: the device below, and its requests
// in flight, which REMOVE_DEVICE waits for (as a remove lock does). A request sent after the
// removal is refused with STATUS_NO_SUCH_DEVICE.
struct DeviceState {
    DEVICE_OBJECT* lower = nullptr;
    std::mutex mutex;
    int outstanding = 0;
    bool removed = false;
};

// What the driver saw, for the test that installed it (FunctionWorld::current).
class FunctionWorld {
  public:
    static FunctionWorld* current;

    void added(DEVICE_OBJECT* pdo, DEVICE_OBJECT* fdo, DEVICE_OBJECT* lower);
    void removed(DEVICE_OBJECT* pdo);
    DeviceState* stateOf(DEVICE_OBJECT* fdo);
    DEVICE_OBJECT* fdoOf(DEVICE_OBJECT* pdo) const;
    void record(const std::string& entry);
    std::vector<std::string> log() const;

  private:
    mutable std::mutex mutex_;
    std::map<DEVICE_OBJECT*, DEVICE_OBJECT*> fdos_;
    std::map<DEVICE_OBJECT*, std::unique_ptr<DeviceState>> states_;  // by FDO
    std::vector<std::string> log_;
};

NTSTATUS TestFunctionDriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath);

// Sends `request`'s URB down the FDO's stack; returns what IoCallDriver returned.
NTSTATUS sendUrb(DEVICE_OBJECT* fdo, UrbRequest& request);
// Sends an internal control with Argument1 = `argument` (buffered controls use request.data as
// the system buffer and output buffer).
NTSTATUS sendInternalControl(DEVICE_OBJECT* fdo, ULONG code, void* argument, UrbRequest& request);

}  // namespace vel::usb::test
