// Toy WDM drivers for the PnP manager's tests, written as plain DRIVER_OBJECT dispatch routines:
//
// - the function driver (ToyFunctionDriverEntry) attaches one FDO per device and records every
//   state-change and power IRP it receives, and can be told to fail some of them;
// - the bus driver (ToyBusDriverEntry) does the same for its own device and also reports child
//   PDOs in answer to BusRelations, one per ChildDescription of its instance path that is present.
//   Its PDOs answer the identification queries from their description; a PDO deletes itself
//   on REMOVE_DEVICE once no longer present, and the bus deletes the others when it goes.
//
// What they see goes to the ToyWorld the test installed (ToyWorld::current).
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "vel_kernel.h"

namespace vel::pnp::test {

struct ChildDescription {
    std::string deviceId;
    std::string instanceId;
    std::vector<std::string> hardwareIds;
    std::vector<std::string> compatibleIds;
    std::string description;
    std::string location;
    // What the PDO's capabilities map S3 to (PowerDeviceUnspecified: nothing).
    DEVICE_POWER_STATE sleepState = PowerDeviceUnspecified;
    bool present = true;

    std::string instancePath() const { return deviceId + "\\" + instanceId; }
};

// Failures a device's function driver answers with (STATUS_SUCCESS: none).
struct Faults {
    NTSTATUS addDevice = STATUS_SUCCESS;
    NTSTATUS start = STATUS_SUCCESS;
    NTSTATUS queryStop = STATUS_SUCCESS;
    NTSTATUS queryRemove = STATUS_SUCCESS;
};

// The interface class the toy PDOs answer IRP_MN_QUERY_INTERFACE for, and its version.
inline constexpr GUID kToyInterface = {
    0x5a1e0001, 0x7c3d, 0x4b2a, {0x90, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};
inline constexpr USHORT kToyInterfaceVersion = 2;

class ToyWorld {
  public:
    static ToyWorld* current;

    // "<instance path> <event>" for the function drivers ("AddDevice", "START", "SET_POWER S3
    // sleep"...), "<instance path> pdo deleted" for the bus's PDOs, "<service> DriverEntry" and
    // "<service> Unload".
    void record(const std::string& entry);
    std::vector<std::string> log() const;
    // The entries containing `text`.
    std::vector<std::string> logWith(const std::string& text) const;
    void clearLog();

    void setFaults(const std::string& instancePath, Faults faults);
    Faults faults(const std::string& instancePath) const;

    // The children a bus device reports, by the bus's instance path.
    void setChildren(const std::string& busPath, std::vector<ChildDescription> children);
    void setPresent(const std::string& busPath, const std::string& childPath, bool present);
    std::vector<ChildDescription> children(const std::string& busPath) const;

    // AddDevice bookkeeping: how many ran at once at most, and the "PortName" each device's
    // hardware key held when its AddDevice ran.
    void enterAdd();
    void leaveAdd();
    int maxAddsAtOnce() const;
    void notePortNameAtAdd(const std::string& instancePath, const std::string& portName);
    std::string portNameAtAdd(const std::string& instancePath) const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> log_;
    std::map<std::string, Faults> faults_;
    std::map<std::string, std::vector<ChildDescription>> children_;
    int addsInFlight_ = 0;
    int maxAddsAtOnce_ = 0;
    std::map<std::string, std::string> portNames_;
};

NTSTATUS ToyFunctionDriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath);
NTSTATUS ToyBusDriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath);

}  // namespace vel::pnp::test
