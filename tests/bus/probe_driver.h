// A tiny WDM function driver the installation table binds to velbus's children: it attaches an
// FDO above each child PDO, passes PnP and power IRPs down, and lets a test send any request
// (internal and public device controls, reads) down the child's stack and wait for its answer.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "vel_usb.h"

namespace vel::bus::test {

// One request sent down a child's stack.
struct ProbeRequest {
    UCHAR major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    ULONG code = 0;
    void* argument = nullptr;     // Argument1 of an internal control (the URB)
    std::vector<uint8_t> buffer;  // system buffer: buffered controls' output, a read's data
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

// The probe's devices, for the test that installed it (ProbeWorld::current).
class ProbeWorld {
  public:
    static ProbeWorld* current;

    DEVICE_OBJECT* fdoOf(DEVICE_OBJECT* pdo) const;
    size_t deviceCount() const;

    // Driver side.
    void added(DEVICE_OBJECT* pdo, DEVICE_OBJECT* fdo);
    void removed(DEVICE_OBJECT* pdo);

  private:
    mutable std::mutex mutex_;
    std::map<DEVICE_OBJECT*, DEVICE_OBJECT*> fdos_;  // by PDO
};

NTSTATUS ProbeDriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath);

// Sends the request down the stack below `fdo` from the calling context (passive level) and
// waits until it completes; returns its final status.
NTSTATUS probeSend(DEVICE_OBJECT* fdo, ProbeRequest& request);
// The same, sent to `device` itself (the top of another stack).
NTSTATUS probeSendTo(DEVICE_OBJECT* device, ProbeRequest& request);

}  // namespace vel::bus::test
