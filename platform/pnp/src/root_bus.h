// The root bus: a WDM bus driver of the PnP manager's own whose PDOs are the root-enumerated
// devices. Each PDO answers the identification queries from its RootDevice description and
// succeeds the state-change and power IRPs. A PDO the bus no longer reports is deleted after
// its REMOVE_DEVICE has been handled, when the drivers above have detached from it.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "vel/kernel/io.h"
#include "vel/pnp/pnp_manager.h"

namespace vel::pnp {

class RootBus {
  public:
    explicit RootBus(kernel::IoManager& io);
    ~RootBus();
    RootBus(const RootBus&) = delete;
    RootBus& operator=(const RootBus&) = delete;

    // A new PDO, reported from now on; nullptr when the device object cannot be created.
    DEVICE_OBJECT* create(const RootDevice& device);
    // Stops reporting the PDO; false when it is not a reported root PDO.
    bool unplug(DEVICE_OBJECT* pdo);
    void unplugAll();
    // The reported PDOs in creation order, each referenced for the caller (as a bus driver
    // answers BusRelations).
    std::vector<DEVICE_OBJECT*> relations();
    // After REMOVE_DEVICE: deletes the PDO if the bus no longer reports it.
    void deleteIfGone(DEVICE_OBJECT* pdo);

  private:
    struct Child {
        RootDevice device;
        bool reported = true;
    };

    static NTSTATUS dispatchPnp(DEVICE_OBJECT* device, IRP* irp);
    static NTSTATUS dispatchPower(DEVICE_OBJECT* device, IRP* irp);
    static RootBus& busOf(DEVICE_OBJECT* pdo);
    NTSTATUS handlePnp(DEVICE_OBJECT* pdo, IO_STACK_LOCATION& location, IRP* irp);

    kernel::IoManager& io_;
    std::u16string name_ = u"\\Driver\\PnpManager";
    DRIVER_EXTENSION extension_{};
    DRIVER_OBJECT driver_{};
    std::mutex mutex_;
    std::vector<DEVICE_OBJECT*> order_;  // creation order of the live PDOs
    std::map<DEVICE_OBJECT*, Child> children_;
};

}  // namespace vel::pnp
