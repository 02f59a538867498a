#include "test_pattern.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>

namespace {

// Floor of v / 256 for negative values too (an arithmetic shift).
int shift8(int v) {
    return v >= 0 ? v >> 8 : -((-v + 255) >> 8);
}

uint8_t clamp8(int v) {
    return static_cast<uint8_t>(std::clamp(v, 0, 255));
}

// Writes a pixel's bytes in little-endian order, or reversed for big-endian.
void put_bytes(uint8_t* p, const uint8_t* bytes, int count, bool big_endian) {
    for (int i = 0; i < count; ++i) p[i] = bytes[big_endian ? count - 1 - i : i];
}

void put16(uint8_t* p, unsigned value, bool big_endian) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    put_bytes(p, bytes, 2, big_endian);
}

void put32(uint8_t* p, uint32_t value, bool big_endian) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    put_bytes(p, bytes, 4, big_endian);
}

void write_rgb565(uint8_t* p, uint8_t r, uint8_t g, uint8_t b, bool be) {
    put16(p, ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3), be);
}
void write_bgr565(uint8_t* p, uint8_t r, uint8_t g, uint8_t b, bool be) {
    put16(p, ((b >> 3) << 11) | ((g >> 2) << 5) | (r >> 3), be);
}
void write_rgb555(uint8_t* p, uint8_t r, uint8_t g, uint8_t b, bool be) {
    put16(p, ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3), be);
}
void write_bgr555(uint8_t* p, uint8_t r, uint8_t g, uint8_t b, bool be) {
    put16(p, ((b >> 3) << 10) | ((g >> 3) << 5) | (r >> 3), be);
}
void write_rgb444(uint8_t* p, uint8_t r, uint8_t g, uint8_t b, bool be) {
    put16(p, ((r >> 4) << 8) | ((g >> 4) << 4) | (b >> 4), be);
}
void write_bgr444(uint8_t* p, uint8_t r, uint8_t g, uint8_t b, bool be) {
    put16(p, ((b >> 4) << 8) | ((g >> 4) << 4) | (r >> 4), be);
}
void write_rgb888(uint8_t* p, uint8_t r, uint8_t g, uint8_t b, bool be) {
    const uint8_t bytes[3] = {b, g, r};
    put_bytes(p, bytes, 3, be);
}
void write_bgr888(uint8_t* p, uint8_t r, uint8_t g, uint8_t b, bool be) {
    const uint8_t bytes[3] = {r, g, b};
    put_bytes(p, bytes, 3, be);
}
void write_rgb101010(uint8_t* p, uint8_t r, uint8_t g, uint8_t b, bool be) {
    put32(p, (uint32_t{r} << 22) | (uint32_t{g} << 12) | (uint32_t{b} << 2), be);
}
void write_bgr101010(uint8_t* p, uint8_t r, uint8_t g, uint8_t b, bool be) {
    put32(p, (uint32_t{b} << 22) | (uint32_t{g} << 12) | (uint32_t{r} << 2), be);
}
void write_argb8888(uint8_t* p, uint8_t r, uint8_t g, uint8_t b, bool be) {
    const uint8_t bytes[4] = {b, g, r, 255};
    put_bytes(p, bytes, 4, be);
}
void write_abgr8888(uint8_t* p, uint8_t r, uint8_t g, uint8_t b, bool be) {
    const uint8_t bytes[4] = {r, g, b, 255};
    put_bytes(p, bytes, 4, be);
}
void write_bgra8888(uint8_t* p, uint8_t r, uint8_t g, uint8_t b, bool be) {
    const uint8_t bytes[4] = {255, r, g, b};
    put_bytes(p, bytes, 4, be);
}
void write_rgba8888(uint8_t* p, uint8_t r, uint8_t g, uint8_t b, bool be) {
    const uint8_t bytes[4] = {255, b, g, r};
    put_bytes(p, bytes, 4, be);
}

struct RgbWriter {
    void (*write)(uint8_t*, uint8_t, uint8_t, uint8_t, bool);
    int pixel_bytes;
};

// Indexed by format - kPatternRgbFirst.
constexpr RgbWriter kRgbWriters[] = {
    {write_rgb565, 2},    {write_bgr565, 2},    {write_rgb555, 2},    {write_bgr555, 2},    {write_rgb444, 2},
    {write_bgr444, 2},    {write_rgb888, 3},    {write_bgr888, 3},    {write_rgb101010, 4}, {write_bgr101010, 4},
    {write_argb8888, 4},  {write_abgr8888, 4},  {write_bgra8888, 4},  {write_rgba8888, 4},
};

// Row step in bytes for a stride in pixels, rounded as the encoder wants it.
size_t rgb_row_bytes(int hor_stride, int pixel_bytes) {
    const int bytes = hor_stride * pixel_bytes;
    if (pixel_bytes == 2) return static_cast<size_t>((bytes + 15) & ~15);
    if (pixel_bytes == 3) return static_cast<size_t>((bytes + 23) & ~0x17);
    return static_cast<size_t>((bytes + 31) & ~31);
}

uint8_t luma(int x, int y, int n) {
    return static_cast<uint8_t>((x + y + 3 * n) % 256);
}
uint8_t chroma_u(int row, int n) {
    return static_cast<uint8_t>((row + 2 * n + 128) % 256);
}
uint8_t chroma_v(int column, int n) {
    return static_cast<uint8_t>((column + 5 * n + 64) % 256);
}

