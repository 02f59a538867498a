#include "rga_im2d.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// What the engine needs to know of each format.
struct FormatInfo {
    int format;
    AVPixelFormat pixel_format;  // AV_PIX_FMT_NONE for NV16, which libswscale lacks
    int pixel_bytes;             // bytes per pixel of a packed format, 0 for planar ones
    bool even_width;             // chroma is subsampled horizontally
    bool even_height;            // chroma is subsampled vertically
};

constexpr FormatInfo kFormats[] = {
    {RK_FORMAT_RGBA_8888, AV_PIX_FMT_RGBA, 4, false, false},
    {RK_FORMAT_RGB_888, AV_PIX_FMT_RGB24, 3, false, false},
    {RK_FORMAT_BGR_888, AV_PIX_FMT_BGR24, 3, false, false},
    {RK_FORMAT_YCbCr_422_SP, AV_PIX_FMT_NONE, 0, true, false},
    {RK_FORMAT_YCbCr_422_P, AV_PIX_FMT_YUV422P, 0, true, false},
    {RK_FORMAT_YCbCr_420_SP, AV_PIX_FMT_NV12, 0, true, true},
    {RK_FORMAT_YCbCr_420_P, AV_PIX_FMT_YUV420P, 0, true, true},
    {RK_FORMAT_YUYV_422, AV_PIX_FMT_YUYV422, 2, true, false},
    {RK_FORMAT_UYVY_422, AV_PIX_FMT_UYVY422, 2, true, false},
};

const FormatInfo* find_format(int format) {
    for (const FormatInfo& info : kFormats)
        if (info.format == format) return &info;
    return nullptr;
}

// A rectangle of a picture as libswscale sees it: up to three planes, each with its first byte, row step,
// bytes per row and row count.
struct View {
    AVPixelFormat pixel_format = AV_PIX_FMT_NONE;
    bool nv16 = false;
    int width = 0;
    int height = 0;
    int planes = 0;
    uint8_t* data[4] = {};
    int stride[4] = {};
    int row_bytes[4] = {};
    int rows[4] = {};
};

void set_plane(View& view, int plane, uint8_t* data, int stride, int row_bytes, int rows) {
    view.data[plane] = data;
    view.stride[plane] = stride;
    view.row_bytes[plane] = row_bytes;
    view.rows[plane] = rows;
}

// The view of rect inside a tightly packed picture; rect is already checked and aligned.
View make_view(const FormatInfo& info, uint8_t* base, int width, int height, const im_rect& rect) {
    View view;
    view.pixel_format = info.pixel_format;
    view.nv16 = info.format == RK_FORMAT_YCbCr_422_SP;
    view.width = rect.width;
    view.height = rect.height;
    const size_t w = static_cast<size_t>(width);
    const size_t luma_size = w * static_cast<size_t>(height);
    const size_t x = static_cast<size_t>(rect.x);
    const size_t y = static_cast<size_t>(rect.y);
    if (info.pixel_bytes > 0) {
        view.planes = 1;
        const size_t bytes = static_cast<size_t>(info.pixel_bytes);
        set_plane(view, 0, base + (y * w + x) * bytes, width * info.pixel_bytes, rect.width * info.pixel_bytes,
                  rect.height);
        return view;
    }
    set_plane(view, 0, base + y * w + x, width, rect.width, rect.height);
    uint8_t* chroma = base + luma_size;
    switch (info.format) {
        case RK_FORMAT_YCbCr_420_SP:
            view.planes = 2;
            set_plane(view, 1, chroma + (y / 2) * w + x, width, rect.width, rect.height / 2);
            break;
        case RK_FORMAT_YCbCr_422_SP:
            view.planes = 2;
            set_plane(view, 1, chroma + y * w + x, width, rect.width, rect.height);
            break;
        case RK_FORMAT_YCbCr_420_P: {
            view.planes = 3;
            const size_t half = w / 2;
            set_plane(view, 1, chroma + (y / 2) * half + x / 2, width / 2, rect.width / 2, rect.height / 2);
            set_plane(view, 2, chroma + half * (height / 2) + (y / 2) * half + x / 2, width / 2, rect.width / 2,
                      rect.height / 2);
            break;
        }
        case RK_FORMAT_YCbCr_422_P: {
            view.planes = 3;
            const size_t half = w / 2;
            set_plane(view, 1, chroma + y * half + x / 2, width / 2, rect.width / 2, rect.height);
            set_plane(view, 2, chroma + half * height + y * half + x / 2, width / 2, rect.width / 2, rect.height);
            break;
        }
        default:
            break;
    }
    return view;
}

