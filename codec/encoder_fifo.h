// The encoder's input FIFO: four slots that are the encoder's own input buffers, so a frame is copied once,
// straight into the memory the encoder reads. One producer puts frames (callers serialise their puts), the
// encoder thread takes them in order and releases each slot once the encoder has read it.
//
// The FIFO is full with three frames waiting: the fourth slot is the one the encoder may still be reading.
// Counters are published with release and read with acquire order, so the reader sees only whole frames and
// a slot open for reading is never written.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr int kEncoderFifoSlots = 4;

class EncoderInputFifo {
public:
    // Points the slots at the encoder's input buffers, each slot_bytes long, and empties the FIFO. 1, or -1
    // for a missing buffer. Init and reset run while no put runs.
    int init(uint8_t* const slots[kEncoderFifoSlots], size_t slot_bytes);
    // Empties the FIFO and forgets the slots; puts are refused until the next init. Always 1.
    int reset();

    // Producer: copies length bytes into the next slot. 1 when queued; -1 when the FIFO is full, has no
    // slots, or the frame does not fit a slot.
    int put(const void* data, size_t length);

    // Encoder thread: the slot number of the oldest waiting frame, opened for reading; -1 when nothing
    // waits or a read is already open.
    int get();
    // Closes the open read and frees its slot. Always 1.
    int release();

    uint8_t* slot(int number) const;
    size_t slot_bytes() const { return m_slot_bytes; }
    // Frames put and not yet released.
    uint32_t waiting() const;

private:
    std::atomic<uint32_t> m_write_count{0};
    std::atomic<uint32_t> m_read_count{0};
    // The read count of the last get: a read count is handed out once.
    std::atomic<int32_t> m_last_taken{3};
    std::atomic<uint8_t> m_read_open{0};
    uint8_t* m_slots[kEncoderFifoSlots] = {};
    size_t m_slot_bytes = 0;
};
