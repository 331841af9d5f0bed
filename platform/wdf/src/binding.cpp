// The loader calls a driver's binding stub makes: binding to the framework library by name and
// version, which fills the driver's function table and hands out its globals.
#include <algorithm>
#include <cstring>

#include "driver.h"
#include "framework_impl.h"
#include "function_table.h"

namespace vel::wdf {

namespace {

std::string serviceOf(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    PCUNICODE_STRING name = nullptr;
    if (driverObject != nullptr && driverObject->DriverExtension != nullptr &&
        driverObject->DriverExtension->ServiceKeyName.Buffer != nullptr) {
        name = &driverObject->DriverExtension->ServiceKeyName;
    } else if (registryPath != nullptr && registryPath->Buffer != nullptr) {
        name = registryPath;
    }
    if (name == nullptr) {
        return {};
    }
    std::u16string text(name->Buffer, name->Length / sizeof(WCHAR));
    const auto slash = text.rfind(u'\\');
    return kernel::toUtf8(slash == std::u16string::npos ? text : text.substr(slash + 1));
}

bool isFrameworkLibrary(PCWSTR component) {
    if (component == nullptr) {
        return false;
    }
    return std::u16string_view(component) == std::u16string_view(VEL_KMDF_LIBRARY_NAME);
}

}  // namespace

void endBinding(FrameworkState& state, Binding* binding) {
    binding->deferredDeletes->waitIdle();
    if (binding->driver != nullptr) {
        binding->driver->dispose();
        binding->driver = nullptr;
    }
    std::vector<Object*> left;
    {
        std::lock_guard lock(state.mutex);
        for (Object* object : state.handles.objects()) {
            if (&object->binding() == binding) {
                left.push_back(object);
            }
        }
    }
    for (Object* object : left) {
        // An object kept only by its children holds no reference of its own: not a leak.
        if (object->references() > 0) {
            state.runtime.verifier().report(rt::Rule::ReferenceLeak, object->describe(),
                                            "still referenced when driver " + binding->service +
                                                " unloaded: " + object->referenceSummary());
        }
    }
    for (Object* object : left) {
        Object::discard(object);
    }
    std::lock_guard lock(state.mutex);
    std::erase_if(state.bindings, [binding](const auto& b) { return b.get() == binding; });
}

}  // namespace vel::wdf

using namespace vel::wdf;

// A client of another major version, or of a newer minor version than this library (1.9),
// needs a library that is not installed: STATUS_OBJECT_TYPE_MISMATCH. A component other than
// the framework library: STATUS_OBJECT_NAME_NOT_FOUND. A table size other than the 396 entries
// of 1.9: STATUS_INVALID_PARAMETER.
extern "C" NTSTATUS WdfVersionBind(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                                   PWDF_BIND_INFO BindInfo, PWDF_COMPONENT_GLOBALS* Globals) {
    Framework* framework = Framework::current();
    if (framework == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (DriverObject == nullptr || BindInfo == nullptr || Globals == nullptr ||
        BindInfo->Size != sizeof(WDF_BIND_INFO) || BindInfo->FuncTable == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!isFrameworkLibrary(BindInfo->Component)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (BindInfo->Version.Major != VEL_KMDF_MAJOR || BindInfo->Version.Minor > VEL_KMDF_MINOR) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (BindInfo->FuncCount != WdfFunctionTableNumEntries) {
        return STATUS_INVALID_PARAMETER;
    }
    FrameworkState& state = framework->impl().state;
    if (state.bindingFor(DriverObject) != nullptr) {
        return STATUS_OBJECT_NAME_COLLISION;
    }

    const FunctionTable& table = functionTable();
    std::copy(table.begin(), table.end(), BindInfo->FuncTable);

    auto binding = std::make_unique<Binding>();
    binding->driverObject = DriverObject;
    binding->service = serviceOf(DriverObject, RegistryPath);
    std::strncpy(binding->globals.DriverName, binding->service.c_str(),
                 sizeof(binding->globals.DriverName) - 1);
    *Globals = reinterpret_cast<PWDF_COMPONENT_GLOBALS>(&binding->globals);
    std::lock_guard lock(state.mutex);
    state.bindings.push_back(std::move(binding));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS WdfVersionUnbind(PUNICODE_STRING RegistryPath, PWDF_BIND_INFO BindInfo,
                                     PWDF_COMPONENT_GLOBALS Globals) {
    Framework* framework = Framework::current();
    if (framework == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    FrameworkState& state = framework->impl().state;
    Binding* binding = state.bindingFor(reinterpret_cast<PWDF_DRIVER_GLOBALS>(Globals));
    if (binding == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    endBinding(state, binding);
    return STATUS_SUCCESS;
}

// No class extension libraries are registered with this framework.
extern "C" NTSTATUS WdfVersionBindClass(PUNICODE_STRING RegistryPath, PWDF_BIND_INFO BindInfo,
                                        PVOID ClassBindInfo) {
    return STATUS_NOT_FOUND;
}

extern "C" VOID WdfVersionUnbindClass(PUNICODE_STRING RegistryPath, PWDF_BIND_INFO BindInfo,
                                      PVOID ClassBindInfo) {}