void fill_luma(uint8_t* buf, int width, int height, size_t stride, int n) {
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) buf[y * stride + x] = luma(x, y, n);
}

// Interleaved chroma rows; vertical_half: 4:2:2 rows count chroma row j as luma row / 2.
void fill_semi_planar(uint8_t* chroma, int width, int rows, size_t stride, int n, bool v_first, bool vertical_half) {
    for (int row = 0; row < rows; ++row) {
        const int j = vertical_half ? row / 2 : row;
        uint8_t* p = chroma + row * stride;
        for (int k = 0; k < width / 2; ++k) {
            p[2 * k + (v_first ? 1 : 0)] = chroma_u(j, n);
            p[2 * k + (v_first ? 0 : 1)] = chroma_v(k, n);
        }
    }
}

void fill_planar(uint8_t* u, uint8_t* v, int width, int rows, size_t stride, int n, bool vertical_half) {
    for (int row = 0; row < rows; ++row) {
        const int j = vertical_half ? row / 2 : row;
        for (int k = 0; k < width / 2; ++k) {
            u[row * stride + k] = chroma_u(j, n);
            v[row * stride + k] = chroma_v(k, n);
        }
    }
}

// Packed 4:2:2; order gives the byte positions of Y0, U, Y1, V within a pixel pair.
void fill_packed(uint8_t* buf, int width, int height, size_t stride, int n, const int (&order)[4]) {
    for (int y = 0; y < height; ++y) {
        for (int k = 0; k < width / 2; ++k) {
            uint8_t* p = buf + y * stride + 4 * k;
            const int y0 = (3 * n + 2 * k + y) % 256;
            p[order[0]] = static_cast<uint8_t>(y0);
            p[order[1]] = chroma_u(y / 2, n);
            p[order[2]] = static_cast<uint8_t>((y0 + 1) % 256);
            p[order[3]] = chroma_v(k, n);
        }
    }
}

}  // namespace

void test_pattern_colour(int x, int y, int n, uint8_t* red, uint8_t* green, uint8_t* blue) {
    if (n == 0 || n == 1 || n == 2) {
        *red = n == 0 ? 255 : 0;
        *green = n == 1 ? 255 : 0;
        *blue = n == 2 ? 255 : 0;
        return;
    }
    const int y_value = (x + y + 3 * n) % 256;
    const int v = (x / 2 + 5 * n + 64) % 256 - 128;
    const int u = static_cast<int8_t>(static_cast<uint8_t>(2 * n + y / 2));
    *red = clamp8(y_value + shift8(v * 360));
    *green = clamp8(y_value - shift8(u * 88 + v * 184));
    *blue = clamp8(y_value + shift8(u * 455));
}

int fill_test_pattern(uint8_t* buf, int width, int height, int hor_stride, int ver_stride, int format, int n) {
    const int layout = format & kPatternFormatMask;
    if (layout >= kPatternRgbFirst && layout <= kPatternRgbLast) {
        const RgbWriter& writer = kRgbWriters[layout - kPatternRgbFirst];
        const bool big_endian = (format & kPatternLittleEndianFlag) == 0;
        const size_t row_bytes = rgb_row_bytes(hor_stride, writer.pixel_bytes);
        for (int y = 0; y < height; ++y) {
            uint8_t* row = buf + y * row_bytes;
            for (int x = 0; x < width; ++x) {
                uint8_t r = 0;
                uint8_t g = 0;
                uint8_t b = 0;
                test_pattern_colour(x, y, n, &r, &g, &b);
                writer.write(row + static_cast<size_t>(x) * writer.pixel_bytes, r, g, b, big_endian);
            }
        }
        return 0;
    }

    const size_t stride = static_cast<size_t>(hor_stride);
    uint8_t* chroma = buf + stride * static_cast<size_t>(ver_stride);
    switch (layout) {
        case kPatternYuv420sp:
        case kPatternYuv420spVu:
            fill_luma(buf, width, height, stride, n);
            fill_semi_planar(chroma, width, height / 2, stride, n, layout == kPatternYuv420spVu, false);
            return 0;
        case kPatternYuv422sp:
        case kPatternYuv422spVu:
            fill_luma(buf, width, height, stride, n);
            fill_semi_planar(chroma, width, height, stride, n, layout == kPatternYuv422spVu, true);
            return 0;
        case kPatternYuv420p:
            fill_luma(buf, width, height, stride, n);
            fill_planar(chroma, chroma + stride * ver_stride / 4, width, height / 2, stride / 2, n, false);
            return 0;
        case kPatternYuv422p:
            fill_luma(buf, width, height, stride, n);
            fill_planar(chroma, chroma + stride * ver_stride / 2, width, height, stride / 2, n, true);
            return 0;
        case kPatternYuyv:
            fill_packed(buf, width, height, stride, n, {0, 1, 2, 3});
            return 0;
        case kPatternYvyu:
            fill_packed(buf, width, height, stride, n, {0, 3, 2, 1});
            return 0;
        case kPatternUyvy:
            fill_packed(buf, width, height, stride, n, {1, 0, 3, 2});
            return 0;
        case kPatternVyuy:
            fill_packed(buf, width, height, stride, n, {1, 2, 3, 0});
            return 0;
        case kPatternYuv400:
            fill_luma(buf, width, height, stride, n);
            return 0;
        default:
            std::printf("filling function do not support type %d\n", format);
            return -1;
    }
}
