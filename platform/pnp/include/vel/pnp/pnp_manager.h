// The PnP and power manager: the installation table that binds drivers to devices, the device
// tree rooted at the root bus, and the WDM conversation with each device's stack (AddDevice,
// then IRP_MJ_PNP and IRP_MJ_POWER IRPs sent to the top of the stack).
//
// All PnP work runs on one PnP context of the runtime, at passive level. A public call made
// from another context hands its work to that context and waits for it; made from the PnP
// context (a driver callback) it runs inline. Because one context does all the work, device
// arrivals are handled one at a time: two AddDevice calls never overlap, whichever contexts the
// devices arrived from.
//
// Removal follows Windows where it can: a node leaves the tree after its REMOVE_DEVICE, and its
// children get theirs first. After a surprise removal REMOVE_DEVICE follows once no file is
// open on any stack of the subtree (at once when none is): until then the node stays in the
// tree as SurpriseRemoved, the drivers still get I/O, cleanup and close for the open files, and
// the last close triggers the removal. An orderly removal of a device that is open goes the
// same way once the queries agreed (SURPRISE_REMOVAL now, REMOVE_DEVICE at the last close).
// The PnP manager deletes no device object the drivers own; it holds a reference on each PDO
// while its node lives. A driver this manager loaded is unloaded (Framework::unloadDriver) when
// its last device is removed and none of its device objects is alive (a deleted one a file
// object still references counts), and loaded again by the next device that needs it.
//
// Needs a live vel::rt::Runtime, vel::kernel::Kernel and vel::wdf::Framework (created before it,
// destroyed after it). The innermost live PnpManager is the one IoInvalidateDeviceRelations
// reaches (PnpManager::current()).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vel/kernel/registry.h"
#include "vel_kernel.h"

namespace vel::pnp {

// The class of devices whose package names no setup class.
inline const std::string kOtherDevicesClass = "{4d36e97e-e325-11ce-bfc1-08002be10318}";

// One driver of the installation table.
struct DriverPackage {
    struct Value {
        std::string name;
        kernel::RegValue value;
    };

    std::string service;
    // Where the driver comes from: a module loaded with Framework::loadDriver, or an entry point
    // linked into the program (a plain WDM DriverEntry or a binding stub's FxDriverEntry).
    std::string modulePath;
    PDRIVER_INITIALIZE entry = nullptr;
    // The hardware or compatible IDs the driver serves (compared case-insensitively).
    std::vector<std::string> ids;
    // The setup class; the device's software key is ...\Control\Class\<classGuid>\NNNN.
    std::string classGuid = kOtherDevicesClass;
    // Written into the device's hardware key ("Device Parameters") when a device is installed
    // for the first time, before AddDevice; a device seen before keeps its key as it is.
    std::vector<Value> hardwareValues;
    // Written into the device's software key at the same moment, under the same rule: the
    // settings an administrator would have made before the device's first start.
    std::vector<Value> softwareValues;
};

// A device the root bus enumerates: what its PDO answers to the identification queries.
struct RootDevice {
    std::string deviceId;  // e.g. "ROOT\VELHC"
    std::string instanceId = "0000";
    std::vector<std::string> hardwareIds;
    std::vector<std::string> compatibleIds;
    std::string description;
    std::string location;
};

enum class DeviceState {
    NoDriver,         // no package matches any of its IDs
    InstallFailed,    // identification, driver load or AddDevice failed (problem holds why)
    Started,          // START_DEVICE succeeded
    StartFailed,      // START_DEVICE failed (problem); the function driver's stack was removed
    Stopped,          // stopped by stop(); start() starts it again
    SurpriseRemoved,  // got SURPRISE_REMOVAL; REMOVE_DEVICE follows (after the last close)
    Removed,          // got REMOVE_DEVICE; the node goes away
};
const char* toString(DeviceState state);

// A system power transition.
enum class PowerAction { Sleep, Hibernate, Shutdown };

// A snapshot of a device node and its subtree.
struct DeviceInfo {
    DEVICE_OBJECT* pdo = nullptr;
    std::string instancePath;  // "<device ID>\<instance ID>"
    std::string deviceId;
    std::string instanceId;
    std::vector<std::string> hardwareIds;
    std::vector<std::string> compatibleIds;
    std::string description;
    std::string location;
    std::string service;  // the bound driver; empty without one
    DeviceState state = DeviceState::NoDriver;
    NTSTATUS problem = STATUS_SUCCESS;  // for InstallFailed and StartFailed
    DEVICE_POWER_STATE power = PowerDeviceUnspecified;
    std::vector<DeviceInfo> children;
};

// Where a device instance keeps its registry data.
struct DeviceKeys {
    std::string instancePath;
    std::string hardwareKey;  // ...\Enum\<instance path>\Device Parameters
    std::string softwareKey;  // ...\Control\Class\{guid}\NNNN; empty when no driver was bound
};

class PnpManager {
  public:
    PnpManager();
    // Removes every device (REMOVE_DEVICE, children first), unloads the drivers it loaded and
    // ends its PnP context.
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    static PnpManager* current();

