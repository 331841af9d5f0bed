// Memory objects: framework-allocated pool buffers (accounted by the kernel's pool under the
// caller's tag) and driver-supplied preallocated buffers.
#include "ddi.h"
#include "ddi_support.h"
#include "memory.h"
#include "vel/runtime/faults.h"

namespace vel::wdf {

namespace {

// The checks both creations share: the caller, its attributes and the parent.
NTSTATUS prepareMemory(PWDF_DRIVER_GLOBALS globals, const char* call,
                       PWDF_OBJECT_ATTRIBUTES attributes, Binding** binding, Object** parent) {
    *binding = callerBinding(globals, call);
    if (*binding == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (NTSTATUS status = validateAttributes(attributes); !NT_SUCCESS(status)) {
        return status;
    }
    return resolveParent(**binding, attributes, false, parent);
}

NTSTATUS publishMemory(std::unique_ptr<Memory> memory, PWDF_OBJECT_ATTRIBUTES attributes,
                       Object* parent, WDFMEMORY* handle) {
    Object* published = nullptr;
    NTSTATUS status = publish(std::move(memory), attributes, parent, &published);
    if (NT_SUCCESS(status)) {
        *handle = static_cast<WDFMEMORY>(published->handle());
    }
    return status;
}

}  // namespace

namespace ddi {

NTSTATUS WdfMemoryCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PWDF_OBJECT_ATTRIBUTES Attributes,
                         POOL_TYPE PoolType, ULONG PoolTag, SIZE_T BufferSize, WDFMEMORY* Memory,
                         PVOID* Buffer) {
    if (Memory == nullptr || BufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    *Memory = nullptr;
    if (Buffer != nullptr) {
        *Buffer = nullptr;
    }
    Binding* binding = nullptr;
    Object* parent = nullptr;
    if (NTSTATUS status =
            prepareMemory(DriverGlobals, "WdfMemoryCreate", Attributes, &binding, &parent);
        !NT_SUCCESS(status)) {
        return status;
    }
    if (injectFault(rt::fault::kMemoryCreate)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const ULONG tag = PoolTag != 0 ? PoolTag : DriverGlobals->DriverTag;
    void* buffer = ExAllocatePoolWithTag(PoolType, BufferSize, tag);
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status =
        publishMemory(std::make_unique<vel::wdf::Memory>(*binding, buffer, BufferSize, tag),
                      Attributes, parent, Memory);
    if (NT_SUCCESS(status) && Buffer != nullptr) {
        *Buffer = buffer;
    }
    return status;
}

NTSTATUS WdfMemoryCreatePreallocated(PWDF_DRIVER_GLOBALS DriverGlobals,
                                     PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer,
                                     SIZE_T BufferSize, WDFMEMORY* Memory) {
    if (Memory == nullptr || Buffer == nullptr || BufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    *Memory = nullptr;
    Binding* binding = nullptr;
    Object* parent = nullptr;
    if (NTSTATUS status = prepareMemory(DriverGlobals, "WdfMemoryCreatePreallocated", Attributes,
                                        &binding, &parent);
        !NT_SUCCESS(status)) {
        return status;
    }
    if (injectFault(rt::fault::kMemoryCreate)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return publishMemory(std::make_unique<vel::wdf::Memory>(*binding, Buffer, BufferSize, 0),
                         Attributes, parent, Memory);
}

PVOID WdfMemoryGetBuffer(PWDF_DRIVER_GLOBALS DriverGlobals, WDFMEMORY Memory, SIZE_T* BufferSize) {
    auto* memory = lookup<vel::wdf::Memory>(Memory, "WdfMemoryGetBuffer");
    if (BufferSize != nullptr) {
        *BufferSize = memory != nullptr ? memory->size() : 0;
    }
    return memory != nullptr ? memory->buffer() : nullptr;
}

// Only a preallocated memory object takes another buffer.
NTSTATUS WdfMemoryAssignBuffer(PWDF_DRIVER_GLOBALS DriverGlobals, WDFMEMORY Memory, PVOID Buffer,
                               SIZE_T BufferSize) {
    auto* memory = lookup<vel::wdf::Memory>(Memory, "WdfMemoryAssignBuffer");
    if (memory == nullptr || Buffer == nullptr || BufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!memory->preallocated()) {
        reportViolation(rt::Rule::ContractViolation, memory->describe(),
                        "WdfMemoryAssignBuffer on memory not created preallocated");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    memory->assign(Buffer, BufferSize);
    return STATUS_SUCCESS;
}

// Copies fail without touching anything when the range leaves the memory
// (STATUS_BUFFER_TOO_SMALL); a null buffer or an empty copy is STATUS_INVALID_PARAMETER.
NTSTATUS WdfMemoryCopyToBuffer(PWDF_DRIVER_GLOBALS DriverGlobals, WDFMEMORY SourceMemory,
                               SIZE_T SourceOffset, PVOID Buffer, SIZE_T NumBytesToCopyTo) {
    auto* memory = lookup<vel::wdf::Memory>(SourceMemory, "WdfMemoryCopyToBuffer");
    if (memory == nullptr || Buffer == nullptr || NumBytesToCopyTo == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!memory->contains(SourceOffset, NumBytesToCopyTo)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(Buffer, static_cast<uint8_t*>(memory->buffer()) + SourceOffset, NumBytesToCopyTo);
    return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryCopyFromBuffer(PWDF_DRIVER_GLOBALS DriverGlobals, WDFMEMORY DestinationMemory,
                                 SIZE_T DestinationOffset, PVOID Buffer,
                                 SIZE_T NumBytesToCopyFrom) {
    auto* memory = lookup<vel::wdf::Memory>(DestinationMemory, "WdfMemoryCopyFromBuffer");
    if (memory == nullptr || Buffer == nullptr || NumBytesToCopyFrom == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!memory->contains(DestinationOffset, NumBytesToCopyFrom)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(static_cast<uint8_t*>(memory->buffer()) + DestinationOffset, Buffer,
                NumBytesToCopyFrom);
    return STATUS_SUCCESS;
}

}  // namespace ddi
}  // namespace vel::wdf
