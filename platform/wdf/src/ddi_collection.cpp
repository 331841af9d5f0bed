// Collections: ordered lists of object references.
#include <mutex>
#include <vector>

#include "ddi.h"
#include "ddi_support.h"
#include "vel/runtime/faults.h"

namespace vel::wdf {

namespace {

// Each entry holds one reference on its object; the same object may be added more than once.
class Collection : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::Collection;
    explicit Collection(Binding& binding) : Object(kType, binding) {}

    void add(Object* object) {
        object->addRef();
        std::lock_guard lock(mutex_);
        items_.push_back(object);
    }
    // The entry taken out, or nullptr when there is none at that index.
    Object* takeAt(size_t index) {
        std::lock_guard lock(mutex_);
        if (index >= items_.size()) {
            return nullptr;
        }
        Object* object = items_[index];
        items_.erase(items_.begin() + static_cast<ptrdiff_t>(index));
        return object;
    }
    Object* take(Object* object) {
        std::lock_guard lock(mutex_);
        auto it = std::find(items_.begin(), items_.end(), object);
        if (it == items_.end()) {
            return nullptr;
        }
        items_.erase(it);
        return object;
    }
    Object* at(size_t index) const {
        std::lock_guard lock(mutex_);
        return index < items_.size() ? items_[index] : nullptr;
    }
    size_t count() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }

  protected:
    void onDispose() override {
        std::vector<Object*> items;
        {
            std::lock_guard lock(mutex_);
            items.swap(items_);
        }
        for (Object* object : items) {
            object->release();
        }
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Object*> items_;
};

WDFOBJECT handleOf(const Object* object) {
    return object != nullptr ? object->handle() : nullptr;
}

}  // namespace

namespace ddi {

NTSTATUS WdfCollectionCreate(PWDF_DRIVER_GLOBALS DriverGlobals,
                             PWDF_OBJECT_ATTRIBUTES CollectionAttributes,
                             WDFCOLLECTION* Collection) {
    Binding* binding = callerBinding(DriverGlobals, "WdfCollectionCreate");
    if (binding == nullptr || Collection == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Collection = nullptr;
    if (NTSTATUS status = validateAttributes(CollectionAttributes); !NT_SUCCESS(status)) {
        return status;
    }
    Object* parent = nullptr;
    if (NTSTATUS status = resolveParent(*binding, CollectionAttributes, false, &parent);
        !NT_SUCCESS(status)) {
        return status;
    }
    if (injectFault(rt::fault::kCollectionCreate)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Object* published = nullptr;
    NTSTATUS status = publish(std::make_unique<vel::wdf::Collection>(*binding),
                              CollectionAttributes, parent, &published);
    if (NT_SUCCESS(status)) {
        *Collection = static_cast<WDFCOLLECTION>(published->handle());
    }
    return status;
}

ULONG WdfCollectionGetCount(PWDF_DRIVER_GLOBALS DriverGlobals, WDFCOLLECTION Collection) {
    auto* collection = lookup<vel::wdf::Collection>(Collection, "WdfCollectionGetCount");
    return collection != nullptr ? static_cast<ULONG>(collection->count()) : 0;
}

// STATUS_UNSUCCESSFUL is the framework's answer when the entry cannot be allocated.
NTSTATUS WdfCollectionAdd(PWDF_DRIVER_GLOBALS DriverGlobals, WDFCOLLECTION Collection,
                          WDFOBJECT Object) {
    auto* collection = lookup<vel::wdf::Collection>(Collection, "WdfCollectionAdd");
    if (collection == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* object = lookup<vel::wdf::Object>(Object, "WdfCollectionAdd");
    if (object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (injectFault(rt::fault::kCollectionAdd)) {
        return STATUS_UNSUCCESSFUL;
    }
    collection->add(object);
    return STATUS_SUCCESS;
}

VOID WdfCollectionRemove(PWDF_DRIVER_GLOBALS DriverGlobals, WDFCOLLECTION Collection,
                         WDFOBJECT Item) {
    auto* collection = lookup<vel::wdf::Collection>(Collection, "WdfCollectionRemove");
    if (collection == nullptr) {
        return;
    }
    auto* object = lookup<vel::wdf::Object>(Item, "WdfCollectionRemove");
    if (object == nullptr) {
        return;
    }
    if (collection->take(object) == nullptr) {
        reportViolation(rt::Rule::ContractViolation, collection->describe(),
                        "WdfCollectionRemove: " + object->describe() + " is not in the collection");
        return;
    }
    object->release();
}

VOID WdfCollectionRemoveItem(PWDF_DRIVER_GLOBALS DriverGlobals, WDFCOLLECTION Collection,
                             ULONG Index) {
    auto* collection = lookup<vel::wdf::Collection>(Collection, "WdfCollectionRemoveItem");
    if (collection == nullptr) {
        return;
    }
    Object* object = collection->takeAt(Index);
    if (object == nullptr) {
        reportViolation(
            rt::Rule::ContractViolation, collection->describe(),
            "WdfCollectionRemoveItem: index " + std::to_string(Index) + " is out of range");
        return;
    }
    object->release();
}

WDFOBJECT WdfCollectionGetItem(PWDF_DRIVER_GLOBALS DriverGlobals, WDFCOLLECTION Collection,
                               ULONG Index) {
    auto* collection = lookup<vel::wdf::Collection>(Collection, "WdfCollectionGetItem");
    return collection != nullptr ? handleOf(collection->at(Index)) : nullptr;
}

WDFOBJECT WdfCollectionGetFirstItem(PWDF_DRIVER_GLOBALS DriverGlobals, WDFCOLLECTION Collection) {
    auto* collection = lookup<vel::wdf::Collection>(Collection, "WdfCollectionGetFirstItem");
    return collection != nullptr ? handleOf(collection->at(0)) : nullptr;
}

WDFOBJECT WdfCollectionGetLastItem(PWDF_DRIVER_GLOBALS DriverGlobals, WDFCOLLECTION Collection) {
    auto* collection = lookup<vel::wdf::Collection>(Collection, "WdfCollectionGetLastItem");
    if (collection == nullptr) {
        return nullptr;
    }
    const size_t count = collection->count();
    return count != 0 ? handleOf(collection->at(count - 1)) : nullptr;
}

}  // namespace ddi
}  // namespace vel::wdf
