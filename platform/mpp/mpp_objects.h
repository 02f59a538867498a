// The objects behind the library's opaque handles, shared by its units.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "mpp_api.h"

namespace mpp {

struct BufferGroup;

// One block of 64-byte-aligned memory. References: the mpp_buffer_get caller, and every frame holding it.
struct Buffer {
    uint8_t* data = nullptr;
    size_t size = 0;
    std::shared_ptr<BufferGroup> group;
    std::atomic<int> references{1};
};

// A pool of buffers. A pool of limited count keeps returned blocks for reuse until it is cleared or put.
struct BufferGroup : std::enable_shared_from_this<BufferGroup> {
    std::mutex mutex;
    size_t limit_size = 0;   // 0: any size
    int32_t limit_count = 0;  // 0: no limit
    int32_t held_count = 0;   // buffers handed out and not yet returned
    size_t held_bytes = 0;
    std::vector<uint8_t*> spare_data;  // returned blocks with their sizes
    std::vector<size_t> spare_size;
    ~BufferGroup();
};

// The handle a caller holds for a group: putting the handle frees the spare memory; held buffers keep the
// group alive until they come back.
struct BufferGroupHandle {
    std::shared_ptr<BufferGroup> group;
};

// Takes a buffer of at least size bytes from group; nullptr when the group is at its limit or memory runs
// out. The decoder uses this (no failure injection, no log line).
Buffer* take_buffer(const std::shared_ptr<BufferGroup>& group, size_t size);
void add_buffer_reference(Buffer* buffer);
void release_buffer(Buffer* buffer);

struct Frame {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t hor_stride = 0;
    uint32_t ver_stride = 0;
    MppFrameFormat fmt = MPP_FMT_YUV420SP;
    Buffer* buffer = nullptr;  // one reference held while set
    size_t buf_size = 0;
    uint32_t info_change = 0;
    uint32_t errinfo = 0;
    uint32_t discard = 0;
    uint32_t eos = 0;
};

struct Packet {
    uint8_t* data = nullptr;
    size_t size = 0;
    uint8_t* pos = nullptr;
    size_t length = 0;
    uint32_t eos = 0;
    Buffer* buffer = nullptr;       // one reference held when made over a buffer
    std::vector<uint8_t> storage;   // the bytes, for packets the library makes
    bool owned_by_context = false;  // the context frees it; mpp_packet_deinit leaves it alone
};

// The payload of a packet, checked against its bytes: nullptr when pos/length lie outside data/size.
const uint8_t* packet_payload(const Packet& packet);

constexpr int kMetaKeyCount = 5;
struct Task {
    MppFrame frames[kMetaKeyCount] = {};
    MppPacket packets[kMetaKeyCount] = {};
    MppBuffer buffers[kMetaKeyCount] = {};
    void clear() { *this = Task(); }
};

}  // namespace mpp
