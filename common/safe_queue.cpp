#include "safe_queue.h"

void SafeQueue::Init(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.clear();
    count_.store(0, std::memory_order_relaxed);
    enabled_ = false;
    free_fn_ = nullptr;
    name_ = name;
}

void SafeQueue::Destroy() {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.clear();
    count_.store(0, std::memory_order_relaxed);
    name_.clear();
}

void SafeQueue::SetFreeCallback(FreeFunction fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    free_fn_ = fn;
}

void SafeQueue::SetEnable(int flag) {
    std::lock_guard<std::mutex> lock(mutex_);
    enabled_ = flag != 0;
    // Only a disable can end a wait; it must reach every blocked consumer, not just one.
    cond_.notify_all();
}

int SafeQueue::IsEnabled() {
    std::lock_guard<std::mutex> lock(mutex_);
    return enabled_ ? 1 : 0;
}

void SafeQueue::Push(void* item) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (enabled_) {
        items_.push_back(item);
        count_.store(static_cast<int32_t>(items_.size()), std::memory_order_relaxed);
        cond_.notify_one();
        return;
    }
    // Without a free function the refused item stays with nobody; calling a null function would crash.
    if (free_fn_ != nullptr) free_fn_(&item);
}

int SafeQueue::WaitPop(void** out) {
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [this] { return !enabled_ || !items_.empty(); });
    if (items_.empty()) return 0;
    *out = items_.front();
    items_.pop_front();
    count_.store(static_cast<int32_t>(items_.size()), std::memory_order_relaxed);
    return 1;
}

int SafeQueue::TryPop(void** out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (items_.empty()) return 0;
    *out = items_.front();
    items_.pop_front();
    count_.store(static_cast<int32_t>(items_.size()), std::memory_order_relaxed);
    return 1;
}

void SafeQueue::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!items_.empty()) {
        void* item = items_.front();
        items_.pop_front();
        if (free_fn_ != nullptr) free_fn_(&item);
    }
    count_.store(0, std::memory_order_relaxed);
}

std::string SafeQueue::Name() {
    std::lock_guard<std::mutex> lock(mutex_);
    return name_;
}
