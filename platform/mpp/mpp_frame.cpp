// Frame objects: picture geometry, format, flags and the buffer holding the picture.
#include <new>

#include "mpp_hook_state.h"
#include "mpp_objects.h"

using mpp::Frame;

namespace {
Frame* frame_of(MppFrame frame) { return static_cast<Frame*>(frame); }
}  // namespace

extern "C" {

MPP_RET mpp_frame_init(MppFrame* frame) {
    if (!frame) return MPP_ERR_NULL_PTR;
    *frame = nullptr;
    if (mpp::hook_fails(MPP_HOOK_FRAME_INIT)) return MPP_NOK;
    Frame* made = new (std::nothrow) Frame;
    if (!made) return MPP_ERR_MALLOC;
    *frame = made;
    return MPP_OK;
}

MPP_RET mpp_frame_deinit(MppFrame* frame) {
    if (!frame || !*frame) return MPP_ERR_NULL_PTR;
    Frame* f = frame_of(*frame);
    if (f->buffer) mpp::release_buffer(f->buffer);
    delete f;
    *frame = nullptr;
    return MPP_OK;
}

void mpp_frame_set_width(MppFrame frame, uint32_t width) {
    if (frame) frame_of(frame)->width = width;
}
void mpp_frame_set_height(MppFrame frame, uint32_t height) {
    if (frame) frame_of(frame)->height = height;
}
void mpp_frame_set_hor_stride(MppFrame frame, uint32_t stride) {
    if (frame) frame_of(frame)->hor_stride = stride;
}
void mpp_frame_set_ver_stride(MppFrame frame, uint32_t stride) {
    if (frame) frame_of(frame)->ver_stride = stride;
}
void mpp_frame_set_fmt(MppFrame frame, MppFrameFormat format) {
    if (frame) frame_of(frame)->fmt = format;
}
void mpp_frame_set_eos(MppFrame frame, uint32_t eos) {
    if (frame) frame_of(frame)->eos = eos;
}

void mpp_frame_set_buffer(MppFrame frame, MppBuffer buffer) {
    if (!frame) return;
    Frame* f = frame_of(frame);
    auto* b = static_cast<mpp::Buffer*>(buffer);
    if (f->buffer == b) return;
    if (b) mpp::add_buffer_reference(b);
    if (f->buffer) mpp::release_buffer(f->buffer);
    f->buffer = b;
    f->buf_size = b ? b->size : 0;
}

uint32_t mpp_frame_get_width(MppFrame frame) { return frame ? frame_of(frame)->width : 0; }
uint32_t mpp_frame_get_height(MppFrame frame) { return frame ? frame_of(frame)->height : 0; }
uint32_t mpp_frame_get_hor_stride(MppFrame frame) { return frame ? frame_of(frame)->hor_stride : 0; }
uint32_t mpp_frame_get_ver_stride(MppFrame frame) { return frame ? frame_of(frame)->ver_stride : 0; }
MppFrameFormat mpp_frame_get_fmt(MppFrame frame) { return frame ? frame_of(frame)->fmt : MPP_FMT_BUTT; }
MppBuffer mpp_frame_get_buffer(MppFrame frame) { return frame ? frame_of(frame)->buffer : nullptr; }
size_t mpp_frame_get_buf_size(MppFrame frame) { return frame ? frame_of(frame)->buf_size : 0; }
uint32_t mpp_frame_get_info_change(MppFrame frame) { return frame ? frame_of(frame)->info_change : 0; }
uint32_t mpp_frame_get_errinfo(MppFrame frame) { return frame ? frame_of(frame)->errinfo : 0; }
uint32_t mpp_frame_get_discard(MppFrame frame) { return frame ? frame_of(frame)->discard : 0; }
uint32_t mpp_frame_get_eos(MppFrame frame) { return frame ? frame_of(frame)->eos : 0; }

}  // extern "C"
