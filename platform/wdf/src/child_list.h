// WDFCHILDLIST: the dynamic children a bus FDO reports. The driver adds and updates child
// descriptions (in scans or one at a time); changes make the PnP manager ask for bus relations
// again, and answering that query creates a PDO for each new child (EvtChildListCreateDevice)
// and reports every present child's PDO.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "object.h"

namespace vel::wdf {

class Device;

class ChildList : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::ChildList;

    // Creates the device's default child list (parented to the device).
    static NTSTATUS create(Device& device, const WDF_CHILD_LIST_CONFIG& config,
                           const WDF_OBJECT_ATTRIBUTES* attributes, ChildList** list);

    ChildList(Binding& binding, Device& device, const WDF_CHILD_LIST_CONFIG& config)
        : Object(kType, binding), device_(device), config_(config) {
        setDeletable(false);
    }
    ~ChildList() override;

    Device& device() const { return device_; }
    const WDF_CHILD_LIST_CONFIG& config() const { return config_; }

    // Scans nest; when the outermost ends, children not reported during it are missing.
    void beginScan();
    void endScan();
    // STATUS_OBJECT_NAME_EXISTS for a child already present (its address is updated).
    NTSTATUS addOrUpdate(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* identification,
                         const WDF_CHILD_ADDRESS_DESCRIPTION_HEADER* address);
    NTSTATUS markMissing(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* identification);
    // The PDO of a present child, or nullptr.
    Device* pdoOf(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* identification);
    // WdfChildListRetrievePdo: the PDO of a present child and what was found; copies the child's
    // address description into `address` when given.
    Device* retrievePdo(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* identification,
                        WDF_CHILD_ADDRESS_DESCRIPTION_HEADER* address,
                        WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS* status);
    // Asks the PnP manager to eject a present child that has its PDO; false when there is none.
    // The child is reported missing once its PDO got REMOVE_DEVICE.
    bool requestEject(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* identification);
    // The eject's removal was vetoed (the PDO got CANCEL_REMOVE_DEVICE): the child stays.
    void ejectCancelled(Device& pdo);
    // A child's driver asked to be enumerated afresh. Unless EvtChildListDeviceReenumerated
    // refuses, the PDO is no longer reported (the PnP manager removes it) and the description
    // gets a new PDO at the next relations query.
    void reenumerate(Device& pdo);

    // IRP_MN_QUERY_DEVICE_RELATIONS (BusRelations) of the parent: creates PDOs for new
    // children and returns the present ones, each referenced. PnP context only.
    DEVICE_RELATIONS* reportRelations();
    // A PDO of this list got REMOVE_DEVICE. It is deleted once no device is attached to it
    // (its function driver's stack detaches after passing the IRP down): at the next
    // relations query, or at the parent's removal.
    void pdoRemoved(Device& pdo);
    // The parent's removal: every PDO left is deleted and every description dropped.
    void removeAll();

    // Copies a description with the driver's callbacks, else byte for byte.
    NTSTATUS copyIdentification(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* source,
                                WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* destination);

  private:
    struct Entry {
        std::vector<unsigned char> identification;
        std::vector<unsigned char> address;
        bool present = true;
        bool seen = true;
        bool ejecting = false;  // reported missing at its PDO's removal
        Device* pdo = nullptr;
    };

    bool matches(const Entry& entry,
                 const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* identification);
    NTSTATUS copyAddress(const WDF_CHILD_ADDRESS_DESCRIPTION_HEADER* source,
                         std::vector<unsigned char>* destination);
    void cleanup(Entry& entry);
    void cleanupAddress(std::vector<unsigned char>& address);
    // The present entry with that identification or PDO, or nullptr; with `mutex_` held.
    Entry* presentEntry(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* identification);
    Entry* presentEntry(const Device& pdo);
    // Asks the PnP manager for a new relations query when something changed outside a scan.
    void invalidateIfChanged();
    Device* createPdo(Entry& entry, NTSTATUS* status);
    void deleteRemovedPdos();

    Device& device_;
    const WDF_CHILD_LIST_CONFIG config_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Entry>> entries_;
    int scans_ = 0;
    bool changed_ = false;
    std::vector<Device*> removedPdos_;
};

}  // namespace vel::wdf
