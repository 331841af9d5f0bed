#include "memory_span.h"

#include <algorithm>

#include "ddi_support.h"
#include "memory.h"

namespace vel::wdf {

MemorySpan memorySpan(WDFMEMORY handle, PWDFMEMORY_OFFSET offsets, const char* call) {
    MemorySpan s;
    if (handle == nullptr) {
        return s;
    }
    auto* memory = lookup<Memory>(handle, call);
    if (memory == nullptr) {
        s.status = STATUS_INVALID_PARAMETER;
        return s;
    }
    s.offset = offsets != nullptr ? offsets->BufferOffset : 0;
    s.length = offsets != nullptr && offsets->BufferLength != 0
                   ? offsets->BufferLength
                   : memory->size() - std::min(memory->size(), s.offset);
    if (!memory->contains(s.offset, s.length)) {
        s.status = STATUS_INVALID_PARAMETER;
        return s;
    }
    s.buffer = static_cast<char*>(memory->buffer()) + s.offset;
    return s;
}

MemorySpan describedSpan(const WDF_MEMORY_DESCRIPTOR* descriptor, const char* call) {
    MemorySpan s;
    if (descriptor == nullptr) {
        return s;
    }
    switch (descriptor->Type) {
        case WdfMemoryDescriptorTypeBuffer:
            s.buffer = descriptor->u.BufferType.Buffer;
            s.length = descriptor->u.BufferType.Length;
            break;
        case WdfMemoryDescriptorTypeMdl:
            s.buffer = descriptor->u.MdlType.Mdl != nullptr
                           ? descriptor->u.MdlType.Mdl->MappedSystemVa
                           : nullptr;
            s.length = descriptor->u.MdlType.BufferLength;
            break;
        case WdfMemoryDescriptorTypeHandle:
            return memorySpan(descriptor->u.HandleType.Memory, descriptor->u.HandleType.Offsets,
                              call);
        default:
            s.status = STATUS_INVALID_PARAMETER;
            break;
    }
    if (s.buffer == nullptr && s.length != 0) {
        s.status = STATUS_INVALID_PARAMETER;
    }
    return s;
}

}  // namespace vel::wdf