// A planar picture in scratch memory (used for NV16 split/merge and for rotation).
View scratch_planar(std::vector<uint8_t>& memory, AVPixelFormat pixel_format, int width, int height) {
    View view;
    view.pixel_format = pixel_format;
    view.width = width;
    view.height = height;
    view.planes = 3;
    const int chroma_width = pixel_format == AV_PIX_FMT_YUV444P ? width : width / 2;
    const size_t luma = static_cast<size_t>(width) * height;
    const size_t chroma = static_cast<size_t>(chroma_width) * height;
    if (memory.size() < luma + 2 * chroma) memory.resize(luma + 2 * chroma);
    set_plane(view, 0, memory.data(), width, width, height);
    set_plane(view, 1, memory.data() + luma, chroma_width, chroma_width, height);
    set_plane(view, 2, memory.data() + luma + chroma, chroma_width, chroma_width, height);
    return view;
}

// libswscale contexts and scratch memory of one thread, so calls never share state across threads.
class ThreadState {
public:
    ~ThreadState() {
        for (Entry& entry : entries_) sws_freeContext(entry.context);
    }

    SwsContext* context(const View& src, const View& dst, int flags) {
        ++clock_;
        Entry* oldest = &entries_[0];
        for (Entry& entry : entries_) {
            if (entry.context != nullptr && entry.src_width == src.width && entry.src_height == src.height &&
                entry.src_format == src.pixel_format && entry.dst_width == dst.width &&
                entry.dst_height == dst.height && entry.dst_format == dst.pixel_format && entry.flags == flags) {
                entry.last_use = clock_;
                return entry.context;
            }
            if (entry.last_use < oldest->last_use) oldest = &entry;
        }
        sws_freeContext(oldest->context);
        *oldest = Entry{};
        oldest->context = sws_getContext(src.width, src.height, src.pixel_format, dst.width, dst.height,
                                         dst.pixel_format, flags, nullptr, nullptr, nullptr);
        if (oldest->context == nullptr) return nullptr;
        oldest->src_width = src.width;
        oldest->src_height = src.height;
        oldest->src_format = src.pixel_format;
        oldest->dst_width = dst.width;
        oldest->dst_height = dst.height;
        oldest->dst_format = dst.pixel_format;
        oldest->flags = flags;
        oldest->last_use = clock_;
        return oldest->context;
    }

    std::vector<uint8_t> split;
    std::vector<uint8_t> merge;
    std::vector<uint8_t> rotate_in;
    std::vector<uint8_t> rotate_out;

private:
    // A pipeline alternates between a few conversions; a handful of cached contexts covers them.
    static constexpr int kCachedContexts = 6;
    struct Entry {
        SwsContext* context = nullptr;
        int src_width = 0;
        int src_height = 0;
        AVPixelFormat src_format = AV_PIX_FMT_NONE;
        int dst_width = 0;
        int dst_height = 0;
        AVPixelFormat dst_format = AV_PIX_FMT_NONE;
        int flags = 0;
        uint64_t last_use = 0;
    };
    Entry entries_[kCachedContexts];
    uint64_t clock_ = 0;
};

thread_local ThreadState t_state;

void copy_planes(const View& src, const View& dst) {
    for (int plane = 0; plane < src.planes; ++plane)
        for (int row = 0; row < src.rows[plane]; ++row)
            std::memcpy(dst.data[plane] + static_cast<size_t>(row) * dst.stride[plane],
                        src.data[plane] + static_cast<size_t>(row) * src.stride[plane], src.row_bytes[plane]);
}

