#include "memory_pool.h"

#include <cstdlib>
#include <new>

namespace mnet {

MemoryPool::~MemoryPool() {
    std::free(memory_);
}

void MemoryPool::Init(uint32_t size, uint32_t n) {
    if (memory_ != nullptr || n == 0) return;
    size_t stride = size + kHeaderBytes;
    char* memory = static_cast<char*>(std::malloc(stride * n));
    if (memory == nullptr) return;
    memory_ = memory;
    block_size_ = size;
    num_blocks_ = n;
    MemoryBlock* previous = nullptr;
    for (uint32_t k = 0; k < n; ++k) {
        auto* block = new (memory_ + stride * k) MemoryBlock;
        block->block_id = k + 1;
        block->pool = this;
        if (previous) previous->next = block; else head_ = block;
        previous = block;
    }
}

void* MemoryPool::Alloc(uint32_t size) {
    (void)size;
    std::lock_guard<std::mutex> lock(mutex_);
    if (head_ == nullptr) return nullptr;
    MemoryBlock* block = head_;
    head_ = block->next;
    block->next = nullptr;
    return reinterpret_cast<char*>(block) + kHeaderBytes;
}

void MemoryPool::Free(void* ptr) {
    if (ptr == nullptr) return;
    auto* block = reinterpret_cast<MemoryBlock*>(static_cast<char*>(ptr) - kHeaderBytes);
    if (block->block_id == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    block->next = head_;
    head_ = block;
}

}  // namespace mnet
