// The bytes a call names: a WDFMEMORY with optional offsets, or a memory descriptor (buffer, MDL
// or memory handle).
#pragma once

#include "vel_wdf.h"

namespace vel::wdf {

struct MemorySpan {
    NTSTATUS status = STATUS_SUCCESS;
    void* buffer = nullptr;
    size_t length = 0;
    size_t offset = 0;  // within the memory object
};

// A null handle is an empty span. Offsets with a zero BufferLength reach to the end of the
// memory; a range outside it is STATUS_INVALID_PARAMETER.
MemorySpan memorySpan(WDFMEMORY handle, PWDFMEMORY_OFFSET offsets, const char* call);

// A null descriptor is an empty span; an unknown type is STATUS_INVALID_PARAMETER.
MemorySpan describedSpan(const WDF_MEMORY_DESCRIPTOR* descriptor, const char* call);

}  // namespace vel::wdf
