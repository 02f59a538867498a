#include "copy_buffer.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "media_utils.h"
#include "rga_api.h"

namespace {

// The slot number the tagged read keeps back; no slot is kept back.
constexpr int kTaggedReservedSlot = -1;

}  // namespace

copy_buffer::copy_buffer(const char* name) : m_name(name != nullptr ? name : "") {
    std::printf("copy_buffer name=%s\r\n", m_name.c_str());
}

copy_buffer::~copy_buffer() {
    free_slots();
}

size_t copy_buffer::slot_bytes(int format, int width, int height) {
    if (width <= 0 || height <= 0) return 0;
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    switch (format) {
        case kCopyBufferNv12:
            return pixels * 3 / 2;
        case kCopyBufferNv16:
        case kCopyBufferYuyv:
            return pixels * 2;
        case kCopyBufferRgb24:
            return pixels * 3;
        default:
            return 0;
    }
}

void copy_buffer::m_copy_buffer_init(int width, int height, int format) {
    std::lock_guard<std::mutex> producer(m_producer_lock);
    std::printf("99999999999999999 %s m_copy_buffer_init W=%d H=%d\r\n", m_name.c_str(), width, height);
    m_write_count.store(0, std::memory_order_relaxed);
    m_read_count.store(0, std::memory_order_relaxed);
    m_width.store(width, std::memory_order_relaxed);
    m_height.store(height, std::memory_order_relaxed);
    m_format.store(format, std::memory_order_relaxed);
    m_read_open.store(0, std::memory_order_relaxed);
    m_last_read_count.store(2, std::memory_order_relaxed);

    const bool sane = width > 0 && height > 0 && width <= kCopyBufferMaxDimension &&
                      height <= kCopyBufferMaxDimension;
    if (!sane) std::printf("%s m_copy_buffer_init refused size W=%d H=%d\n", m_name.c_str(), width, height);
    const size_t size = sane ? slot_bytes(format, width, height) : 0;
    for (int i = 0; i < kSlots; ++i) {
        if (m_copy_buffer_char[i] != nullptr || !sane) continue;
        m_copy_buffer_char[i] = new (std::nothrow) uint8_t[size];
        if (m_copy_buffer_char[i] != nullptr) {
            m_slot_capacity[i] = size;
            std::printf("%s temp=%d suces malloc m_copy_buffer_char[%d]\n", m_name.c_str(), static_cast<int>(size),
                        i);
        } else {
            std::printf("%s temp=%d error malloc m_copy_buffer_char[%d]\n", m_name.c_str(), static_cast<int>(size),
                        i);
        }
    }
    // Marked initialised even without slots; writes into a missing slot write nothing.
    m_initialised.store(true, std::memory_order_release);
}

void copy_buffer::m_copy_buffer_uninit() {
    std::lock_guard<std::mutex> producer(m_producer_lock);
    std::printf("99999999999999999 %s m_copy_buffer_uninit\r\n", m_name.c_str());
    m_initialised.store(false, std::memory_order_release);
    for (int i = 0; i < kSlots; ++i) {
        if (m_copy_buffer_char[i] == nullptr) continue;
        std::printf("%s free m_copy_buffer_char[%d]\n", m_name.c_str(), i);
    }
    free_slots();
    m_write_count.store(0, std::memory_order_relaxed);
    m_read_count.store(0, std::memory_order_relaxed);
}

void copy_buffer::m_copy_buffer_reset() {
    std::lock_guard<std::mutex> producer(m_producer_lock);
    m_write_count.store(0, std::memory_order_relaxed);
    m_read_count.store(0, std::memory_order_relaxed);
}

void copy_buffer::free_slots() {
    for (int i = 0; i < kSlots; ++i) {
        delete[] m_copy_buffer_char[i];
        m_copy_buffer_char[i] = nullptr;
        m_slot_capacity[i] = 0;
    }
}

bool copy_buffer::source_holds(int length, size_t picture_bytes) const {
    if (length >= 0 && picture_bytes > 0 && static_cast<size_t>(length) >= picture_bytes) return true;
    std::printf("%s frame refused: %d bytes given, %zu needed\n", m_name.c_str(), length, picture_bytes);
    return false;
}

