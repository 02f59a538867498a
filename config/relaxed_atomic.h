// A value shared between threads that behaves like a plain field: assignment and reading are relaxed
// atomic operations, so concurrent readers and writers see whole values and never race.
#pragma once

#include <atomic>

template <typename T>
class RelaxedAtomic {
public:
    constexpr RelaxedAtomic(T initial = T()) noexcept : value_(initial) {}
    RelaxedAtomic(const RelaxedAtomic&) = delete;
    RelaxedAtomic& operator=(const RelaxedAtomic&) = delete;

    RelaxedAtomic& operator=(T v) noexcept {
        value_.store(v, std::memory_order_relaxed);
        return *this;
    }
    operator T() const noexcept { return value_.load(std::memory_order_relaxed); }
    T load() const noexcept { return value_.load(std::memory_order_relaxed); }
    void store(T v) noexcept { value_.store(v, std::memory_order_relaxed); }

private:
    std::atomic<T> value_;
};
