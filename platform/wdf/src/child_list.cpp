#include "child_list.h"

#include <cstring>

#include "device.h"

namespace vel::wdf {

NTSTATUS ChildList::create(Device& device, const WDF_CHILD_LIST_CONFIG& config,
                           const WDF_OBJECT_ATTRIBUTES* attributes, ChildList** list) {
    WDF_OBJECT_ATTRIBUTES own = attributes != nullptr ? *attributes : WDF_OBJECT_ATTRIBUTES{};
    own.ParentObject = nullptr;
    Object* published = nullptr;
    NTSTATUS status = publish(std::make_unique<ChildList>(device.binding(), device, config),
                              attributes != nullptr && attributes->Size != 0 ? &own : nullptr,
                              &device, &published);
    if (NT_SUCCESS(status)) {
        *list = static_cast<ChildList*>(published);
    }
    return status;
}

ChildList::~ChildList() {
    for (auto& entry : entries_) {
        cleanup(*entry);
    }
}

bool ChildList::matches(const Entry& entry,
                        const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* identification) {
    auto* stored = const_cast<WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER*>(
        reinterpret_cast<const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER*>(
            entry.identification.data()));
    if (config_.EvtChildListIdentificationDescriptionCompare != nullptr) {
        return config_.EvtChildListIdentificationDescriptionCompare(
                   static_cast<WDFCHILDLIST>(handle()), stored,
                   const_cast<WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER*>(identification)) !=
               FALSE;
    }
    // The whole description, header and padding included.
    return std::memcmp(stored, identification, config_.IdentificationDescriptionSize) == 0;
}

NTSTATUS ChildList::copyIdentification(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* source,
                                       WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* destination) {
    auto* from = const_cast<WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER*>(source);
    if (config_.EvtChildListIdentificationDescriptionDuplicate != nullptr) {
        return config_.EvtChildListIdentificationDescriptionDuplicate(
            static_cast<WDFCHILDLIST>(handle()), from, destination);
    }
    if (config_.EvtChildListIdentificationDescriptionCopy != nullptr) {
        config_.EvtChildListIdentificationDescriptionCopy(static_cast<WDFCHILDLIST>(handle()), from,
                                                          destination);
        return STATUS_SUCCESS;
    }
    std::memcpy(destination, source, config_.IdentificationDescriptionSize);
    return STATUS_SUCCESS;
}

NTSTATUS ChildList::copyAddress(const WDF_CHILD_ADDRESS_DESCRIPTION_HEADER* source,
                                std::vector<unsigned char>* destination) {
    if (config_.AddressDescriptionSize == 0) {
        return STATUS_SUCCESS;
    }
    destination->assign(config_.AddressDescriptionSize, 0);
    auto* from = const_cast<WDF_CHILD_ADDRESS_DESCRIPTION_HEADER*>(source);
    auto* to = reinterpret_cast<WDF_CHILD_ADDRESS_DESCRIPTION_HEADER*>(destination->data());
    if (config_.EvtChildListAddressDescriptionDuplicate != nullptr) {
        return config_.EvtChildListAddressDescriptionDuplicate(static_cast<WDFCHILDLIST>(handle()),
                                                               from, to);
    }
    if (config_.EvtChildListAddressDescriptionCopy != nullptr) {
        config_.EvtChildListAddressDescriptionCopy(static_cast<WDFCHILDLIST>(handle()), from, to);
        return STATUS_SUCCESS;
    }
    std::memcpy(to, source, config_.AddressDescriptionSize);
    return STATUS_SUCCESS;
}

void ChildList::cleanupAddress(std::vector<unsigned char>& address) {
    if (config_.EvtChildListAddressDescriptionCleanup != nullptr && !address.empty()) {
        config_.EvtChildListAddressDescriptionCleanup(
            static_cast<WDFCHILDLIST>(handle()),
            reinterpret_cast<WDF_CHILD_ADDRESS_DESCRIPTION_HEADER*>(address.data()));
    }
    address.clear();
}

void ChildList::cleanup(Entry& entry) {
    if (config_.EvtChildListIdentificationDescriptionCleanup != nullptr &&
        !entry.identification.empty()) {
        config_.EvtChildListIdentificationDescriptionCleanup(
            static_cast<WDFCHILDLIST>(handle()),
            reinterpret_cast<WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER*>(
                entry.identification.data()));
    }
    cleanupAddress(entry.address);
    entry.identification.clear();
}

ChildList::Entry* ChildList::presentEntry(
    const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* identification) {
    for (auto& entry : entries_) {
        if (entry->present && matches(*entry, identification)) {
            return entry.get();
        }
    }
    return nullptr;
}

ChildList::Entry* ChildList::presentEntry(const Device& pdo) {
    for (auto& entry : entries_) {
        if (entry->present && entry->pdo == &pdo) {
            return entry.get();
        }
    }
    return nullptr;
}

void ChildList::beginScan() {
    std::lock_guard lock(mutex_);
    if (scans_++ == 0) {
        for (auto& entry : entries_) {
            entry->seen = false;
        }
    }
}

void ChildList::endScan() {
    {
        std::lock_guard lock(mutex_);
        if (scans_ == 0 || --scans_ > 0) {
            return;
        }
        for (auto& entry : entries_) {
            if (entry->present && !entry->seen) {
                entry->present = false;
                changed_ = true;
            }
        }
    }
    invalidateIfChanged();
}

NTSTATUS ChildList::addOrUpdate(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* identification,
                                const WDF_CHILD_ADDRESS_DESCRIPTION_HEADER* address) {
    if (identification == nullptr ||
        identification->IdentificationDescriptionSize != config_.IdentificationDescriptionSize) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const bool wantsAddress = config_.AddressDescriptionSize != 0;
    if (wantsAddress != (address != nullptr) ||
        (address != nullptr && address->AddressDescriptionSize != config_.AddressDescriptionSize)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    {
        std::lock_guard lock(mutex_);
        for (auto& entry : entries_) {
            if (entry->present && matches(*entry, identification)) {
                entry->seen = true;
                if (address != nullptr) {
                    copyAddress(address, &entry->address);
                }
                return STATUS_OBJECT_NAME_EXISTS;
            }
        }
        auto entry = std::make_unique<Entry>();
        entry->identification.assign(config_.IdentificationDescriptionSize, 0);
        NTSTATUS status = copyIdentification(
            identification, reinterpret_cast<WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER*>(
                                entry->identification.data()));
        if (NT_SUCCESS(status) && address != nullptr) {
            status = copyAddress(address, &entry->address);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        entries_.push_back(std::move(entry));
        changed_ = true;
    }
    invalidateIfChanged();
    return STATUS_SUCCESS;
}

NTSTATUS ChildList::markMissing(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* identification) {
    if (identification == nullptr ||
        identification->IdentificationDescriptionSize != config_.IdentificationDescriptionSize) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(entries_.begin(), entries_.end(), [&](const auto& entry) {
            return entry->present && matches(*entry, identification);
        });
        if (it == entries_.end()) {
            return STATUS_NO_SUCH_DEVICE;
        }
        (*it)->present = false;
        changed_ = true;
    }
    invalidateIfChanged();
    return STATUS_SUCCESS;
}

Device* ChildList::pdoOf(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* identification) {
    std::lock_guard lock(mutex_);
    Entry* entry = presentEntry(identification);
    return entry != nullptr ? entry->pdo : nullptr;
}

Device* ChildList::retrievePdo(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* identification,
                               WDF_CHILD_ADDRESS_DESCRIPTION_HEADER* address,
                               WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS* status) {
    std::lock_guard lock(mutex_);
    Entry* entry = presentEntry(identification);
    if (entry == nullptr) {
        *status = WdfChildListRetrieveDeviceNoSuchDevice;
        return nullptr;
    }
    if (address != nullptr && !entry->address.empty()) {
        auto* stored =
            reinterpret_cast<WDF_CHILD_ADDRESS_DESCRIPTION_HEADER*>(entry->address.data());
        if (config_.EvtChildListAddressDescriptionCopy != nullptr) {
            config_.EvtChildListAddressDescriptionCopy(static_cast<WDFCHILDLIST>(handle()), stored,
                                                       address);
        } else {
            std::memcpy(address, stored, entry->address.size());
        }
    }
    *status = entry->pdo != nullptr ? WdfChildListRetrieveDeviceSuccess
                                    : WdfChildListRetrieveDeviceNotYetCreated;
    return entry->pdo;
}

bool ChildList::requestEject(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* identification) {
    DEVICE_OBJECT* pdo = nullptr;
    {
        std::lock_guard lock(mutex_);
        Entry* entry = presentEntry(identification);
        if (entry == nullptr || entry->pdo == nullptr) {
            return false;
        }
        entry->ejecting = true;
        pdo = entry->pdo->wdmDevice();
    }
    IoRequestDeviceEject(pdo);
    return true;
}

void ChildList::ejectCancelled(Device& pdo) {
    std::lock_guard lock(mutex_);
    if (Entry* entry = presentEntry(pdo)) {
        entry->ejecting = false;
    }
}

void ChildList::reenumerate(Device& pdo) {
    std::vector<unsigned char> oldAddress;
    std::vector<unsigned char> newAddress;
    {
        std::lock_guard lock(mutex_);
        Entry* entry = presentEntry(pdo);
        if (entry == nullptr) {
            return;
        }
        oldAddress = entry->address;
    }
    if (config_.EvtChildListDeviceReenumerated != nullptr) {
        // The callback may write a new address over a copy of the old one.
        auto* old =
            oldAddress.empty()
                ? nullptr
                : reinterpret_cast<WDF_CHILD_ADDRESS_DESCRIPTION_HEADER*>(oldAddress.data());
        if (old != nullptr && !NT_SUCCESS(copyAddress(old, &newAddress))) {
            return;
        }
        auto* fresh =
            newAddress.empty()
                ? nullptr
                : reinterpret_cast<WDF_CHILD_ADDRESS_DESCRIPTION_HEADER*>(newAddress.data());
        if (!config_.EvtChildListDeviceReenumerated(static_cast<WDFCHILDLIST>(handle()),
                                                    static_cast<WDFDEVICE>(pdo.handle()), old,
                                                    fresh)) {
            cleanupAddress(newAddress);
            return;
        }
    }
    {
        std::lock_guard lock(mutex_);
        Entry* entry = presentEntry(pdo);
        if (entry == nullptr) {
            cleanupAddress(newAddress);
            return;
        }
        if (!newAddress.empty()) {
            cleanupAddress(entry->address);
            entry->address = std::move(newAddress);
        }
        // The old PDO leaves through the PnP manager's removal (pdoRemoved finds no entry).
        entry->pdo = nullptr;
        changed_ = true;
    }
    invalidateIfChanged();
}

void ChildList::invalidateIfChanged() {
    {
        std::lock_guard lock(mutex_);
        if (scans_ > 0 || !changed_) {
            return;
        }
        changed_ = false;
    }
    if (DEVICE_OBJECT* pdo = device_.physicalDevice()) {
        IoInvalidateDeviceRelations(pdo, BusRelations);
    }
}

Device* ChildList::createPdo(Entry& entry, NTSTATUS* status) {
    WDFDEVICE_INIT init;
    init.binding = &device_.binding();
    init.pdo = std::make_unique<PdoInitData>();
    init.pdo->parent = &device_;
    init.pdo->childList = this;
    init.pdo->identification = entry.identification;
    *status = config_.EvtChildListCreateDevice(
        static_cast<WDFCHILDLIST>(handle()),
        reinterpret_cast<WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER*>(entry.identification.data()),
        &init);
    Device* created = init.created;
    if (NT_SUCCESS(*status) && created == nullptr) {
        *status = STATUS_INVALID_DEVICE_OBJECT_PARAMETER;
    }
    if (!NT_SUCCESS(*status)) {
        if (created != nullptr) {
            created->dispose();
        }
        return nullptr;
    }
    return created;
}

void ChildList::deleteRemovedPdos() {
    std::vector<Device*> gone;
    {
        std::lock_guard lock(mutex_);
        gone.swap(removedPdos_);
    }
    for (Device* pdo : gone) {
        pdo->dispose();
    }
}

DEVICE_RELATIONS* ChildList::reportRelations() {
    deleteRemovedPdos();
    if (config_.EvtChildListScanForChildren != nullptr) {
        beginScan();
        config_.EvtChildListScanForChildren(static_cast<WDFCHILDLIST>(handle()));
        {
            // This query reports the scan's outcome itself.
            std::lock_guard lock(mutex_);
            if (scans_ == 1) {
                changed_ = false;
            }
        }
        endScan();
    }
    // Missing children without a PDO are forgotten; new children get their PDO.
    std::vector<Entry*> fresh;
    {
        std::lock_guard lock(mutex_);
        for (auto it = entries_.begin(); it != entries_.end();) {
            if (!(*it)->present && (*it)->pdo == nullptr) {
                cleanup(**it);
                it = entries_.erase(it);
                continue;
            }
            if ((*it)->present && (*it)->pdo == nullptr) {
                fresh.push_back(it->get());
            }
            ++it;
        }
    }
    bool retry = false;
    for (Entry* entry : fresh) {
        NTSTATUS status;
        Device* pdo = createPdo(*entry, &status);
        std::lock_guard lock(mutex_);
        if (pdo != nullptr) {
            entry->pdo = pdo;
        } else if (status == STATUS_RETRY) {
            retry = true;  // the description stays; the next query tries again
        } else {
            entry->present = false;  // dropped at the next query
        }
    }
    if (retry) {
        if (DEVICE_OBJECT* parent = device_.physicalDevice()) {
            IoInvalidateDeviceRelations(parent, BusRelations);
        }
    }

    std::lock_guard lock(mutex_);
    std::vector<DEVICE_OBJECT*> reported;
    for (auto& entry : entries_) {
        if (entry->present && entry->pdo != nullptr) {
            reported.push_back(entry->pdo->wdmDevice());
        }
    }
    const size_t bytes = sizeof(DEVICE_RELATIONS) +
                         (reported.empty() ? 0 : reported.size() - 1) * sizeof(PDEVICE_OBJECT);
    auto* relations = static_cast<DEVICE_RELATIONS*>(
        ExAllocatePoolWithTag(PagedPool, bytes, VEL_POOL_TAG('F', 'x', 'C', 'l')));
    if (relations == nullptr) {
        return nullptr;
    }
    relations->Count = static_cast<ULONG>(reported.size());
    for (size_t i = 0; i < reported.size(); ++i) {
        relations->Objects[i] = reported[i];
        ObReferenceObject(reported[i]);
    }
    return relations;
}

void ChildList::pdoRemoved(Device& pdo) {
    {
        std::lock_guard lock(mutex_);
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if ((*it)->pdo != &pdo) {
                continue;
            }
            (*it)->pdo = nullptr;
            if ((*it)->ejecting) {
                (*it)->present = false;
            }
            if (!(*it)->present) {
                cleanup(**it);
                entries_.erase(it);
            }
            break;
        }
        if (pdo.wdmDevice() != nullptr && pdo.wdmDevice()->AttachedDevice != nullptr) {
            removedPdos_.push_back(&pdo);
            return;
        }
    }
    pdo.dispose();
}

void ChildList::removeAll() {
    deleteRemovedPdos();
    std::vector<Device*> pdos;
    {
        std::lock_guard lock(mutex_);
        for (auto& entry : entries_) {
            if (entry->pdo != nullptr) {
                pdos.push_back(entry->pdo);
            }
            cleanup(*entry);
        }
        entries_.clear();
    }
    for (Device* pdo : pdos) {
        pdo->dispose();
    }
}

}  // namespace vel::wdf
