#include "media_utils.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

int64_t get_time_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace {
uint32_t now_stamp() {
    return static_cast<uint32_t>(get_time_ms());
}
}  // namespace

bool is_timeout_ms_at(uint32_t now, uint32_t stamp, uint32_t interval) {
    if (now >= stamp) return now - stamp >= interval;
    // The 32-bit counter wrapped since the stamp was taken.
    return (stamp & 0x80000000u) != 0 && now <= 0x7FFFFFFEu && now - stamp - 1 >= interval;
}

bool is_timeout_ms(uint32_t stamp, uint32_t interval) {
    return is_timeout_ms_at(now_stamp(), stamp, interval);
}

int32_t get_elapsed_ms(uint32_t stamp) {
    return static_cast<int32_t>(now_stamp() - stamp);
}

void sleep_ms(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int64_t identity_ms(int64_t value) {
    return value;
}

namespace {

// The shared part of the two crop copies: NV16 chroma has a row per luma row, NV12 one per two.
int crop_copy(const uint8_t* src, int src_stride, int src_height, uint8_t* dst, int x, int y, int dst_width,
              int dst_height, bool full_height_chroma) {
    // A negative corner would read before the source picture.
    if (src == nullptr || dst == nullptr || x < 0 || y < 0 || src_stride <= 0 || src_height <= 0) return 0;
    x &= ~1;
    y &= ~1;
    const int rows = std::min(src_height - y, dst_height);
    if (rows <= 1) return 0;
    if (src_stride - x <= 1) return 0;
    const int bytes = std::min(src_stride - x, dst_width);
    if (bytes <= 0) return 0;

    const size_t stride = static_cast<size_t>(src_stride);
    const size_t width = static_cast<size_t>(dst_width);
    for (int i = 0; i < rows; ++i)
        std::memcpy(dst + i * width, src + (static_cast<size_t>(y) + i) * stride + x, bytes);

    const uint8_t* src_chroma = src + stride * src_height;
    uint8_t* dst_chroma = dst + width * dst_height;
    const int chroma_rows = full_height_chroma ? rows : rows / 2;
    const int chroma_y = full_height_chroma ? y : y / 2;
    for (int i = 0; i < chroma_rows; ++i)
        std::memcpy(dst_chroma + i * width, src_chroma + (static_cast<size_t>(chroma_y) + i) * stride + x, bytes);
    return 1;
}

}  // namespace

int nv12_crop_copy(const uint8_t* src, int src_stride, int src_height, uint8_t* dst, int x, int y,
                   int dst_width, int dst_height) {
    return crop_copy(src, src_stride, src_height, dst, x, y, dst_width, dst_height, false);
}

int nv16_crop_copy(const uint8_t* src, int src_stride, int src_height, uint8_t* dst, int x, int y,
                   int dst_width, int dst_height) {
    return crop_copy(src, src_stride, src_height, dst, x, y, dst_width, dst_height, true);
}

int nv12_paste(uint8_t* dst, const uint8_t* src, int dst_width, int dst_height, PasteRect rect) {
    // A negative corner would write before the destination picture.
    if (dst == nullptr || src == nullptr || rect.x < 0 || rect.y < 0 || rect.x >= dst_width ||
        rect.y >= dst_height)
        return -1;
    const int bytes = std::min(rect.w, dst_width - rect.x);
    const int rows = std::min(rect.h, dst_height - rect.y);
    if (bytes <= 0 || rows <= 0) return 1;

    const size_t dst_stride = static_cast<size_t>(dst_width);
    const size_t src_stride = static_cast<size_t>(rect.w);
    for (int i = 0; i < rows; ++i)
        std::memcpy(dst + (static_cast<size_t>(rect.y) + i) * dst_stride + rect.x, src + i * src_stride, bytes);

    uint8_t* dst_chroma = dst + dst_stride * dst_height;
    const uint8_t* src_chroma = src + src_stride * rect.h;
    for (int i = 0; i < rows / 2; ++i)
        std::memcpy(dst_chroma + (static_cast<size_t>(rect.y / 2) + i) * dst_stride + rect.x,
                    src_chroma + i * src_stride, bytes);
    return 1;
}

void bgr24_to_nv12(uint8_t* dst, const uint8_t* src, int width, int height, int order) {
    if (dst == nullptr || src == nullptr || width <= 0 || height <= 0) return;
    uint8_t* luma = dst;
    uint8_t* chroma = dst + static_cast<size_t>(width) * height;
    for (int row = 0; row < height; ++row) {
        for (int col = 0; col < width; ++col) {
            const uint8_t* pixel = src + (static_cast<size_t>(row) * width + col) * 3;
            const int b = pixel[0];
            const int g = pixel[1];
            const int r = pixel[2];
            *luma++ = static_cast<uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
            if ((row & 1) || (col & 1) || (order != 0 && order != 1)) continue;
            const uint8_t u = static_cast<uint8_t>(((112 * b - 38 * r - 74 * g + 128) >> 8) + 128);
            const uint8_t v = static_cast<uint8_t>(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
            *chroma++ = order == 0 ? u : v;
            *chroma++ = order == 0 ? v : u;
        }
    }
}

namespace {
int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}
}  // namespace

uint8_t hex_pair_to_byte(const char* text) {
    if (text == nullptr) return 0;
    const int high = hex_digit_value(text[0]);
    // A one-character text ends at its terminator; the second digit is then 0 and nothing past it is read.
    const int low = text[0] != '\0' ? hex_digit_value(text[1]) : 0;
    return static_cast<uint8_t>(high << 4 | low);
}

char* byte_to_hex_lower(unsigned value, char* out) {
    static const char kDigits[] = "0123456789abcdef";
    out[0] = kDigits[(value >> 4) & 0xF];
    out[1] = kDigits[value & 0xF];
    return out;
}
