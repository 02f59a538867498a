// Planar libavcodec pictures into the semi-planar layouts of the device's decoders.
#include "picture_layout.h"

#include <cstring>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace mpp {

namespace {

uint32_t align_up(uint32_t value, uint32_t step) { return (value + step - 1) / step * step; }

// Bytes per luma row: a multiple of 16, or an odd multiple of 256.
uint32_t row_stride(uint32_t row_bytes, MppStridePolicy policy) {
    if (policy == MPP_STRIDE_ODD256) {
        uint32_t stride = align_up(row_bytes, 256);
        if ((stride / 256) % 2 == 0) stride += 256;
        return stride;
    }
    return align_up(row_bytes, 16);
}

struct FormatInfo {
    MppFrameFormat fmt;
    int bytes_per_sample;
    int chroma_shift_x;  // -1: no chroma
    int chroma_shift_y;
};

bool format_info(int av_format, FormatInfo* info) {
    switch (av_format) {
        case AV_PIX_FMT_YUV420P:
        case AV_PIX_FMT_YUVJ420P: *info = {MPP_FMT_YUV420SP, 1, 1, 1}; return true;
        case AV_PIX_FMT_YUV422P:
        case AV_PIX_FMT_YUVJ422P: *info = {MPP_FMT_YUV422SP, 1, 1, 0}; return true;
        case AV_PIX_FMT_YUV444P:
        case AV_PIX_FMT_YUVJ444P: *info = {MPP_FMT_YUV444SP, 1, 0, 0}; return true;
        case AV_PIX_FMT_GRAY8: *info = {MPP_FMT_YUV400, 1, -1, -1}; return true;
        case AV_PIX_FMT_YUV420P10LE: *info = {MPP_FMT_YUV420SP_10BIT, 2, 1, 1}; return true;
        default: return false;
    }
}

// Interleaves two chroma planes row by row into one plane of pairs.
template <typename Sample>
void interleave(const AVFrame& picture, int chroma_width, int chroma_height, uint8_t* dst, size_t dst_stride) {
    for (int row = 0; row < chroma_height; ++row) {
        const auto* u = reinterpret_cast<const Sample*>(picture.data[1] + row * picture.linesize[1]);
        const auto* v = reinterpret_cast<const Sample*>(picture.data[2] + row * picture.linesize[2]);
        auto* out = reinterpret_cast<Sample*>(dst + row * dst_stride);
        for (int k = 0; k < chroma_width; ++k) {
            out[2 * k] = u[k];
            out[2 * k + 1] = v[k];
        }
    }
}

}  // namespace

bool layout_for(int av_format, uint32_t width, uint32_t height, MppStridePolicy policy, PictureLayout* out) {
    FormatInfo info{};
    if (!format_info(av_format, &info) || width == 0 || height == 0) return false;
    PictureLayout layout;
    layout.fmt = info.fmt;
    layout.width = width;
    layout.height = height;
    layout.hor_stride = row_stride(width * static_cast<uint32_t>(info.bytes_per_sample), policy);
    layout.ver_stride = align_up(height, 16);
    size_t luma = static_cast<size_t>(layout.hor_stride) * layout.ver_stride;
    switch (info.fmt) {
        case MPP_FMT_YUV400: layout.size = luma; break;
        case MPP_FMT_YUV422SP: layout.size = luma * 2; break;
        case MPP_FMT_YUV444SP: layout.size = luma * 3; break;
        default: layout.size = luma * 3 / 2; break;
    }
    *out = layout;
    return true;
}

void write_picture(const AVFrame& picture, const PictureLayout& layout, uint8_t* dst) {
    FormatInfo info{};
    if (!format_info(picture.format, &info)) return;
    size_t row_bytes = static_cast<size_t>(layout.width) * static_cast<size_t>(info.bytes_per_sample);
    for (uint32_t row = 0; row < layout.height; ++row) {
        std::memcpy(dst + row * layout.hor_stride, picture.data[0] + row * picture.linesize[0], row_bytes);
    }
    if (info.chroma_shift_x < 0) return;
    int chroma_width = static_cast<int>((layout.width + (1u << info.chroma_shift_x) - 1) >> info.chroma_shift_x);
    int chroma_height = static_cast<int>((layout.height + (1u << info.chroma_shift_y) - 1) >> info.chroma_shift_y);
    uint8_t* chroma = dst + static_cast<size_t>(layout.hor_stride) * layout.ver_stride;
    // 4:4:4 pairs are twice as wide as a luma row, so their rows are twice the stride.
    size_t chroma_stride = info.chroma_shift_x == 0 ? 2u * layout.hor_stride : layout.hor_stride;
    if (info.bytes_per_sample == 2) {
        interleave<uint16_t>(picture, chroma_width, chroma_height, chroma, chroma_stride);
    } else {
        interleave<uint8_t>(picture, chroma_width, chroma_height, chroma, chroma_stride);
    }
}

}  // namespace mpp
