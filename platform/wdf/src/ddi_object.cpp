// Object calls: contexts, references, generic objects and deletion.
#include "ddi.h"
#include "ddi_support.h"
#include "vel/runtime/faults.h"

namespace vel::wdf {

namespace {

class GenericObject : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::Generic;
    explicit GenericObject(Binding& binding) : Object(kType, binding) {}
};

}  // namespace

namespace ddi {

PVOID WdfObjectGetTypedContextWorker(PWDF_DRIVER_GLOBALS DriverGlobals, WDFOBJECT Handle,
                                     PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    Object* object = lookup<Object>(Handle, "WdfObjectGetTypedContextWorker");
    return object != nullptr ? object->context(TypeInfo) : nullptr;
}

NTSTATUS WdfObjectAllocateContext(PWDF_DRIVER_GLOBALS DriverGlobals, WDFOBJECT Handle,
                                  PWDF_OBJECT_ATTRIBUTES ContextAttributes, PVOID* Context) {
    Object* object = lookup<Object>(Handle, "WdfObjectAllocateContext");
    if (object == nullptr || ContextAttributes == nullptr || Context == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Context = nullptr;
    if (NTSTATUS status = validateAttributes(ContextAttributes); !NT_SUCCESS(status)) {
        return status;
    }
    if (ContextAttributes->ContextTypeInfo == nullptr) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    // Only a context (and its callbacks) can be added; the object's parent is fixed.
    if (ContextAttributes->ParentObject != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return object->addContext(*ContextAttributes, Context);
}

WDFOBJECT WdfObjectContextGetObject(PWDF_DRIVER_GLOBALS DriverGlobals, PVOID ContextPointer) {
    FrameworkState& state = frameworkState();
    {
        std::lock_guard lock(state.mutex);
        auto it = state.contextOwners.find(ContextPointer);
        if (it != state.contextOwners.end()) {
            return it->second->handle();
        }
    }
    char text[64];
    std::snprintf(text, sizeof text, "context %p", ContextPointer);
    reportViolation(rt::Rule::InvalidHandle, text,
                    "WdfObjectContextGetObject: not the context of a live object");
    return nullptr;
}

VOID WdfObjectReferenceActual(PWDF_DRIVER_GLOBALS DriverGlobals, WDFOBJECT Handle, PVOID Tag,
                              LONG Line, PCCHAR File) {
    if (Object* object = lookup<Object>(Handle, "WdfObjectReference")) {
        object->addRef(Tag);
    }
}

VOID WdfObjectDereferenceActual(PWDF_DRIVER_GLOBALS DriverGlobals, WDFOBJECT Handle, PVOID Tag,
                                LONG Line, PCCHAR File) {
    Object* object = lookup<Object>(Handle, "WdfObjectDereference");
    if (object == nullptr) {
        return;
    }
    if (!object->releaseByDriver(Tag)) {
        reportViolation(rt::Rule::ContractViolation, object->describe(),
                        std::string("WdfObjectDereference below the creation reference at ") +
                            (File != nullptr ? File : "?") + ":" + std::to_string(Line));
    }
}

NTSTATUS WdfObjectCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PWDF_OBJECT_ATTRIBUTES Attributes,
                         WDFOBJECT* Object) {
    Binding* binding = callerBinding(DriverGlobals, "WdfObjectCreate");
    if (binding == nullptr || Object == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Object = nullptr;
    if (NTSTATUS status = validateAttributes(Attributes); !NT_SUCCESS(status)) {
        return status;
    }
    vel::wdf::Object* parent = nullptr;
    if (NTSTATUS status = resolveParent(*binding, Attributes, false, &parent);
        !NT_SUCCESS(status)) {
        return status;
    }
    if (injectFault(rt::fault::kObjectCreate)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    vel::wdf::Object* published = nullptr;
    NTSTATUS status =
        publish(std::make_unique<GenericObject>(*binding), Attributes, parent, &published);
    if (NT_SUCCESS(status)) {
        *Object = published->handle();
    }
    return status;
}

// Deletion disposes the whole tree now. Trees holding objects whose teardown waits (timers,
// work items) are disposed on a system worker when deleted above passive level.
VOID WdfObjectDelete(PWDF_DRIVER_GLOBALS DriverGlobals, WDFOBJECT Object) {
    vel::wdf::Object* object = lookup<vel::wdf::Object>(Object, "WdfObjectDelete");
    if (object == nullptr) {
        return;
    }
    if (!object->deletable()) {
        reportViolation(rt::Rule::ContractViolation, object->describe(),
                        "WdfObjectDelete on an object the framework deletes");
        return;
    }
    if (object->deleted()) {
        reportViolation(rt::Rule::UseAfterDelete, object->describe(),
                        "WdfObjectDelete: the object was deleted already");
        return;
    }
    if (rt::currentIrql() != rt::Irql::Passive && object->treeNeedsPassiveDispose()) {
        object->addRef();
        auto pending = object->binding().deferredDeletes;
        pending->add();
        frameworkState().runtime.queueWorkItem([object, pending] {
            object->dispose();
            object->release();
            pending->done();
        });
        return;
    }
    object->dispose();
}

}  // namespace ddi
}  // namespace vel::wdf
