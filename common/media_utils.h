// Millisecond timing and NV12/NV16 picture copies in ordinary memory, shared by the capture, display and
// frame-ring code. Pictures are a luma plane of stride x height bytes followed by the interleaved U/V plane
// of the same stride: height / 2 rows for NV12, height rows for NV16.
#pragma once

#include <cstdint>

// A millisecond clock for time-outs; callers keep the low 32 bits as an unsigned stamp. It is the
// monotonic clock, so setting the wall clock (at boot, by NTP) neither stalls nor fires the time-outs.
int64_t get_time_ms();

// True when at least interval ms have passed since stamp, on 32-bit stamps that may wrap.
bool is_timeout_ms(uint32_t stamp, uint32_t interval);
// The same rule against a given "now" (the clock-free core of is_timeout_ms).
bool is_timeout_ms_at(uint32_t now, uint32_t stamp, uint32_t interval);

// now - stamp as a signed 32-bit value.
int32_t get_elapsed_ms(uint32_t stamp);

void sleep_ms(int ms);
int64_t identity_ms(int64_t value);

// Copies the rectangle at (x, y) (both rounded down to even) of an NV12 / NV16 source into a tightly packed
// dst_width x dst_height picture: min(src_height - y, dst_height) rows of min(src_stride - x, dst_width)
// bytes. Returns 1 when something was copied; 0 when fewer than two rows or two source bytes per row are
// left, or for a negative x or y.
int nv12_crop_copy(const uint8_t* src, int src_stride, int src_height, uint8_t* dst, int x, int y,
                   int dst_width, int dst_height);
int nv16_crop_copy(const uint8_t* src, int src_stride, int src_height, uint8_t* dst, int x, int y,
                   int dst_width, int dst_height);

struct PasteRect {
    int x;
    int y;
    int w;
    int h;
};

// Pastes a w x h NV12 picture into dst at (x, y), clipped to dst. 1 on success, -1 for a null pointer or a
// rectangle that starts outside dst (a negative x or y included).
int nv12_paste(uint8_t* dst, const uint8_t* src, int dst_width, int dst_height, PasteRect rect);

// BGR24 to NV12 (order 0) or NV21 (order 1) with integer BT.601 coefficients; other orders write no chroma.
// Chroma comes from the top-left pixel of each 2x2 block; the pairs follow the luma plane one after
// another, so dst holds width * height + 2 * ceil(width / 2) * ceil(height / 2) bytes.
void bgr24_to_nv12(uint8_t* dst, const uint8_t* src, int width, int height, int order);

// "1f" -> 0x1f; a character that is not a hexadecimal digit counts as 0.
uint8_t hex_pair_to_byte(const char* text);
// Two lower-case hexadecimal digits of the low 8 bits of value into out (no terminator); returns out.
char* byte_to_hex_lower(unsigned value, char* out);
