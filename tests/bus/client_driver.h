// A small KMDF function driver (linked into the test program with the binding stub) that the
// installation table binds to velbus's children, as a real function driver would be: at
// prepare-hardware it creates its USB device on the child, keeps the descriptors it was given,
// selects every interface of its function and keeps the function's bulk pipes; optionally a
// continuous reader collects what the bulk IN pipe delivers (started at D0 entry, stopped at D0
// exit). Release-hardware deconfigures. The test body then moves data with the pipes from a
// passive context, as the driver would from a work item.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "vel_wdf.h"

namespace vel::bus::test {

// What the driver did and saw on one child.
struct ClientDevice {
    DEVICE_OBJECT* pdo = nullptr;
    WDFUSBDEVICE usbDevice = nullptr;
    NTSTATUS createStatus = STATUS_PENDING;
    NTSTATUS selectStatus = STATUS_PENDING;
    NTSTATUS deconfigStatus = STATUS_PENDING;
    int prepares = 0;
    int releases = 0;

    USB_DEVICE_DESCRIPTOR deviceDescriptor{};
    std::vector<uint8_t> configuration;  // as WdfUsbTargetDeviceRetrieveConfigDescriptor gave it
    std::vector<uint8_t> interfaceNumbers;
    USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;  // after the selection
    WDFUSBPIPE bulkIn = nullptr;
    WDFUSBPIPE bulkOut = nullptr;

    NTSTATUS readerStatus = STATUS_PENDING;  // STATUS_PENDING: no reader configured
    std::mutex mutex;
    std::vector<uint8_t> received;  // the continuous reader's data, in order
    std::vector<NTSTATUS> readerFailures;
};

// The driver's devices, for the test that installed it (ClientWorld::current).
class ClientWorld {
  public:
    static ClientWorld* current;

    // Functions (by first interface number) whose bulk IN pipe gets a continuous reader.
    std::set<uint8_t> readerOn;

    // The record of the child whose PDO this is; null when the driver never saw it.
    ClientDevice* of(DEVICE_OBJECT* pdo);
    size_t deviceCount() const;

    // Driver side.
    ClientDevice& added(DEVICE_OBJECT* pdo);

  private:
    mutable std::mutex mutex_;
    std::map<DEVICE_OBJECT*, std::unique_ptr<ClientDevice>> devices_;
};

// The driver's service name and entry point for the installation table.
inline constexpr const char* kClientService = "velclient";
extern "C" NTSTATUS FxDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Pipe transfers for the test body (call from a passive context); the bytes moved or the
// failure status.
NTSTATUS clientWrite(WDFUSBPIPE pipe, const std::vector<uint8_t>& data, ULONG* written);
NTSTATUS clientRead(WDFUSBPIPE pipe, std::vector<uint8_t>& data);

}  // namespace vel::bus::test