template <typename Fill>
bool copy_buffer::write_slot(size_t needed, uint8_t tag, Fill fill) {
    const uint32_t written = m_write_count.load(std::memory_order_relaxed);
    // Acquire: the consumer's last use of the slot we may refill happens before we write it.
    const uint32_t released = m_read_count.load(std::memory_order_acquire);
    // Two unread frames: the third slot is the one open for reading (or about to be); drop the new frame.
    if (written != 0 && written - released >= 2) return false;
    const int index = static_cast<int>(written % kSlots);
    uint8_t* slot = m_copy_buffer_char[index];
    if (slot == nullptr) return false;
    if (needed == 0 || needed > m_slot_capacity[index]) {
        std::printf("%s frame refused: %zu bytes for a slot of %zu\n", m_name.c_str(), needed,
                    m_slot_capacity[index]);
        return false;
    }
    if (!fill(slot)) return false;
    m_tag[index] = tag;
    // Release: the slot's bytes are visible before the consumer sees the new count.
    m_write_count.store(written + 1, std::memory_order_release);
    return true;
}

void copy_buffer::m_copy_buffer_write(const void* data, int length) {
    if (data == nullptr || length <= 0) return;
    std::lock_guard<std::mutex> producer(m_producer_lock);
    write_slot(static_cast<size_t>(length), 0, [&](uint8_t* slot) {
        std::memcpy(slot, data, static_cast<size_t>(length));
        return true;
    });
}

void copy_buffer::m_copy_buffer_write_nv12_crop(const void* data, int length, int frame_width,
                                                int frame_height) {
    write_cpu_crop(data, length, frame_width, frame_height, kCopyBufferNv12);
}

void copy_buffer::m_copy_buffer_write_nv16_crop(const void* data, int length, int frame_width,
                                                int frame_height) {
    write_cpu_crop(data, length, frame_width, frame_height, kCopyBufferNv16);
}

void copy_buffer::write_cpu_crop(const void* data, int length, int frame_width, int frame_height, int picture) {
    if (data == nullptr || length <= 0) return;
    std::lock_guard<std::mutex> producer(m_producer_lock);
    const int ring_width = width();
    const int ring_height = height();
    if (frame_width == ring_width && frame_height == ring_height) {
        write_slot(static_cast<size_t>(length), 0, [&](uint8_t* slot) {
            std::memcpy(slot, data, static_cast<size_t>(length));
            return true;
        });
        return;
    }
    if (!source_holds(length, slot_bytes(picture, frame_width, frame_height))) return;
    const auto crop = picture == kCopyBufferNv16 ? nv16_crop_copy : nv12_crop_copy;
    write_slot(slot_bytes(picture, ring_width, ring_height), 0, [&](uint8_t* slot) {
        return crop(static_cast<const uint8_t*>(data), frame_width, frame_height, slot, 0, 0, ring_width,
                    ring_height) == 1;
    });
}

void copy_buffer::m_copy_buffer_write_rga_nv12(const void* data, int length, int frame_width,
                                               int frame_height) {
    m_copy_buffer_write_rga_fourcc(data, length, frame_width, frame_height, "NV12");
}

bool copy_buffer::m_copy_buffer_write_rga_fourcc(const void* data, int length, int frame_width,
                                                 int frame_height, const char* fourcc) {
    if (data == nullptr || fourcc == nullptr) return false;
    // "RGB3" names the target: the frame is read as NV12.
    const char* src_fourcc = nullptr;
    const char* dst_fourcc = "NV12";
    if (std::strcmp(fourcc, "NV12") == 0) {
        src_fourcc = "NV12";
    } else if (std::strcmp(fourcc, "NV16") == 0) {
        src_fourcc = "NV16";
    } else if (std::strcmp(fourcc, "RGB3") == 0) {
        src_fourcc = "NV12";
        dst_fourcc = "RGB3";
    } else {
        std::printf("%s frame refused: FourCC %.4s not handled\n", m_name.c_str(), fourcc);
        return false;
    }
    std::lock_guard<std::mutex> producer(m_producer_lock);
    const int ring_width = width();
    const int ring_height = height();
    if (!source_holds(length, rkrga_fourcc_picture_bytes(src_fourcc, frame_width, frame_height))) return false;
    const bool same_size = frame_width == ring_width && frame_height == ring_height;
    if (!same_size && std::strcmp(dst_fourcc, "RGB3") == 0)
        std::printf("in_width=%d in_height=%d W=%d H=%d\n", frame_width, frame_height, ring_width, ring_height);
    return write_slot(rkrga_fourcc_picture_bytes(dst_fourcc, ring_width, ring_height), 0, [&](uint8_t* slot) {
        if (same_size) return rkrga_api_cvtcolor(data, slot, ring_width, ring_height, src_fourcc, dst_fourcc) == 1;
        return rkrga_api_crop(data, slot, frame_width, frame_height, 0, 0, ring_width, ring_height, src_fourcc,
                              dst_fourcc) == 1;
    });
}

