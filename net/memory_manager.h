// Three block pools (4 KiB, 40 KiB, 100 KiB) with malloc behind them.
#pragma once

#include <cstdint>

#include "memory_pool.h"

namespace mnet {

class MemoryManager {
public:
    static constexpr int kNumPools = 3;

    static MemoryManager& Instance();

    // Tries only the first pool whose blocks are large enough; when it is empty, malloc.
    void* Alloc(uint32_t size);
    void Free(void* ptr);
    // Which pool (1-based) a pointer from Alloc came from; 0 for malloc'd memory.
    int PoolOf(void* ptr) const;

    MemoryManager();

private:
    MemoryPool memory_pools_[kNumPools];
};

}  // namespace mnet
