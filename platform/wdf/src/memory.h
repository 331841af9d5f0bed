// WDFMEMORY: a buffer the framework allocated from the pool under a tag, or one the driver
// supplied (preallocated) and keeps owning.
#pragma once

#include "object.h"

namespace vel::wdf {

class Memory : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::Memory;

    Memory(Binding& binding, void* buffer, size_t size, ULONG poolTag)
        : Object(kType, binding), buffer_(buffer), size_(size), poolTag_(poolTag) {}
    ~Memory() override {
        if (poolTag_ != 0) {
            ExFreePoolWithTag(buffer_, poolTag_);
        }
    }

    void* buffer() const { return buffer_; }
    size_t size() const { return size_; }
    bool preallocated() const { return poolTag_ == 0; }
    void assign(void* buffer, size_t size) {
        buffer_ = buffer;
        size_ = size;
    }

    // True when [offset, offset + count) lies inside the buffer.
    bool contains(size_t offset, size_t count) const {
        return offset <= size_ && count <= size_ - offset;
    }

  private:
    void* buffer_;
    size_t size_;
    ULONG poolTag_;  // 0 for a preallocated buffer the driver owns
};

}  // namespace vel::wdf
