#include "object.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "driver.h"
#include "framework_state.h"

namespace vel::wdf {

namespace {

PCWDF_OBJECT_CONTEXT_TYPE_INFO uniqueType(PCWDF_OBJECT_CONTEXT_TYPE_INFO type) {
    return type != nullptr && type->UniqueType != nullptr ? type->UniqueType : type;
}

}  // namespace

const char* typeName(ObjectType type) {
    switch (type) {
        case ObjectType::Driver:
            return "WDFDRIVER";
        case ObjectType::Device:
            return "WDFDEVICE";
        case ObjectType::Generic:
            return "WDFOBJECT";
        case ObjectType::Memory:
            return "WDFMEMORY";
        case ObjectType::Collection:
            return "WDFCOLLECTION";
        case ObjectType::String:
            return "WDFSTRING";
        case ObjectType::SpinLock:
            return "WDFSPINLOCK";
        case ObjectType::WaitLock:
            return "WDFWAITLOCK";
        case ObjectType::Timer:
            return "WDFTIMER";
        case ObjectType::WorkItem:
            return "WDFWORKITEM";
        case ObjectType::Key:
            return "WDFKEY";
        case ObjectType::Queue:
            return "WDFQUEUE";
        case ObjectType::Request:
            return "WDFREQUEST";
        case ObjectType::IoTarget:
            return "WDFIOTARGET";
        case ObjectType::FileObject:
            return "WDFFILEOBJECT";
        case ObjectType::ChildList:
            return "WDFCHILDLIST";
        case ObjectType::WmiProvider:
            return "WDFWMIPROVIDER";
        case ObjectType::WmiInstance:
            return "WDFWMIINSTANCE";
        case ObjectType::UsbDevice:
            return "WDFUSBDEVICE";
        case ObjectType::UsbInterface:
            return "WDFUSBINTERFACE";
        case ObjectType::UsbPipe:
            return "WDFUSBPIPE";
    }
    return "WDFOBJECT";
}

bool isKindOf(ObjectType actual, ObjectType wanted) {
    return actual == wanted || (wanted == ObjectType::IoTarget &&
                                (actual == ObjectType::UsbDevice || actual == ObjectType::UsbPipe));
}

Object::Object(ObjectType type, Binding& binding)
    : type_(type), binding_(binding), state_(frameworkState()) {}

Object::~Object() = default;

std::string Object::describe() const {
    char text[64];
    std::snprintf(text, sizeof text, "%s %p", typeName(type_), handle_);
    return text;
}

bool Object::descendsFrom(ObjectType type) const {
    for (const Object* o = this; o != nullptr; o = o->parent_) {
        if (o->type_ == type) {
            return true;
        }
    }
    return false;
}

bool Object::deleted() const {
    std::lock_guard lock(state_.mutex);
    return phase_ != Phase::Alive;
}

// ----- Contexts -------------------------------------------------------------------------------

Object::Context Object::makeContext(const WDF_OBJECT_ATTRIBUTES& attributes) const {
    Context context;
    context.cleanup = attributes.EvtCleanupCallback;
    context.destroy = attributes.EvtDestroyCallback;
    if (attributes.ContextTypeInfo != nullptr) {
        context.type = uniqueType(attributes.ContextTypeInfo);
        // An override only ever enlarges the context (a trailing variable-length part).
        const size_t bytes =
            std::max(attributes.ContextTypeInfo->ContextSize, attributes.ContextSizeOverride);
        const size_t units =
            std::max<size_t>(1, (bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
        context.data.reset(new std::max_align_t[units]);
        // Byte-wise: value-initialising max_align_t would leave its padding undefined.
        std::memset(context.data.get(), 0, units * sizeof(std::max_align_t));
    }
    return context;
}

void* Object::context(PCWDF_OBJECT_CONTEXT_TYPE_INFO type) const {
    if (type == nullptr) {
        return nullptr;
    }
    const auto wanted = uniqueType(type);
    std::lock_guard lock(state_.mutex);
    for (const Context& c : contexts_) {
        if (c.type != nullptr && c.type == wanted) {
            return c.data.get();
        }
    }
    return nullptr;
}

NTSTATUS Object::addContext(const WDF_OBJECT_ATTRIBUTES& attributes, void** context) {
    Context added = makeContext(attributes);
    std::lock_guard lock(state_.mutex);
    if (phase_ != Phase::Alive) {
        return STATUS_DELETE_PENDING;
    }
    for (const Context& c : contexts_) {
        if (c.type != nullptr && c.type == added.type) {
            *context = c.data.get();
            return STATUS_OBJECT_NAME_EXISTS;
        }
    }
    *context = added.data.get();
    state_.contextOwners[added.data.get()] = this;
    contexts_.push_back(std::move(added));
    return STATUS_SUCCESS;
}

// ----- References -----------------------------------------------------------------------------

void Object::addRef(const void* tag) {
    std::lock_guard lock(state_.mutex);
    ++references_;
    if (tag != nullptr) {
        ++tags_[tag];
    }
}

void Object::release(const void* tag) {
    {
        std::lock_guard lock(state_.mutex);
        --references_;
        if (tag != nullptr) {
            auto it = tags_.find(tag);
            if (it != tags_.end() && --it->second == 0) {
                tags_.erase(it);
            }
        }
        if (!readyToDestroyLocked()) {
            return;
        }
        phase_ = Phase::Destroying;
    }
    destroy(this);
}

bool Object::releaseByDriver(const void* tag) {
    {
        std::lock_guard lock(state_.mutex);
        if (phase_ == Phase::Alive && references_ <= 1) {
            return false;
        }
    }
    release(tag);
    return true;
}

long Object::references() const {
    std::lock_guard lock(state_.mutex);
    return references_;
}

std::string Object::referenceSummary() const {
    std::lock_guard lock(state_.mutex);
    std::string text = std::to_string(references_) + " reference(s)";
    for (const auto& [tag, count] : tags_) {
        char entry[64];
        std::snprintf(entry, sizeof entry, ", tag %p x%ld", tag, count);
        text += entry;
    }
    return text;
}

bool Object::readyToDestroyLocked() const {
    return references_ == 0 && children_.empty() && phase_ == Phase::Disposed;
}

// Destroy callbacks run while the handle is still valid (they commonly read the context), then
// the object leaves the table and its parent; a parent waiting only for this child follows.
void Object::destroy(Object* object) {
    while (object != nullptr) {
        for (const Context& c : object->contexts_) {
            if (c.destroy != nullptr) {
                c.destroy(object->handle_);
            }
        }
        Object* parent = nullptr;
        {
            std::lock_guard lock(object->state_.mutex);
            if (Object* p = object->parent_) {
                std::erase(p->children_, object);
                if (p->readyToDestroyLocked()) {
                    p->phase_ = Phase::Destroying;
                    parent = p;
                }
            }
            for (const Context& c : object->contexts_) {
                object->state_.contextOwners.erase(c.data.get());
            }
            object->state_.handles.remove(object->handle_);
        }
        delete object;
        object = parent;
    }
}

void Object::discard(Object* object) {
    {
        std::lock_guard lock(object->state_.mutex);
        for (const Context& c : object->contexts_) {
            object->state_.contextOwners.erase(c.data.get());
        }
        object->state_.handles.remove(object->handle_);
    }
    delete object;
}

// ----- Deletion -------------------------------------------------------------------------------

void Object::dispose() {
    std::vector<Object*> children;
    {
        std::lock_guard lock(state_.mutex);
        if (phase_ != Phase::Alive) {
            return;
        }
        phase_ = Phase::Disposing;
        // Newest child first: later objects may use earlier siblings while they shut down.
        children.assign(children_.rbegin(), children_.rend());
        for (Object* child : children) {
            ++child->references_;
        }
    }
    for (Object* child : children) {
        child->dispose();
        child->release();
    }
    onDispose();
    for (const Context& c : contexts_) {
        if (c.cleanup != nullptr) {
            c.cleanup(handle_);
        }
    }
    {
        std::lock_guard lock(state_.mutex);
        phase_ = Phase::Disposed;
    }
    release();
}

bool Object::treeNeedsPassiveDispose() const {
    if (needsPassiveDispose()) {
        return true;
    }
    std::vector<Object*> children;
    {
        std::lock_guard lock(state_.mutex);
        children = children_;
    }
    return std::any_of(children.begin(), children.end(),
                       [](const Object* c) { return c->treeNeedsPassiveDispose(); });
}

// ----- Creation -------------------------------------------------------------------------------

NTSTATUS validateAttributes(const WDF_OBJECT_ATTRIBUTES* attributes) {
    if (attributes == nullptr) {
        return STATUS_SUCCESS;
    }
    if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (attributes->ContextTypeInfo == nullptr && attributes->ContextSizeOverride != 0) {
        return STATUS_WDF_OBJECT_ATTRIBUTES_INVALID;
    }
    // Read as integers: a driver may store any value, outside the enumerations' ranges.
    int level;
    int scope;
    static_assert(sizeof level == sizeof attributes->ExecutionLevel &&
                  sizeof scope == sizeof attributes->SynchronizationScope);
    std::memcpy(&level, &attributes->ExecutionLevel, sizeof level);
    std::memcpy(&scope, &attributes->SynchronizationScope, sizeof scope);
    if (level < WdfExecutionLevelInheritFromParent || level > WdfExecutionLevelDispatch ||
        scope < WdfSynchronizationScopeInheritFromParent || scope > WdfSynchronizationScopeNone) {
        return STATUS_WDF_OBJECT_ATTRIBUTES_INVALID;
    }
    return STATUS_SUCCESS;
}

NTSTATUS resolveParent(Binding& binding, const WDF_OBJECT_ATTRIBUTES* attributes, bool required,
                       Object** parent) {
    WDFOBJECT handle = attributes != nullptr ? attributes->ParentObject : nullptr;
    if (handle == nullptr) {
        if (required) {
            return STATUS_WDF_PARENT_NOT_SPECIFIED;
        }
        if (binding.driver == nullptr) {
            // Objects need a driver to hang from: none exists before WdfDriverCreate.
            return STATUS_INVALID_DEVICE_STATE;
        }
        *parent = binding.driver;
        return STATUS_SUCCESS;
    }
    FrameworkState& state = frameworkState();
    HandleTable::Lookup found;
    {
        std::lock_guard lock(state.mutex);
        found = state.handles.find(handle);
    }
    if (found.state != HandleTable::State::Valid) {
        char text[64];
        std::snprintf(text, sizeof text, "parent %p", handle);
        reportViolation(found.state == HandleTable::State::Stale ? rt::Rule::UseAfterDelete
                                                                 : rt::Rule::InvalidHandle,
                        text, "object created with a parent that is not a live object");
        return STATUS_INVALID_HANDLE;
    }
    *parent = found.object;
    return STATUS_SUCCESS;
}

NTSTATUS publish(std::unique_ptr<Object> object, const WDF_OBJECT_ATTRIBUTES* attributes,
                 Object* parent, Object** published) {
    FrameworkState& state = object->state_;
    Object::Context first;
    if (attributes != nullptr) {
        object->executionLevel_ = attributes->ExecutionLevel;
        object->synchronizationScope_ = attributes->SynchronizationScope;
        first = object->makeContext(*attributes);
    }
    std::lock_guard lock(state.mutex);
    if (parent != nullptr) {
        if (parent->phase_ != Object::Phase::Alive) {
            return STATUS_DELETE_PENDING;
        }
        parent->children_.push_back(object.get());
        object->parent_ = parent;
    }
    if (first.cleanup != nullptr || first.destroy != nullptr || first.data != nullptr) {
        if (first.data != nullptr) {
            state.contextOwners[first.data.get()] = object.get();
        }
        object->contexts_.push_back(std::move(first));
    }
    object->handle_ = state.handles.insert(object.get());
    *published = object.release();
    return STATUS_SUCCESS;
}

}  // namespace vel::wdf