// NV16 -> 4:2:2 planar: the luma plane is used in place, U and V are separated into scratch memory.
View split_nv16(const View& nv16) {
    View planar = scratch_planar(t_state.split, AV_PIX_FMT_YUV422P, nv16.width, nv16.height);
    planar.data[0] = nv16.data[0];
    planar.stride[0] = nv16.stride[0];
    const int pairs = nv16.width / 2;
    for (int row = 0; row < nv16.height; ++row) {
        const uint8_t* uv = nv16.data[1] + static_cast<size_t>(row) * nv16.stride[1];
        uint8_t* u = planar.data[1] + static_cast<size_t>(row) * planar.stride[1];
        uint8_t* v = planar.data[2] + static_cast<size_t>(row) * planar.stride[2];
        for (int i = 0; i < pairs; ++i) {
            u[i] = uv[2 * i];
            v[i] = uv[2 * i + 1];
        }
    }
    return planar;
}

// 4:2:2 planar U and V (scratch) -> the interleaved chroma plane of an NV16 destination.
void merge_nv16(const View& planar, const View& nv16) {
    const int pairs = nv16.width / 2;
    for (int row = 0; row < nv16.height; ++row) {
        const uint8_t* u = planar.data[1] + static_cast<size_t>(row) * planar.stride[1];
        const uint8_t* v = planar.data[2] + static_cast<size_t>(row) * planar.stride[2];
        uint8_t* uv = nv16.data[1] + static_cast<size_t>(row) * nv16.stride[1];
        for (int i = 0; i < pairs; ++i) {
            uv[2 * i] = u[i];
            uv[2 * i + 1] = v[i];
        }
    }
}

int scaler_flags(int interpolation) {
    switch (interpolation) {
        case RGA_INTERP_NEAREST:
            return SWS_POINT;
        case RGA_INTERP_CUBIC:
            return SWS_BICUBIC;
        default:
            return SWS_BILINEAR;
    }
}

// Converts and scales one view into another; both sides are already checked.
IM_STATUS convert(const View& src, const View& dst, int interpolation) {
    const bool same_format = src.pixel_format == dst.pixel_format && src.nv16 == dst.nv16;
    if (same_format && src.width == dst.width && src.height == dst.height) {
        copy_planes(src, dst);
        return IM_STATUS_SUCCESS;
    }
    const View in = src.nv16 ? split_nv16(src) : src;
    View out = dst;
    if (dst.nv16) {
        out = scratch_planar(t_state.merge, AV_PIX_FMT_YUV422P, dst.width, dst.height);
        out.data[0] = dst.data[0];
        out.stride[0] = dst.stride[0];
    }
    SwsContext* context = t_state.context(in, out, scaler_flags(interpolation));
    if (context == nullptr) return IM_STATUS_NOT_SUPPORTED;
    const int rows = sws_scale(context, in.data, in.stride, 0, in.height, out.data, out.stride);
    if (rows != out.height) return IM_STATUS_FAILED;
    if (dst.nv16) merge_nv16(out, dst);
    return IM_STATUS_SUCCESS;
}

IM_STATUS check_buffer(const rga_buffer_t& buffer) {
    if (buffer.vir_addr == nullptr) return IM_STATUS_INVALID_PARAM;
    if (buffer.width <= 0 || buffer.height <= 0 || buffer.width > kRgaMaxDimension ||
        buffer.height > kRgaMaxDimension)
        return IM_STATUS_INVALID_PARAM;
    if (buffer.wstride != buffer.width || buffer.hstride != buffer.height) return IM_STATUS_NOT_SUPPORTED;
    const FormatInfo* info = find_format(buffer.format);
    if (info == nullptr) return IM_STATUS_NOT_SUPPORTED;
    if ((info->even_width && buffer.width % 2 != 0) || (info->even_height && buffer.height % 2 != 0))
        return IM_STATUS_INVALID_PARAM;
    return IM_STATUS_NOERROR;
}

// A rectangle inside the buffer whose corner and size keep chroma samples whole.
IM_STATUS check_rect(const rga_buffer_t& buffer, const im_rect& rect) {
    if (rect.x < 0 || rect.y < 0 || rect.width <= 0 || rect.height <= 0 || rect.x > buffer.width - rect.width ||
        rect.y > buffer.height - rect.height)
        return IM_STATUS_INVALID_PARAM;
    const FormatInfo* info = find_format(buffer.format);
    if (info->even_width && (rect.x % 2 != 0 || rect.width % 2 != 0)) return IM_STATUS_INVALID_PARAM;
    if (info->even_height && (rect.y % 2 != 0 || rect.height % 2 != 0)) return IM_STATUS_INVALID_PARAM;
    return IM_STATUS_NOERROR;
}

