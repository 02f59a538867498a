// Where a decoded picture goes in a frame buffer: the semi-planar layouts callers read (NV12, NV16, ...),
// with their strides, and the copy from libavcodec's planar pictures into them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mpp_api.h"
#include "mpp_hooks.h"

struct AVFrame;

namespace mpp {

struct PictureLayout {
    MppFrameFormat fmt = MPP_FMT_YUV420SP;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t hor_stride = 0;  // bytes per luma row
    uint32_t ver_stride = 0;  // luma rows
    size_t size = 0;          // bytes of the whole picture
    bool operator==(const PictureLayout& other) const {
        return fmt == other.fmt && width == other.width && height == other.height &&
               hor_stride == other.hor_stride && ver_stride == other.ver_stride;
    }
    bool operator!=(const PictureLayout& other) const { return !(*this == other); }
};

// The layout for a libavcodec picture (pixel format av_format), or false for a format with no semi-planar
// counterpart here.
bool layout_for(int av_format, uint32_t width, uint32_t height, MppStridePolicy policy, PictureLayout* out);

// Copies picture into dst (at least layout.size bytes) in the layout; chroma planes are interleaved U,V.
void write_picture(const AVFrame& picture, const PictureLayout& layout, uint8_t* dst);

}  // namespace mpp
