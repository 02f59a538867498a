// A named ring of three whole-frame slots that hands pictures from a producer to one consumer without the
// consumer ever taking a lock. The producer never waits: when two frames are unread the new frame is
// dropped. The consumer polls: read start hands out the oldest unread slot, read end releases it.
//
// Counters are published with release and read with acquire order, so the consumer sees only complete
// frames and a slot open for reading is never refilled. Writers serialise among themselves on a producer
// lock, so a ring fed from several threads (decoder workers whose callbacks may overlap) stays a
// single-producer ring; the consumer side takes no lock.
//
// A write is committed only when its slot was really filled: a frame larger than the slot, a source buffer
// shorter than its picture, or a failed 2D-engine call is dropped with a log line.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

// Format codes of a ring.
constexpr int kCopyBufferNv12 = 0;   // W x H x 3 / 2 bytes
constexpr int kCopyBufferNv16 = 1;   // W x H x 2 bytes
constexpr int kCopyBufferRgb24 = 2;  // W x H x 3 bytes (RGB24 or BGR24)
constexpr int kCopyBufferYuyv = 3;   // W x H x 2 bytes
// Largest width or height a ring is sized for.
constexpr int kCopyBufferMaxDimension = 16384;

class copy_buffer {
public:
    explicit copy_buffer(const char* name);
    ~copy_buffer();
    copy_buffer(const copy_buffer&) = delete;
    copy_buffer& operator=(const copy_buffer&) = delete;

    // Set-up, while neither producer nor consumer uses the ring. A slot that exists keeps its size, so an
    // owner uninitialises a ring before initialising it for another size.
    void m_copy_buffer_init(int width, int height, int format);
    void m_copy_buffer_uninit();
    void m_copy_buffer_reset();

    // Producer side: each write fills the next free slot and commits it, or drops the frame.
    void m_copy_buffer_write(const void* data, int length);
    // Frames of the ring's size are copied whole; others have their top-left ring-size rectangle cut out.
    void m_copy_buffer_write_nv12_crop(const void* data, int length, int frame_width, int frame_height);
    void m_copy_buffer_write_nv16_crop(const void* data, int length, int frame_width, int frame_height);
    // NV12 through the 2D engine: copied at the ring's size, else cropped at (0, 0) to it.
    void m_copy_buffer_write_rga_nv12(const void* data, int length, int frame_width, int frame_height);
    // "NV12" and "NV16" frames become NV12, "RGB3" reads an NV12 frame and stores RGB24; cropped at (0, 0)
    // when the frame's size differs from the ring's. True when the frame went into the ring.
    bool m_copy_buffer_write_rga_fourcc(const void* data, int length, int frame_width, int frame_height,
                                       const char* fourcc);
    // Scaled to the ring's size as BGR24 / NV12.
    void m_copy_buffer_write_rga_bgr24(const void* data, int length, const char* src_fourcc, int frame_width,
                                       int frame_height);
    void m_copy_buffer_write_rga_nv12_scale(const void* data, int length, const char* src_fourcc,
                                            int frame_width, int frame_height);
    // Converted (same size) or scaled to dst_fourcc, with a tag byte kept beside the slot.
    void m_copy_buffer_write_rga_tagged(const void* data, int length, int frame_width, int frame_height,
                                        const char* src_fourcc, const char* dst_fourcc, uint8_t tag);

    // Consumer side: 1 with the oldest unread slot, 0 when there is nothing to hand out.
    int m_copy_buffer_read_pop_start(uint8_t** slot);
    int m_copy_buffer_read_pop_start_tagged(uint8_t** slot, uint8_t* tag);
    // Releases the slot of the open read; always 1.
    int m_copy_buffer_read_pop_end();

    bool is_initialised() const { return m_initialised.load(std::memory_order_acquire); }
    int width() const { return m_width.load(std::memory_order_relaxed); }
    int height() const { return m_height.load(std::memory_order_relaxed); }
    int format() const { return m_format.load(std::memory_order_relaxed); }
    const std::string& name() const { return m_name; }

    // Slot size of a format code for a width x height frame (0 for an unknown code).
    static size_t slot_bytes(int format, int width, int height);

private:
    static constexpr int kSlots = 3;

    // Runs fill on the next free slot (when the frame is admitted and needs at most the slot's size) and
    // commits the slot when fill reports success (true then). Called with the producer lock held.
    template <typename Fill>
    bool write_slot(size_t needed, uint8_t tag, Fill fill);
    // The CPU crop writers; picture is kCopyBufferNv12 or kCopyBufferNv16.
    void write_cpu_crop(const void* data, int length, int frame_width, int frame_height, int picture);
    // The 2D-engine scaling writers.
    void write_scaled(const void* data, int length, const char* src_fourcc, int frame_width, int frame_height,
                      const char* dst_fourcc);
    // True when the source buffer holds the picture the writer will read; logs otherwise.
    bool source_holds(int length, size_t picture_bytes) const;
    void free_slots();

    std::string m_name;
    std::mutex m_producer_lock;
    uint8_t* m_copy_buffer_char[kSlots] = {};
    size_t m_slot_capacity[kSlots] = {};
    uint8_t m_tag[kSlots] = {};
    std::atomic<uint8_t> m_read_open{0};
    std::atomic<uint32_t> m_write_count{0};
    std::atomic<uint32_t> m_read_count{0};
    std::atomic<int32_t> m_last_read_count{2};
    std::atomic<bool> m_initialised{false};
    std::atomic<int> m_width{0};
    std::atomic<int> m_height{0};
    std::atomic<int> m_format{0};
};