IM_STATUS check_pair(const rga_buffer_t& src, const rga_buffer_t& dst) {
    IM_STATUS status = check_buffer(src);
    if (status != IM_STATUS_NOERROR) return status;
    return check_buffer(dst);
}

View whole_view(const rga_buffer_t& buffer) {
    return make_view(*find_format(buffer.format), static_cast<uint8_t*>(buffer.vir_addr), buffer.width,
                     buffer.height, im_rect{0, 0, buffer.width, buffer.height});
}

bool synchronous(int sync) {
    return sync != 0;
}

// Turns one plane of 1-byte (YUV 4:4:4) or pixel_bytes-byte samples.
void rotate_plane(const uint8_t* src, int width, int height, int pixel_bytes, uint8_t* dst, int rotation) {
    const size_t bytes = static_cast<size_t>(pixel_bytes);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int dx = 0;
            int dy = 0;
            int dst_width = width;
            if (rotation == RGA_ROTATE_90) {
                dx = height - 1 - y;
                dy = x;
                dst_width = height;
            } else if (rotation == RGA_ROTATE_180) {
                dx = width - 1 - x;
                dy = height - 1 - y;
            } else {
                dx = y;
                dy = width - 1 - x;
                dst_width = height;
            }
            std::memcpy(dst + (static_cast<size_t>(dy) * dst_width + dx) * bytes,
                        src + (static_cast<size_t>(y) * width + x) * bytes, bytes);
        }
    }
}

}  // namespace

rga_buffer_t wrapbuffer_virtualaddr_t(void* vir_addr, int width, int height, int format) {
    return rga_buffer_t{vir_addr, width, height, width, height, format};
}

IM_STATUS imcheck_t(rga_buffer_t src, rga_buffer_t dst, im_rect srect, im_rect drect, int /*mode*/) {
    IM_STATUS status = check_pair(src, dst);
    if (status != IM_STATUS_NOERROR) return status;
    if (srect.width != 0 || srect.height != 0) {
        status = check_rect(src, srect);
        if (status != IM_STATUS_NOERROR) return status;
    }
    if (drect.width != 0 || drect.height != 0) {
        status = check_rect(dst, drect);
        if (status != IM_STATUS_NOERROR) return status;
    }
    return IM_STATUS_NOERROR;
}

IM_STATUS imcvtcolor_t(rga_buffer_t src, rga_buffer_t dst, int sfmt, int dfmt, int mode, int sync) {
    if (mode != 0 || !synchronous(sync)) return IM_STATUS_NOT_SUPPORTED;
    src.format = sfmt;
    dst.format = dfmt;
    const IM_STATUS status = check_pair(src, dst);
    if (status != IM_STATUS_NOERROR) return status;
    if (src.width != dst.width || src.height != dst.height) return IM_STATUS_INVALID_PARAM;
    return convert(whole_view(src), whole_view(dst), RGA_INTERP_LINEAR);
}

IM_STATUS imresize_t(rga_buffer_t src, rga_buffer_t dst, double fx, double fy, int interpolation, int sync) {
    if (fx != 0.0 || fy != 0.0 || !synchronous(sync)) return IM_STATUS_NOT_SUPPORTED;
    if (interpolation < RGA_INTERP_NEAREST || interpolation > RGA_INTERP_CUBIC) return IM_STATUS_NOT_SUPPORTED;
    const IM_STATUS status = check_pair(src, dst);
    if (status != IM_STATUS_NOERROR) return status;
    return convert(whole_view(src), whole_view(dst), interpolation);
}

IM_STATUS imcrop_t(rga_buffer_t src, rga_buffer_t dst, im_rect rect, int sync) {
    if (!synchronous(sync)) return IM_STATUS_NOT_SUPPORTED;
    IM_STATUS status = check_pair(src, dst);
    if (status != IM_STATUS_NOERROR) return status;
    status = check_rect(src, rect);
    if (status != IM_STATUS_NOERROR) return status;
    if (dst.width != rect.width || dst.height != rect.height) return IM_STATUS_INVALID_PARAM;
    const View in = make_view(*find_format(src.format), static_cast<uint8_t*>(src.vir_addr), src.width,
                              src.height, rect);
    return convert(in, whole_view(dst), RGA_INTERP_LINEAR);
}

