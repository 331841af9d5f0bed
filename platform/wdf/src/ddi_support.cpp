#include "ddi_support.h"

#include <cstdio>

#include "vel/runtime/faults.h"

namespace vel::wdf {

Object* findObject(WDFOBJECT handle, const char* call, const ObjectType* type) {
    FrameworkState& state = frameworkState();
    HandleTable::Lookup found;
    {
        std::lock_guard lock(state.mutex);
        found = state.handles.find(handle);
    }
    const char* wanted = type != nullptr ? typeName(*type) : "WDFOBJECT";
    char object[64];
    std::snprintf(object, sizeof object, "%s %p", wanted, handle);
    switch (found.state) {
        case HandleTable::State::Valid:
            if (type != nullptr && !isKindOf(found.object->type(), *type)) {
                reportViolation(rt::Rule::InvalidHandle, object,
                                std::string(call) + ": handle is a " +
                                    typeName(found.object->type()) + ", not a " + wanted);
                return nullptr;
            }
            return found.object;
        case HandleTable::State::Null:
            reportViolation(rt::Rule::InvalidHandle, object, std::string(call) + ": NULL handle");
            return nullptr;
        case HandleTable::State::Stale:
            reportViolation(rt::Rule::UseAfterDelete, object,
                            std::string(call) + ": the object was deleted");
            return nullptr;
        case HandleTable::State::Invalid:
            break;
    }
    reportViolation(rt::Rule::InvalidHandle, object, std::string(call) + ": not a handle");
    return nullptr;
}

Binding* callerBinding(PWDF_DRIVER_GLOBALS globals, const char* call) {
    Binding* binding = frameworkState().bindingFor(globals);
    if (binding == nullptr) {
        char object[64];
        std::snprintf(object, sizeof object, "WDF_DRIVER_GLOBALS %p", static_cast<void*>(globals));
        reportViolation(rt::Rule::InvalidHandle, object,
                        std::string(call) + ": driver globals of no bound driver");
    }
    return binding;
}

bool injectFault(const char* point) {
    return frameworkState().runtime.faults().shouldFail(point);
}

}  // namespace vel::wdf
