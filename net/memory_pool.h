// Fixed-size blocks carved from one allocation, handed out from a free list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace mnet {

class MemoryPool;

// Precedes every block handed out; index 0 marks memory that came from malloc directly.
struct MemoryBlock {
    uint32_t block_id = 0;
    MemoryPool* pool = nullptr;
    MemoryBlock* next = nullptr;
};
static_assert(sizeof(MemoryBlock) == 24, "block header is 24 bytes");

class MemoryPool {
public:
    static constexpr size_t kHeaderBytes = sizeof(MemoryBlock);

    MemoryPool() = default;
    virtual ~MemoryPool();
    MemoryPool(const MemoryPool&) = delete;
    MemoryPool& operator=(const MemoryPool&) = delete;

    void Init(uint32_t size, uint32_t n);
    // A block (the size is the caller's business: it is at most BlockSize), or nullptr when none is free.
    void* Alloc(uint32_t size);
    void Free(void* ptr);
    size_t BlockSize() const { return block_size_; }

private:
    char* memory_ = nullptr;
    uint32_t block_size_ = 0;
    uint32_t num_blocks_ = 0;
    MemoryBlock* head_ = nullptr;
    std::mutex mutex_;
};

}  // namespace mnet