IM_STATUS imrotate_t(rga_buffer_t src, rga_buffer_t dst, int rotation, int sync) {
    if (!synchronous(sync)) return IM_STATUS_NOT_SUPPORTED;
    if (rotation != RGA_ROTATE_90 && rotation != RGA_ROTATE_180 && rotation != RGA_ROTATE_270)
        return IM_STATUS_INVALID_PARAM;
    const IM_STATUS status = check_pair(src, dst);
    if (status != IM_STATUS_NOERROR) return status;
    if (src.format != dst.format) return IM_STATUS_NOT_SUPPORTED;
    const bool quarter_turn = rotation != RGA_ROTATE_180;
    const int out_width = quarter_turn ? src.height : src.width;
    const int out_height = quarter_turn ? src.width : src.height;
    if (dst.width != out_width || dst.height != out_height) return IM_STATUS_INVALID_PARAM;

    const FormatInfo& info = *find_format(src.format);
    if (info.pixel_bytes > 2) {
        rotate_plane(static_cast<const uint8_t*>(src.vir_addr), src.width, src.height, info.pixel_bytes,
                     static_cast<uint8_t*>(dst.vir_addr), rotation);
        return IM_STATUS_SUCCESS;
    }
    // Subsampled chroma does not survive a quarter turn as it stands: rotate at full chroma resolution.
    const View full = scratch_planar(t_state.rotate_in, AV_PIX_FMT_YUV444P, src.width, src.height);
    IM_STATUS converted = convert(whole_view(src), full, RGA_INTERP_LINEAR);
    if (converted != IM_STATUS_SUCCESS) return converted;
    const View turned = scratch_planar(t_state.rotate_out, AV_PIX_FMT_YUV444P, out_width, out_height);
    for (int plane = 0; plane < 3; ++plane)
        rotate_plane(full.data[plane], src.width, src.height, 1, turned.data[plane], rotation);
    return convert(turned, whole_view(dst), RGA_INTERP_LINEAR);
}

IM_STATUS imcopy_t(rga_buffer_t src, rga_buffer_t dst, int sync) {
    if (!synchronous(sync)) return IM_STATUS_NOT_SUPPORTED;
    const IM_STATUS status = check_pair(src, dst);
    if (status != IM_STATUS_NOERROR) return status;
    if (src.format != dst.format || src.width != dst.width || src.height != dst.height)
        return IM_STATUS_INVALID_PARAM;
    std::memcpy(dst.vir_addr, src.vir_addr, rga_picture_bytes(src.format, src.width, src.height));
    return IM_STATUS_SUCCESS;
}

const char* imStrError_t(IM_STATUS status) {
    switch (status) {
        case IM_STATUS_NOERROR:
            return "No errors during operation";
        case IM_STATUS_SUCCESS:
            return "Run successfully";
        case IM_STATUS_NOT_SUPPORTED:
            return "Unsupported function";
        case IM_STATUS_OUT_OF_MEMORY:
            return "Memory overflow";
        case IM_STATUS_INVALID_PARAM:
            return "Invalid parameters";
        case IM_STATUS_ILLEGAL_PARAM:
            return "Illegal parameters";
        case IM_STATUS_FAILED:
            return "Failed to call RGA";
    }
    return "Unknown status";
}

const char* querystring(int name) {
    if (name == 0) return "RGA stand-in 1.0 (libswscale " LIBSWSCALE_IDENT ")";
    return "RGA stand-in on the CPU over libswscale\n"
           "formats: RGBA8888 RGB888 BGR888 NV16 YUV422P NV12 YUV420P YUYV UYVY\n"
           "operations: cvtcolor resize crop rotate copy check\n"
           "max size: 8192x8192; buffers by virtual address, tightly packed; synchronous only";
}

size_t rga_picture_bytes(int format, int width, int height) {
    const FormatInfo* info = find_format(format);
    if (info == nullptr || width <= 0 || height <= 0) return 0;
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (info->pixel_bytes > 0) return pixels * static_cast<size_t>(info->pixel_bytes);
    return info->even_height ? pixels * 3 / 2 : pixels * 2;
}
