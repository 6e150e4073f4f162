// A transfer buffer: a zeroed block of the process heap (of the free store on a system without
// one), given back when its owner goes.
#pragma once

#include <cstdint>
#include <memory>

namespace quiver {

class TransferBuffer {
  public:
    TransferBuffer() = default;
    // `bytes` from the process heap, zeroed; an empty buffer (capacity 0) when it has no room.
    static TransferBuffer Allocate(std::uint32_t bytes);

    std::uint8_t* data() const { return block_.get(); }
    std::uint32_t capacity() const { return capacity_; }
    // Gives the block back now.
    void Reset() {
        block_.reset();
        capacity_ = 0;
    }

  private:
    struct HeapFree {
        bool freeStore;  // true: from the C++ free store; false: from the process heap
        void operator()(std::uint8_t* block) const;
    };
    std::unique_ptr<std::uint8_t, HeapFree> block_;
    std::uint32_t capacity_ = 0;
};

}  // namespace quiver
