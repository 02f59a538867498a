// The blocking hand-over queue between the threads that produce encoded frames or PCM blocks and those
// that consume them. It carries pointers to records its owner defines and frees every record it drops
// through the owner's free function. It has no capacity of its own: each producer tests Size() against
// its own limit before pushing. The consumer is switched on and off with the enabled flag.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

class SafeQueue {
public:
    // Frees one item (the record and whatever it owns); gets the address of the item pointer.
    using FreeFunction = void (*)(void** item);

    SafeQueue() = default;
    SafeQueue(const SafeQueue&) = delete;
    SafeQueue& operator=(const SafeQueue&) = delete;

    // Empties the queue (items are not freed), names it and disables it; the free function is cleared.
    void Init(const std::string& name = std::string());
    // Drops the items without freeing them; owners Clear() first when they care.
    void Destroy();
    void SetFreeCallback(FreeFunction fn);
    // Enables or disables the consumer side. Disabling wakes every waiting consumer; each returns 0 from
    // WaitPop() once the queue is empty.
    void SetEnable(int flag);
    int IsEnabled();
    // Enabled: appends the item and wakes one consumer. Disabled: hands the item to the free function at
    // once (under the lock), so a stopped stream holds no memory.
    void Push(void* item);
    // Waits while the queue is enabled and empty. Returns 1 with the oldest item moved into *out, or 0 when
    // the queue is empty (a disabled queue still hands out what it holds, without waiting).
    int WaitPop(void** out);
    // Never waits: 1 with the oldest item moved into *out, 0 when the queue is empty. For a consumer that
    // must not stall when another thread empties the queue between its Size() check and its pop.
    int TryPop(void** out);
    // Hands every queued item, oldest first, to the free function (when one is set). Wakes nobody.
    void Clear();
    // The number of queued items, read without the lock: a hint for the producers' limits, which may be
    // off by the pushes of other producers.
    int32_t Size() const { return count_.load(std::memory_order_relaxed); }
    std::string Name();

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<void*> items_;
    bool enabled_ = false;
    FreeFunction free_fn_ = nullptr;
    std::string name_;
    // Mirrors items_.size(); written under the lock, so Size() never reads the container unlocked.
    std::atomic<int32_t> count_{0};
};
