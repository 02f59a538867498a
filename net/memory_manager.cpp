#include "memory_manager.h"

#include <cstdlib>
#include <new>

namespace mnet {

MemoryManager& MemoryManager::Instance() {
    static MemoryManager manager;
    return manager;
}

MemoryManager::MemoryManager() {
    memory_pools_[0].Init(4096, 50);
    memory_pools_[1].Init(40960, 10);
    memory_pools_[2].Init(102400, 5);
}

void* MemoryManager::Alloc(uint32_t size) {
    for (auto& pool : memory_pools_) {
        if (size <= pool.BlockSize()) {
            void* ptr = pool.Alloc(size);
            if (ptr != nullptr) return ptr;
            break;
        }
    }
    void* raw = std::malloc(size + MemoryPool::kHeaderBytes);
    if (raw == nullptr) return nullptr;
    new (raw) MemoryBlock;  // index 0, no pool
    return static_cast<char*>(raw) + MemoryPool::kHeaderBytes;
}

void MemoryManager::Free(void* ptr) {
    if (ptr == nullptr) return;
    auto* block = reinterpret_cast<MemoryBlock*>(static_cast<char*>(ptr) - MemoryPool::kHeaderBytes);
    if (block->pool != nullptr && block->block_id != 0) {
        block->pool->Free(ptr);
    } else {
        std::free(block);
    }
}

int MemoryManager::PoolOf(void* ptr) const {
    auto* block = reinterpret_cast<MemoryBlock*>(static_cast<char*>(ptr) - MemoryPool::kHeaderBytes);
    for (int i = 0; i < kNumPools; ++i) {
        if (block->pool == &memory_pools_[i]) return i + 1;
    }
    return 0;
}

}  // namespace mnet
