// A moving test pattern painted into a raw frame of any encoder input format, so the encoder can run
// without a camera. Luma moves diagonally by 3 a frame, chroma by 2 and 5; RGB frames 0, 1 and 2 are pure
// red, green and blue, later frames the RGB colour of the same YUV pattern.
#pragma once

#include <cstdint>

// Encoder input format codes the filler knows. YUV layouts are selected by the low 20 bits.
constexpr int kPatternYuv420sp = 0;
constexpr int kPatternYuv422sp = 2;
constexpr int kPatternYuv420p = 4;
constexpr int kPatternYuv420spVu = 5;
constexpr int kPatternYuv422p = 6;
constexpr int kPatternYuv422spVu = 7;
constexpr int kPatternYuyv = 8;  // Y0 U Y1 V
constexpr int kPatternYvyu = 9;  // Y0 V Y1 U
constexpr int kPatternUyvy = 10; // U Y0 V Y1
constexpr int kPatternVyuy = 11; // V Y0 U Y1
constexpr int kPatternYuv400 = 12;
// RGB formats: 16-bit 565, 555 and 444 (both component orders), 24-bit, 32-bit 10:10:10 and 8:8:8:8.
constexpr int kPatternRgbFirst = 0x10000;
constexpr int kPatternRgbLast = 0x1000D;
constexpr int kPatternFormatMask = 0xFFFFF;
// Set: RGB pixels are written in little-endian byte order; clear: big-endian.
constexpr int kPatternLittleEndianFlag = 1 << 24;

// Paints frame number n into buf. Strides are in bytes for YUV formats and in pixels for RGB formats.
// 0, or -1 with a message for a format it does not know.
int fill_test_pattern(uint8_t* buf, int width, int height, int hor_stride, int ver_stride, int format, int n);

// The RGB colour of pixel (x, y) in frame n.
void test_pattern_colour(int x, int y, int n, uint8_t* red, uint8_t* green, uint8_t* blue);