void copy_buffer::m_copy_buffer_write_rga_bgr24(const void* data, int length, const char* src_fourcc,
                                                int frame_width, int frame_height) {
    write_scaled(data, length, src_fourcc, frame_width, frame_height, "BGR3");
}

void copy_buffer::m_copy_buffer_write_rga_nv12_scale(const void* data, int length, const char* src_fourcc,
                                                     int frame_width, int frame_height) {
    write_scaled(data, length, src_fourcc, frame_width, frame_height, "NV12");
}

void copy_buffer::write_scaled(const void* data, int length, const char* src_fourcc, int frame_width,
                               int frame_height, const char* dst_fourcc) {
    if (data == nullptr) return;
    std::lock_guard<std::mutex> producer(m_producer_lock);
    const int ring_width = width();
    const int ring_height = height();
    if (!source_holds(length, rkrga_fourcc_picture_bytes(src_fourcc, frame_width, frame_height))) return;
    write_slot(rkrga_fourcc_picture_bytes(dst_fourcc, ring_width, ring_height), 0, [&](uint8_t* slot) {
        return rkrga_api_resize(data, slot, frame_width, frame_height, ring_width, ring_height, src_fourcc,
                                dst_fourcc) == 1;
    });
}

void copy_buffer::m_copy_buffer_write_rga_tagged(const void* data, int length, int frame_width, int frame_height,
                                                 const char* src_fourcc, const char* dst_fourcc, uint8_t tag) {
    if (data == nullptr) return;
    std::lock_guard<std::mutex> producer(m_producer_lock);
    const int ring_width = width();
    const int ring_height = height();
    if (!source_holds(length, rkrga_fourcc_picture_bytes(src_fourcc, frame_width, frame_height))) return;
    const bool same_size = frame_width == ring_width && frame_height == ring_height;
    write_slot(rkrga_fourcc_picture_bytes(dst_fourcc, ring_width, ring_height), tag, [&](uint8_t* slot) {
        if (same_size) return rkrga_api_cvtcolor2(data, slot, ring_width, ring_height, src_fourcc, dst_fourcc) == 1;
        return rkrga_api_resize(data, slot, frame_width, frame_height, ring_width, ring_height, src_fourcc,
                                dst_fourcc) == 1;
    });
}

int copy_buffer::m_copy_buffer_read_pop_start(uint8_t** slot) {
    // Acquire: the bytes of every committed slot are visible from here on.
    const uint32_t written = m_write_count.load(std::memory_order_acquire);
    const uint32_t released = m_read_count.load(std::memory_order_relaxed);
    if (written == 0) return 0;
    if (released >= written) return 0;
    const bool open = m_read_open.load(std::memory_order_relaxed) != 0;
    if (open && released <= 1) return 0;
    if (static_cast<int32_t>(released) == m_last_read_count.load(std::memory_order_relaxed)) {
        // The previous read was not closed: with two frames unread the same slot is handed out again.
        if (written - released <= 1) {
            std::printf("%s m_copy_buffer_read_pop_start error\n", m_name.c_str());
            return 0;
        }
    }
    m_read_open.store(1, std::memory_order_relaxed);
    if (slot != nullptr) *slot = m_copy_buffer_char[released % kSlots];
    m_last_read_count.store(static_cast<int32_t>(released), std::memory_order_relaxed);
    return 1;
}

int copy_buffer::m_copy_buffer_read_pop_start_tagged(uint8_t** slot, uint8_t* tag) {
    const uint32_t written = m_write_count.load(std::memory_order_acquire);
    const uint32_t released = m_read_count.load(std::memory_order_relaxed);
    if (written == 0) return 0;
    if (released >= written) return 0;
    if (m_read_open.load(std::memory_order_relaxed) != 0 && released <= 1) return 0;
    const int index = static_cast<int>(released % kSlots);
    if (index == kTaggedReservedSlot && written - released <= 1) return 0;
    m_read_open.store(1, std::memory_order_relaxed);
    if (slot != nullptr) *slot = m_copy_buffer_char[index];
    if (tag != nullptr) *tag = m_tag[index];
    return 1;
}

int copy_buffer::m_copy_buffer_read_pop_end() {
    if (m_read_open.load(std::memory_order_relaxed) == 0) return 1;
    const uint32_t released = m_read_count.load(std::memory_order_relaxed);
    m_read_open.store(0, std::memory_order_relaxed);
    // Release: our reads of the slot happen before the producer may refill it.
    m_read_count.store(released + 1, std::memory_order_release);
    return 1;
}
