#include "encoder_fifo.h"

#include <cstring>

namespace {
// Frames that may wait at once: one slot stays free for the frame the encoder may be reading.
constexpr uint32_t kMaxWaiting = kEncoderFifoSlots - 1;
}  // namespace

int EncoderInputFifo::init(uint8_t* const slots[kEncoderFifoSlots], size_t slot_bytes) {
    reset();
    if (!slots || slot_bytes == 0) return -1;
    for (int i = 0; i < kEncoderFifoSlots; ++i) {
        if (!slots[i]) return -1;
    }
    for (int i = 0; i < kEncoderFifoSlots; ++i) m_slots[i] = slots[i];
    m_slot_bytes = slot_bytes;
    return 1;
}

int EncoderInputFifo::reset() {
    m_write_count.store(0, std::memory_order_release);
    m_read_count.store(0, std::memory_order_release);
    m_last_taken.store(3, std::memory_order_relaxed);
    m_read_open.store(0, std::memory_order_relaxed);
    for (uint8_t*& slot : m_slots) slot = nullptr;
    m_slot_bytes = 0;
    return 1;
}

int EncoderInputFifo::put(const void* data, size_t length) {
    if (!data || length == 0 || length > m_slot_bytes || !m_slots[0]) return -1;
    uint32_t write = m_write_count.load(std::memory_order_relaxed);
    uint32_t read = m_read_count.load(std::memory_order_acquire);
    if (write - read >= kMaxWaiting) return -1;
    std::memcpy(m_slots[write % kEncoderFifoSlots], data, length);
    m_write_count.store(write + 1, std::memory_order_release);
    return 1;
}

int EncoderInputFifo::get() {
    uint32_t write = m_write_count.load(std::memory_order_acquire);
    uint32_t read = m_read_count.load(std::memory_order_relaxed);
    if (write == read || m_read_open.load(std::memory_order_relaxed) ||
        static_cast<int32_t>(read) == m_last_taken.load(std::memory_order_relaxed)) {
        return -1;
    }
    m_read_open.store(1, std::memory_order_relaxed);
    m_last_taken.store(static_cast<int32_t>(read), std::memory_order_relaxed);
    return static_cast<int>(read % kEncoderFifoSlots);
}

int EncoderInputFifo::release() {
    if (m_read_open.load(std::memory_order_relaxed)) {
        m_read_count.store(m_read_count.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        m_read_open.store(0, std::memory_order_relaxed);
    }
    return 1;
}

uint8_t* EncoderInputFifo::slot(int number) const {
    return number >= 0 && number < kEncoderFifoSlots ? m_slots[number] : nullptr;
}

uint32_t EncoderInputFifo::waiting() const {
    return m_write_count.load(std::memory_order_acquire) - m_read_count.load(std::memory_order_acquire);
}
