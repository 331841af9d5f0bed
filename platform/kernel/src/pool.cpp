// Pool allocations: each block is recorded with its tag so that tests can find what a driver
// leaked, and freeing checks that the block is live and carries the tag the caller names.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel_impl.h"
#include "vel/runtime/faults.h"
#include "vel/runtime/runtime.h"
#include "vel/runtime/verifier.h"

namespace {

// Fresh pool memory is filled with a fixed pattern: the kernel does not zero it, and a fixed
// pattern keeps a driver that reads it uninitialised deterministic.
constexpr unsigned char kFreshPoolFill = 0xA5;

std::string tagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text.push_back(c >= 0x20 && c < 0x7F ? c : '.');
    }
    return text;
}

void reportMisuse(const std::string& object, const std::string& message) {
    if (auto* runtime = vel::rt::Runtime::current()) {
        runtime->verifier().report(vel::rt::Rule::ContractViolation, object, message);
        return;
    }
    std::fprintf(stderr, "pool misuse: %s: %s\n", object.c_str(), message.c_str());
    std::abort();
}

// Releases a block; `tag` is checked unless the caller gave none (ExFreePool).
void freeBlock(PVOID p, const ULONG* tag, const char* call) {
    if (p == nullptr) {
        reportMisuse("pool", std::string(call) + " of a NULL pointer");
        return;
    }
    auto& impl = vel::kernel::requireKernel(call).impl();
    char object[64];
    std::snprintf(object, sizeof object, "pool block %p", p);
    std::string problem;
    {
        std::lock_guard lock(impl.poolMutex);
        auto it = impl.blocks.find(p);
        if (it == impl.blocks.end()) {
            problem = std::string(call) + " of a block that is not allocated (double free?)";
        } else {
            const uint32_t blockTag = it->second;
            if (tag != nullptr && *tag != blockTag) {
                problem = std::string(call) + " with tag '" + tagText(*tag) +
                          "' of a block allocated with tag '" + tagText(blockTag) + "'";
            }
            impl.blocks.erase(it);
            ++impl.pool.frees;
            --impl.pool.outstanding;
            if (--impl.pool.outstandingByTag[blockTag] == 0) {
                impl.pool.outstandingByTag.erase(blockTag);
            }
            std::free(p);
        }
    }
    if (!problem.empty()) {
        reportMisuse(object, problem);
    }
}

}  // namespace

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    auto& impl = vel::kernel::requireKernel("ExAllocatePoolWithTag").impl();
    if (auto* runtime = vel::rt::Runtime::current();
        runtime != nullptr && runtime->faults().shouldFail(vel::rt::fault::kPoolAllocate)) {
        return nullptr;
    }
    // A zero-byte request still yields a distinct block, as the kernel's does.
    void* p = std::malloc(NumberOfBytes == 0 ? 1 : NumberOfBytes);
    if (p == nullptr) {
        return nullptr;
    }
    std::memset(p, kFreshPoolFill, NumberOfBytes);
    std::lock_guard lock(impl.poolMutex);
    impl.blocks.emplace(p, Tag);
    ++impl.pool.allocations;
    ++impl.pool.outstanding;
    ++impl.pool.outstandingByTag[Tag];
    return p;
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    freeBlock(P, &Tag, "ExFreePoolWithTag");
}

VOID ExFreePool(PVOID P) {
    freeBlock(P, nullptr, "ExFreePool");
}

}  // extern "C"
