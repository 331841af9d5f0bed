// Registry writes relative to a well-known root. As the kernel's call, a write creates the
// key it names when missing, but only that key: its parent must exist.
#include <optional>

#include "kernel_impl.h"
#include "registry_tree.h"
#include "text.h"
#include "vel/runtime/faults.h"
#include "vel/runtime/runtime.h"

namespace {

namespace regpath = vel::kernel::regpath;

// The full key path, or nothing for a root this platform does not have.
std::optional<std::string> keyPath(ULONG relativeTo, PCWSTR path) {
    const std::string relative =
        path != nullptr ? vel::kernel::toUtf8(std::u16string(path)) : std::string();
    switch (relativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL)) {
        case RTL_REGISTRY_ABSOLUTE:
            return relative;
        case RTL_REGISTRY_SERVICES:
            return regpath::kServices + "\\" + relative;
        case RTL_REGISTRY_CONTROL:
            return regpath::kControl + "\\" + relative;
        case RTL_REGISTRY_DEVICEMAP:
            return regpath::kDeviceMap + "\\" + relative;
        default:
            return std::nullopt;
    }
}

std::string parentOf(const std::string& path) {
    auto components = vel::kernel::splitPath(path);
    std::string parent;
    for (size_t i = 0; i + 1 < components.size(); ++i) {
        parent += "\\" + components[i];
    }
    return parent;
}

std::string nameOf(PCWSTR valueName) {
    return valueName != nullptr ? vel::kernel::toUtf8(std::u16string(valueName)) : std::string();
}

}  // namespace

extern "C" {

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength) {
    auto& registry = vel::kernel::requireKernel("RtlWriteRegistryValue").registry();
    const auto path = keyPath(RelativeTo, Path);
    if (!path || (ValueData == nullptr && ValueLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (auto* runtime = vel::rt::Runtime::current();
        runtime != nullptr && runtime->faults().shouldFail(vel::rt::fault::kRegistryWrite)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!registry.keyExists(*path)) {
        if (!registry.keyExists(parentOf(*path))) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        registry.createKey(*path);
    }
    registry.noteOpen(*path, KEY_SET_VALUE);
    const auto* bytes = static_cast<const uint8_t*>(ValueData);
    registry.setValue(*path, nameOf(ValueName),
                      vel::kernel::RegValue{ValueType, {bytes, bytes + ValueLength}});
    return STATUS_SUCCESS;
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    auto& registry = vel::kernel::requireKernel("RtlDeleteRegistryValue").registry();
    const auto path = keyPath(RelativeTo, Path);
    if (!path) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!registry.keyExists(*path)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    registry.noteOpen(*path, KEY_SET_VALUE);
    return registry.deleteValue(*path, nameOf(ValueName)) ? STATUS_SUCCESS
                                                          : STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"
