// Fixed-capacity FIFO allocated once: one consumer thread, producers serialised by the caller.
// The atomic count is the hand-over point between the producer side and the consumer side.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>
#include <vector>

namespace mnet {

template <typename T>
class RingBuffer {
public:
    explicit RingBuffer(uint32_t capacity) : capacity_(capacity), buffer_(capacity) {}

    bool Push(T&& value) {
        if (num_datas_.load() >= static_cast<int32_t>(capacity_)) return false;
        buffer_[put_pos_] = std::move(value);
        put_pos_ = (put_pos_ + 1 == capacity_) ? 0 : put_pos_ + 1;
        num_datas_.fetch_add(1);
        return true;
    }
    bool Push(const T& value) {
        T copy(value);
        return Push(std::move(copy));
    }

    bool Pop(T& out) {
        if (num_datas_.load() <= 0) return false;
        out = std::move(buffer_[get_pos_]);
        buffer_[get_pos_] = T();  // release whatever the moved-from slot still holds
        get_pos_ = (get_pos_ + 1 == capacity_) ? 0 : get_pos_ + 1;
        num_datas_.fetch_sub(1);
        return true;
    }

    uint32_t Capacity() const { return capacity_; }
    int32_t Size() const { return num_datas_.load(); }

private:
    const uint32_t capacity_;
    uint32_t put_pos_ = 0;
    uint32_t get_pos_ = 0;
    std::atomic<int32_t> num_datas_{0};
    std::vector<T> buffer_;
};

}  // namespace mnet
