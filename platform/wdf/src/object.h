// The framework object model: every WDF handle designates an Object. Objects form a tree under
// their driver (parent/child), carry typed zero-filled contexts, and live by reference count:
// deletion (dispose) runs the tree's cleanup child-first at once; an object is destroyed, and
// its destroy callbacks run, when its last reference is gone and its children are destroyed.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vel_wdf.h"

namespace vel::wdf {

struct Binding;
struct FrameworkState;

enum class ObjectType {
    Driver,
    Device,
    Generic,
    Memory,
    Collection,
    String,
    SpinLock,
    WaitLock,
    Timer,
    WorkItem,
    Key,
    Queue,
    Request,
    IoTarget,
    FileObject,
    ChildList,
    WmiProvider,
    WmiInstance,
    UsbDevice,  // an I/O target too
    UsbInterface,
    UsbPipe,  // an I/O target too
};

const char* typeName(ObjectType type);  // the handle type, e.g. "WDFMEMORY"
// True when an object of type `actual` answers to a handle of type `wanted` (USB device and pipe
// handles are I/O target handles as well).
bool isKindOf(ObjectType actual, ObjectType wanted);

// The lock that serialises an object's callbacks with its parent's (synchronisation scope).
// Devices and queues provide one; timers and work items with AutomaticSerialization take it
// around their callbacks.
class CallbackLock {
  public:
    virtual ~CallbackLock() = default;
    virtual void acquire() = 0;
    virtual void release() = 0;
    virtual WDF_EXECUTION_LEVEL executionLevel() const = 0;
    // True when the calling thread holds the lock (taking it again would deadlock).
    virtual bool heldHere() const = 0;
};

class Object {
  public:
    Object(ObjectType type, Binding& binding);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    ObjectType type() const { return type_; }
    WDFOBJECT handle() const { return handle_; }
    Binding& binding() const { return binding_; }
    Object* parent() const { return parent_; }
    // "WDFTIMER 0x2a05"
    std::string describe() const;

    WDF_EXECUTION_LEVEL executionLevel() const { return executionLevel_; }
    WDF_SYNCHRONIZATION_SCOPE synchronizationScope() const { return synchronizationScope_; }
    // The nearest lock of this object or an ancestor that serialises callbacks, if any.
    virtual CallbackLock* callbackLock() {
        return parent_ != nullptr ? parent_->callbackLock() : nullptr;
    }

    // True for this object or one of its ancestors being of `type`.
    bool descendsFrom(ObjectType type) const;

    // Objects the driver may not delete with WdfObjectDelete (the framework disposes them).
    bool deletable() const { return deletable_; }
    // True once deletion has started (the handle stays usable while references remain).
    bool deleted() const;

    // ----- Contexts ---------------------------------------------------------------------------
    // The context of that type (matched by UniqueType), or nullptr.
    void* context(PCWDF_OBJECT_CONTEXT_TYPE_INFO type) const;
    // Adds a context and the attributes' callbacks. STATUS_OBJECT_NAME_EXISTS (with the
    // existing context) when the object already has one of that type.
    NTSTATUS addContext(const WDF_OBJECT_ATTRIBUTES& attributes, void** context);

    // ----- References -------------------------------------------------------------------------
    void addRef(const void* tag = nullptr);
    void release(const void* tag = nullptr);
    // A driver's WdfObjectDereference: refuses (returns false) to drop the creation reference
    // of an object that is not deleted.
    bool releaseByDriver(const void* tag);
    long references() const;
    std::string referenceSummary() const;  // count and tags, for leak reports

    // ----- Deletion ---------------------------------------------------------------------------
    // Disposes this object's tree: children first, then this object's own teardown and cleanup
    // callbacks; then drops the creation reference. A no-op when deletion already started.
    void dispose();
    // True when this object or a descendant must be disposed at passive level.
    bool treeNeedsPassiveDispose() const;

    // Destroys without callbacks (leaked objects of an unloaded driver).
    static void discard(Object* object);

  protected:
    // Type-specific teardown, run by dispose() before the cleanup callbacks (children are
    // disposed already). Timers stop, work items wait, collections drop their references.
    virtual void onDispose() {}
    virtual bool needsPassiveDispose() const { return false; }
    void setDeletable(bool deletable) { deletable_ = deletable; }

    FrameworkState& state() const { return state_; }

  private:
    friend NTSTATUS publish(std::unique_ptr<Object>, const WDF_OBJECT_ATTRIBUTES*, Object*,
                            Object**);
    struct Context {
        PCWDF_OBJECT_CONTEXT_TYPE_INFO type = nullptr;  // nullptr: callbacks only
        PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
        PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;
        std::unique_ptr<std::max_align_t[]> data;
    };
    enum class Phase { Alive, Disposing, Disposed, Destroying };

    bool readyToDestroyLocked() const;
    static void destroy(Object* object);
    Context makeContext(const WDF_OBJECT_ATTRIBUTES& attributes) const;

    const ObjectType type_;
    Binding& binding_;
    FrameworkState& state_;
    WDFOBJECT handle_ = nullptr;
    Object* parent_ = nullptr;
    bool deletable_ = true;
    WDF_EXECUTION_LEVEL executionLevel_ = WdfExecutionLevelInheritFromParent;
    WDF_SYNCHRONIZATION_SCOPE synchronizationScope_ = WdfSynchronizationScopeInheritFromParent;

    // Guarded by the framework's object lock.
    Phase phase_ = Phase::Alive;
    long references_ = 1;  // the creation reference
    std::map<const void*, long> tags_;
    std::vector<Object*> children_;  // in creation order; removed when a child is destroyed
    std::vector<Context> contexts_;
};

// Checks a driver's attributes: size, context type, execution level and scope values.
NTSTATUS validateAttributes(const WDF_OBJECT_ATTRIBUTES* attributes);

// The parent an object gets: the attributes' ParentObject, else the binding's driver.
// STATUS_WDF_PARENT_NOT_SPECIFIED when `required` and none was given; an invalid or deleted
// parent handle is reported to the verifier and fails.
NTSTATUS resolveParent(Binding& binding, const WDF_OBJECT_ATTRIBUTES* attributes, bool required,
                       Object** parent);

// Makes a new object visible: gives it a handle, its first context and callbacks from
// `attributes` (may be null), and links it under `parent` (null only for the driver object).
// STATUS_DELETE_PENDING when the parent is being deleted. On failure the object is freed.
NTSTATUS publish(std::unique_ptr<Object> object, const WDF_OBJECT_ATTRIBUTES* attributes,
                 Object* parent, Object** published);

}  // namespace vel::wdf
