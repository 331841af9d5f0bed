// The PnP manager's state: the device tree and the operations the PnP context performs on it.
//
// Only the PnP context changes the tree; it does so under `mutex` (never held across an IRP
// send) so that snapshots can be taken from any context.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "install_table.h"
#include "root_bus.h"
#include "vel/kernel/kernel.h"
#include "vel/pnp/pnp_manager.h"
#include "vel/runtime/runtime.h"
#include "vel/wdf/framework.h"
#include "worker.h"

namespace vel::pnp {

struct DeviceNode {
    DeviceNode* parent = nullptr;  // nullptr for the root bus's own node
    std::vector<std::unique_ptr<DeviceNode>> children;
    DEVICE_OBJECT* pdo = nullptr;  // referenced while the node lives; nullptr for the root

    std::string deviceId;
    std::string instanceId;
    std::vector<std::string> hardwareIds;
    std::vector<std::string> compatibleIds;
    std::string description;
    std::string location;
    DEVICE_CAPABILITIES capabilities{};
    std::string instancePath;
    std::string softwareKey;
    std::string service;

    // AddDevice succeeded and the stack has not had REMOVE_DEVICE since.
    bool stackBuilt = false;
    // Surprise-removed while files were open on its subtree: REMOVE_DEVICE waits for them.
    bool removalPending = false;
    // Its removal is an eject: IRP_MN_EJECT follows its REMOVE_DEVICE.
    bool ejecting = false;
    DeviceState state = DeviceState::NoDriver;
    NTSTATUS problem = STATUS_SUCCESS;
    DEVICE_POWER_STATE power = PowerDeviceUnspecified;
};

struct PnpManager::Impl {
    Impl(rt::Runtime& runtime, kernel::Kernel& kernel, wdf::Framework& framework);

    // ----- Enumeration and installation (enumerate.cpp, install.cpp) -------------------------
    // Re-queries a started node's bus relations and applies them.
    void enumerate(DeviceNode& node);
    // Applies a relations answer (each PDO carries a reference for the PnP manager): children
    // no longer reported are surprise-removed, new ones installed and started.
    void applyRelations(DeviceNode& node, const std::vector<DEVICE_OBJECT*>& reported);
    void install(DeviceNode& node);
    void identify(DeviceNode& node);
    std::optional<DriverPackage> bind(DeviceNode& node);
    NTSTATUS ensureLoaded(const DriverPackage& package);
    // Unloads a driver this manager loaded once no device uses it and it has no device objects.
    void releaseDriver(const std::string& service);

    // ----- State changes (state_changes.cpp) -------------------------------------------------
    NTSTATUS startNode(DeviceNode& node);
    NTSTATUS stopNode(DeviceNode& node);
    NTSTATUS queryRemoveSubtree(DeviceNode& node);
    // Orderly removal of a node's subtree once the queries agreed (see PnpManager::remove).
    NTSTATUS removeOrderly(DeviceNode& node);
    void surpriseRemoveSubtree(DeviceNode& node);
    // REMOVE_DEVICE to the subtree, children first, then the node leaves the tree.
    void removeSubtree(DeviceNode& node);
    void sendRemove(DeviceNode& node);
    // After a surprise removal: removes the subtree now, or once the last file opened on one of
    // its stacks is closed (the drivers still serve cleanup and close until then).
    void removeWhenClosed(DeviceNode& node);
    bool hasOpenFiles(DeviceNode& node);
    // A file object went: removes the subtrees that waited for it and unloads the drivers left
    // without devices.
    void onFileReleased();

    // ----- Power (power.cpp) -----------------------------------------------------------------
    NTSTATUS powerDown(PowerAction action);
    NTSTATUS powerUp();

    // ----- Helpers ---------------------------------------------------------------------------
    // Off the PnP context (the only one that changes the tree) callers hold `mutex`.
    DeviceNode* find(const DEVICE_OBJECT* pdo) const;
    void setState(DeviceNode& node, DeviceState state, NTSTATUS problem = STATUS_SUCCESS);
    void setPower(DeviceNode& node, DEVICE_POWER_STATE power);
    DeviceInfo snapshot(const DeviceNode& node) const;  // with `mutex` held
    // The subtree's nodes, children before their parent / parent before its children. A list
    // taken first, so that visiting may change the tree.
    static std::vector<DeviceNode*> postOrder(DeviceNode& node);
    static std::vector<DeviceNode*> preOrder(DeviceNode& node);

    rt::Runtime& runtime;
    kernel::Kernel& kernel;
    kernel::IoManager& io;
    wdf::Framework& framework;
    InstallTable table;
    RootBus rootBus;

    mutable std::mutex mutex;
    DeviceNode root;
    std::map<const DEVICE_OBJECT*, DeviceNode*> byPdo;
    SYSTEM_POWER_STATE systemState = PowerSystemWorking;
    POWER_ACTION lastAction = PowerActionNone;  // of the transition the system is in
    std::set<std::string> loadedHere;           // drivers this manager loaded
    size_t fileWatch = 0;                       // the I/O manager's listener id

    // Last: its context runs jobs that use everything above, so it goes first.
    PnpWorker worker;
};

}  // namespace vel::pnp
