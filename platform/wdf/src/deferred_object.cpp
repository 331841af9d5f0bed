#include "deferred_object.h"

namespace vel::wdf {

NTSTATUS resolveDeviceDescendantParent(Binding& binding, const WDF_OBJECT_ATTRIBUTES* attributes,
                                       Object** parent) {
    if (NTSTATUS status = resolveParent(binding, attributes, true, parent); !NT_SUCCESS(status)) {
        return status;
    }
    return (*parent)->descendsFrom(ObjectType::Device) ? STATUS_SUCCESS
                                                       : STATUS_INVALID_DEVICE_REQUEST;
}

WDF_EXECUTION_LEVEL effectiveExecutionLevel(const WDF_OBJECT_ATTRIBUTES* attributes,
                                            const Object* parent) {
    if (attributes != nullptr && attributes->ExecutionLevel != WdfExecutionLevelInheritFromParent) {
        return attributes->ExecutionLevel;
    }
    for (const Object* o = parent; o != nullptr; o = o->parent()) {
        if (o->executionLevel() != WdfExecutionLevelInheritFromParent) {
            return o->executionLevel();
        }
    }
    return WdfExecutionLevelDispatch;
}

}  // namespace vel::wdf
