// Buffers and buffer groups: 64-byte-aligned CPU memory with reference counts and per-group limits.
#include <cstdlib>
#include <cstring>
#include <new>

#include "mpp_hook_state.h"
#include "mpp_objects.h"

namespace mpp {

namespace {

constexpr size_t kAlignment = 64;
// The biggest single block the library hands out (a 4096x4096 4:4:4 picture with 16-bit samples is 96 MiB).
constexpr size_t kMaxBufferSize = 256u * 1024 * 1024;

uint8_t* allocate_block(size_t size) {
    size_t rounded = (size + kAlignment - 1) / kAlignment * kAlignment;
    void* block = std::aligned_alloc(kAlignment, rounded);
    if (block) std::memset(block, 0, rounded);
    return static_cast<uint8_t*>(block);
}

// The group behind mpp_buffer_get(NULL, ...).
std::shared_ptr<BufferGroup> default_group() {
    static std::shared_ptr<BufferGroup> group = std::make_shared<BufferGroup>();
    return group;
}

BufferGroupHandle* handle_of(MppBufferGroup group) { return static_cast<BufferGroupHandle*>(group); }

}  // namespace

BufferGroup::~BufferGroup() {
    for (uint8_t* data : spare_data) std::free(data);
}

Buffer* take_buffer(const std::shared_ptr<BufferGroup>& group, size_t size) {
    if (size == 0 || size > kMaxBufferSize) return nullptr;
    uint8_t* data = nullptr;
    size_t data_size = 0;
    {
        std::lock_guard<std::mutex> lock(group->mutex);
        if (group->limit_count > 0 && group->held_count >= group->limit_count) return nullptr;
        for (size_t i = 0; i < group->spare_data.size(); ++i) {
            if (group->spare_size[i] >= size) {
                data = group->spare_data[i];
                data_size = group->spare_size[i];
                group->spare_data.erase(group->spare_data.begin() + static_cast<long>(i));
                group->spare_size.erase(group->spare_size.begin() + static_cast<long>(i));
                break;
            }
        }
        if (!data) {
            data_size = group->limit_size > size ? group->limit_size : size;
            data = allocate_block(data_size);
            if (!data) return nullptr;
        }
        group->held_count++;
        group->held_bytes += data_size;
    }
    Buffer* buffer = new (std::nothrow) Buffer;
    if (!buffer) {
        std::lock_guard<std::mutex> lock(group->mutex);
        group->held_count--;
        group->held_bytes -= data_size;
        std::free(data);
        return nullptr;
    }
    buffer->data = data;
    buffer->size = data_size;
    buffer->group = group;
    return buffer;
}

void add_buffer_reference(Buffer* buffer) { buffer->references.fetch_add(1, std::memory_order_relaxed); }

void release_buffer(Buffer* buffer) {
    if (buffer->references.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    {
        // Only pools of limited count (a decoder's frame buffers) keep returned blocks for reuse.
        std::lock_guard<std::mutex> lock(buffer->group->mutex);
        buffer->group->held_count--;
        buffer->group->held_bytes -= buffer->size;
        if (buffer->group->limit_count > 0) {
            buffer->group->spare_data.push_back(buffer->data);
            buffer->group->spare_size.push_back(buffer->size);
            buffer->data = nullptr;
        }
    }
    std::free(buffer->data);
    delete buffer;
}

}  // namespace mpp

using namespace mpp;

extern "C" {

MPP_RET mpp_buffer_group_get_internal(MppBufferGroup* group, MppBufferType type) {
    if (!group) return MPP_ERR_NULL_PTR;
    *group = nullptr;
    (void)type;  // every type is CPU memory here
    if (hook_fails(MPP_HOOK_GROUP_GET)) return MPP_NOK;
    auto* handle = new (std::nothrow) BufferGroupHandle;
    if (!handle) return MPP_ERR_MALLOC;
    handle->group = std::make_shared<BufferGroup>();
    *group = handle;
    return MPP_OK;
}

MPP_RET mpp_buffer_group_put(MppBufferGroup group) {
    if (!group) return MPP_ERR_NULL_PTR;
    mpp_buffer_group_clear(group);
    delete handle_of(group);
    return MPP_OK;
}

MPP_RET mpp_buffer_group_clear(MppBufferGroup group) {
    if (!group) return MPP_ERR_NULL_PTR;
    BufferGroup& g = *handle_of(group)->group;
    std::lock_guard<std::mutex> lock(g.mutex);
    for (uint8_t* data : g.spare_data) std::free(data);
    g.spare_data.clear();
    g.spare_size.clear();
    return MPP_OK;
}

MPP_RET mpp_buffer_group_limit_config(MppBufferGroup group, size_t size, int32_t count) {
    if (!group) return MPP_ERR_NULL_PTR;
    if (count < 0 || size > kMaxBufferSize) return MPP_ERR_VALUE;
    BufferGroup& g = *handle_of(group)->group;
    std::lock_guard<std::mutex> lock(g.mutex);
    g.limit_size = size;
    g.limit_count = count;
    return MPP_OK;
}

size_t mpp_buffer_group_usage(MppBufferGroup group) {
    if (!group) return 0;
    BufferGroup& g = *handle_of(group)->group;
    std::lock_guard<std::mutex> lock(g.mutex);
    return g.held_bytes;
}

MPP_RET mpp_buffer_get(MppBufferGroup group, MppBuffer* buffer, size_t size) {
    if (!buffer) return MPP_ERR_NULL_PTR;
    *buffer = nullptr;
    if (hook_fails(MPP_HOOK_BUFFER_GET)) return MPP_NOK;
    if (size == 0 || size > kMaxBufferSize) {
        mpp_err("mpp_buffer_get: refused a buffer of %zu bytes", size);
        return MPP_ERR_VALUE;
    }
    Buffer* taken = take_buffer(group ? handle_of(group)->group : default_group(), size);
    if (!taken) {
        mpp_err("mpp_buffer_get: no buffer of %zu bytes (group limit reached or out of memory)", size);
        return MPP_NOK;
    }
    *buffer = taken;
    return MPP_OK;
}

MPP_RET mpp_buffer_put(MppBuffer buffer) {
    if (!buffer) return MPP_ERR_NULL_PTR;
    release_buffer(static_cast<Buffer*>(buffer));
    return MPP_OK;
}

void* mpp_buffer_get_ptr(MppBuffer buffer) { return buffer ? static_cast<Buffer*>(buffer)->data : nullptr; }

size_t mpp_buffer_get_size(MppBuffer buffer) { return buffer ? static_cast<Buffer*>(buffer)->size : 0; }

}  // extern "C"