    // ----- Installation table -----------------------------------------------------------------
    // A device is bound to the package of the first of its IDs, in the device's own order
    // (hardware IDs, then compatible IDs), that some package lists; among packages listing the
    // same ID the one added first wins.
    void addDriverPackage(DriverPackage package);

    // ----- The root bus -----------------------------------------------------------------------
    // Creates a PDO on the root bus and installs and starts the device and whatever it
    // enumerates; returns the PDO once that is done.
    DEVICE_OBJECT* plugRootDevice(const RootDevice& device);
    // The root bus stops reporting the device: surprise removal of its subtree.
    // STATUS_NO_SUCH_DEVICE when the PDO is not a root device that is present.
    NTSTATUS unplugRootDevice(DEVICE_OBJECT* pdo);

    // IoInvalidateDeviceRelations(pdo, BusRelations): queues a new BusRelations query of the
    // device (if it is started) and returns at once; callable at dispatch level. Children no
    // longer reported are surprise-removed, new ones installed and started.
    void invalidateDeviceRelations(DEVICE_OBJECT* pdo);
    // Waits until the PnP work queued before the call is done (a blocking call).
    void settle();

    // ----- State changes ----------------------------------------------------------------------
    // Each returns STATUS_NO_SUCH_DEVICE for a PDO that is not in the tree.
    // QUERY_STOP then STOP_DEVICE for a started device (STATUS_INVALID_DEVICE_STATE otherwise).
    // A failed QUERY_STOP vetoes: CANCEL_STOP follows and its status is returned. Only the
    // device stops; its children stay as they are.
    NTSTATUS stop(DEVICE_OBJECT* pdo);
    // START_DEVICE for a stopped device, then a BusRelations query.
    NTSTATUS start(DEVICE_OBJECT* pdo);
    // Orderly removal of the device and its subtree (see above for open files): QUERY_REMOVE to
    // every node, children
    // first; a failure vetoes (CANCEL_REMOVE to every node that got the query, in reverse
    // order, and the failure is returned). Otherwise REMOVE_DEVICE to every node, children
    // first, and the nodes go away. A root device also leaves the root bus; a child that its
    // bus still reports comes back at the bus's next enumeration.
    NTSTATUS remove(DEVICE_OBJECT* pdo);
    // IoRequestDeviceEject(pdo): queues an eject and returns at once; callable at dispatch
    // level. The eject is an orderly removal of the device's subtree (a veto ends it) whose
    // REMOVE_DEVICE to the device itself is followed by IRP_MN_EJECT to its PDO.
    void requestEject(DEVICE_OBJECT* pdo);

    // ----- System power -----------------------------------------------------------------------
    // For every started device, children before parents: SET_POWER with the system state
    // (S3, S4 or S5), then SET_POWER with the device state the device's capabilities map that
    // system state to (D3 when they map none), both with ShutdownType = the POWER_ACTION.
    // STATUS_INVALID_DEVICE_STATE unless the system is working.
    NTSTATUS setSystemPower(PowerAction action);
    // Back to S0 after sleep or hibernation: parents before children, SET_POWER S0 then D0 to
    // every device the transition powered down, with the ShutdownType of that transition.
    // STATUS_INVALID_DEVICE_STATE when the system is not asleep or hibernating.
    NTSTATUS wake();
    SYSTEM_POWER_STATE systemPowerState() const;

    // ----- The tree ---------------------------------------------------------------------------
    std::vector<DeviceInfo> tree() const;  // the root bus's children
    std::string treeText() const;
    std::optional<DeviceInfo> device(const DEVICE_OBJECT* pdo) const;
    std::optional<DeviceKeys> deviceKeys(const DEVICE_OBJECT* pdo) const;

    // ----- Requests drivers make --------------------------------------------------------------
    // IRP_MN_QUERY_INTERFACE sent to the top of `device`'s stack from the caller's context (a
    // blocking call); STATUS_NOT_SUPPORTED when nobody answers.
    NTSTATUS queryInterface(DEVICE_OBJECT* device, const GUID& type, USHORT size, USHORT version,
                            INTERFACE* interface, PVOID interfaceSpecificData);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// Renders a tree as text: one block per device, children indented below their parent.
std::string formatTree(const std::vector<DeviceInfo>& roots);

}  // namespace vel::pnp
