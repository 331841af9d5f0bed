// Handles of framework objects. A handle is not a pointer: it encodes a slot index and the
// generation of the slot's occupant, so a handle of a deleted object (or a value that never was
// a handle) is recognised instead of being dereferenced. Not thread-safe: the framework's
// object lock guards it.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "vel_wdf.h"

namespace vel::wdf {

class Object;

class HandleTable {
  public:
    enum class State {
        Valid,
        Null,
        Stale,    // was a handle once; its object is gone
        Invalid,  // never was a handle
    };
    struct Lookup {
        State state;
        Object* object;  // set when Valid
    };

    WDFOBJECT insert(Object* object);
    void remove(WDFOBJECT handle);
    Lookup find(WDFOBJECT handle) const;
    std::vector<Object*> objects() const;
    size_t size() const { return live_; }

  private:
    struct Slot {
        Object* object = nullptr;
        uintptr_t generation = 0;  // of the current or last occupant; 0 = never used
    };
    bool decode(WDFOBJECT handle, uint32_t* index, uintptr_t* generation) const;

    std::vector<Slot> slots_;
    // Freed slots are reused oldest first, so a stale handle keeps failing for as long as
    // possible before its slot's generation could wrap.
    std::deque<uint32_t> free_;
    size_t live_ = 0;
};

}  // namespace vel::wdf
