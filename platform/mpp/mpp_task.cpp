// Task metadata: the frames, packets and buffers a caller attaches to a task, by key.
#include "mpp_objects.h"

namespace {

mpp::Task* task_of(MppTask task) { return static_cast<mpp::Task*>(task); }
bool key_valid(MppMetaKey key) { return key >= 0 && key < mpp::kMetaKeyCount; }

}  // namespace

extern "C" {

MPP_RET mpp_task_meta_set_frame(MppTask task, MppMetaKey key, MppFrame frame) {
    if (!task) return MPP_ERR_NULL_PTR;
    if (!key_valid(key)) return MPP_ERR_VALUE;
    task_of(task)->frames[key] = frame;
    return MPP_OK;
}

MPP_RET mpp_task_meta_get_frame(MppTask task, MppMetaKey key, MppFrame* frame) {
    if (!frame) return MPP_ERR_NULL_PTR;
    *frame = nullptr;
    if (!task) return MPP_ERR_NULL_PTR;
    if (!key_valid(key)) return MPP_ERR_VALUE;
    *frame = task_of(task)->frames[key];
    return *frame ? MPP_OK : MPP_NOK;
}

MPP_RET mpp_task_meta_set_packet(MppTask task, MppMetaKey key, MppPacket packet) {
    if (!task) return MPP_ERR_NULL_PTR;
    if (!key_valid(key)) return MPP_ERR_VALUE;
    task_of(task)->packets[key] = packet;
    return MPP_OK;
}

MPP_RET mpp_task_meta_get_packet(MppTask task, MppMetaKey key, MppPacket* packet) {
    if (!packet) return MPP_ERR_NULL_PTR;
    *packet = nullptr;
    if (!task) return MPP_ERR_NULL_PTR;
    if (!key_valid(key)) return MPP_ERR_VALUE;
    *packet = task_of(task)->packets[key];
    return *packet ? MPP_OK : MPP_NOK;
}

MPP_RET mpp_task_meta_set_buffer(MppTask task, MppMetaKey key, MppBuffer buffer) {
    if (!task) return MPP_ERR_NULL_PTR;
    if (!key_valid(key)) return MPP_ERR_VALUE;
    task_of(task)->buffers[key] = buffer;
    return MPP_OK;
}

}  // extern "C"
