#include "handle_table.h"

namespace vel::wdf {

namespace {

// Layout of a handle value: bit 0 always set (so no handle is ever a valid aligned pointer),
// bits 1..20 the slot index, the remaining high bits the generation.
constexpr unsigned kIndexBits = 20;
constexpr uintptr_t kIndexMask = (uintptr_t{1} << kIndexBits) - 1;
constexpr unsigned kGenerationShift = kIndexBits + 1;
constexpr uintptr_t kGenerationMask = ~uintptr_t{0} >> kGenerationShift;

WDFOBJECT encode(uint32_t index, uintptr_t generation) {
    return reinterpret_cast<WDFOBJECT>((generation << kGenerationShift) | (uintptr_t{index} << 1) |
                                       1u);
}

}  // namespace

bool HandleTable::decode(WDFOBJECT handle, uint32_t* index, uintptr_t* generation) const {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    if ((value & 1u) == 0) {
        return false;
    }
    *index = static_cast<uint32_t>((value >> 1) & kIndexMask);
    *generation = value >> kGenerationShift;
    return *index < slots_.size() && *generation != 0;
}

WDFOBJECT HandleTable::insert(Object* object) {
    uint32_t index;
    if (!free_.empty() && (free_.size() > 64 || slots_.size() > kIndexMask)) {
        index = free_.front();
        free_.pop_front();
    } else {
        index = static_cast<uint32_t>(slots_.size());
        slots_.emplace_back();
    }
    Slot& slot = slots_[index];
    slot.generation = (slot.generation + 1) & kGenerationMask;
    if (slot.generation == 0) {
        slot.generation = 1;
    }
    slot.object = object;
    ++live_;
    return encode(index, slot.generation);
}

void HandleTable::remove(WDFOBJECT handle) {
    uint32_t index;
    uintptr_t generation;
    if (!decode(handle, &index, &generation)) {
        return;
    }
    Slot& slot = slots_[index];
    if (slot.object == nullptr || slot.generation != generation) {
        return;
    }
    slot.object = nullptr;
    free_.push_back(index);
    --live_;
}

HandleTable::Lookup HandleTable::find(WDFOBJECT handle) const {
    if (handle == nullptr) {
        return {State::Null, nullptr};
    }
    uint32_t index;
    uintptr_t generation;
    if (!decode(handle, &index, &generation)) {
        return {State::Invalid, nullptr};
    }
    const Slot& slot = slots_[index];
    if (slot.object != nullptr && slot.generation == generation) {
        return {State::Valid, slot.object};
    }
    if (generation <= slot.generation) {
        return {State::Stale, nullptr};
    }
    return {State::Invalid, nullptr};
}

std::vector<Object*> HandleTable::objects() const {
    std::vector<Object*> result;
    for (const Slot& slot : slots_) {
        if (slot.object != nullptr) {
            result.push_back(slot.object);
        }
    }
    return result;
}

}  // namespace vel::wdf
