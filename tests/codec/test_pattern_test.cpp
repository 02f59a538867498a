// The test-pattern filler: sample pixels of every layout against the pattern's formulas worked out by hand,
// stride rounding of the RGB writers, pure frames 0 to 2, and unknown formats refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "test_pattern.h"

namespace {

// 8x4 picture in a 16x6 buffer (padding on the right and below), frame 1.
constexpr int kWidth = 8;
constexpr int kHeight = 4;
constexpr int kStride = 16;
constexpr int kRows = 6;
constexpr size_t kChroma = kStride * kRows;

struct Sample {
    size_t offset;
    uint8_t value;
};

struct YuvCase {
    const char* name;
    int format;
    std::vector<Sample> samples;
};

TEST(TestPattern, YuvLayoutsPutLumaAndChromaWhereTheyBelong) {
    // Frame 1: luma (x + y + 3); U (j + 130); V (k + 69).
    const YuvCase cases[] = {
        {"4:2:0 semi-planar", kPatternYuv420sp,
         {{2 * kStride + 3, 8}, {kChroma + kStride + 4, 131}, {kChroma + kStride + 5, 71}}},
        {"4:2:0 V first", kPatternYuv420spVu, {{kChroma + kStride + 4, 71}, {kChroma + kStride + 5, 131}}},
        // 4:2:2 rows: chroma row 3 counts as j = 1.
        {"4:2:2 semi-planar", kPatternYuv422sp, {{kChroma + 3 * kStride + 4, 131}, {kChroma + 3 * kStride + 5, 71}}},
        {"4:2:2 V first", kPatternYuv422spVu, {{kChroma + 3 * kStride + 4, 71}, {kChroma + 3 * kStride + 5, 131}}},
        // Planar: U rows of stride / 2; V a quarter (4:2:0) or half (4:2:2) of stride x rows after U.
        {"4:2:0 planar", kPatternYuv420p, {{kChroma + 8 + 2, 131}, {kChroma + 24 + 8 + 2, 71}}},
        {"4:2:2 planar", kPatternYuv422p, {{kChroma + 3 * 8 + 2, 131}, {kChroma + 48 + 3 * 8 + 2, 71}}},
        // Packed row 2, pair 1 (bytes 4..7): Y0 = 3 + 2 + 2 = 7, Y1 = 8, U = 1 + 130 = 131, V = 1 + 69 = 70.
        {"YUYV", kPatternYuyv, {{2 * kStride + 4, 7}, {2 * kStride + 5, 131}, {2 * kStride + 6, 8}, {2 * kStride + 7, 70}}},
        {"YVYU", kPatternYvyu, {{2 * kStride + 4, 7}, {2 * kStride + 5, 70}, {2 * kStride + 6, 8}, {2 * kStride + 7, 131}}},
        {"UYVY", kPatternUyvy, {{2 * kStride + 4, 131}, {2 * kStride + 5, 7}, {2 * kStride + 6, 70}, {2 * kStride + 7, 8}}},
        {"VYUY", kPatternVyuy, {{2 * kStride + 4, 70}, {2 * kStride + 5, 7}, {2 * kStride + 6, 131}, {2 * kStride + 7, 8}}},
        {"luma only", kPatternYuv400, {{3 * kStride + 7, 13}, {kChroma, 0xEE}}},
        // Padding right of the picture stays untouched.
        {"padding", kPatternYuv420sp, {{kWidth, 0xEE}, {kChroma + kWidth, 0xEE}}},
    };
    for (const YuvCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> buffer(kStride * kRows * 2, 0xEE);
        ASSERT_EQ(fill_test_pattern(buffer.data(), kWidth, kHeight, kStride, kRows, c.format, 1), 0);
        for (const Sample& sample : c.samples) EXPECT_EQ(buffer[sample.offset], sample.value) << sample.offset;
    }
}

struct RgbCase {
    const char* name;
    int format;
    int frame;
    std::vector<uint8_t> first_pixel;
};

TEST(TestPattern, RgbWritersAndByteOrder) {
    const int le = kPatternLittleEndianFlag;
    const RgbCase cases[] = {
        {"565 red, big-endian", 0x10000, 0, {0xF8, 0x00}},
        {"565 red, little-endian", 0x10000 | le, 0, {0x00, 0xF8}},
        {"565 BGR red", 0x10001 | le, 0, {0x1F, 0x00}},
        {"555 green", 0x10002 | le, 1, {0xE0, 0x03}},
        {"555 BGR blue", 0x10003 | le, 2, {0x00, 0x7C}},
        {"444 red", 0x10004 | le, 0, {0x00, 0x0F}},
        {"444 BGR red", 0x10005 | le, 0, {0x0F, 0x00}},
        {"24-bit B,G,R", 0x10006 | le, 0, {0, 0, 255}},
        {"24-bit B,G,R big-endian", 0x10006, 0, {255, 0, 0}},
        {"24-bit R,G,B", 0x10007 | le, 2, {0, 0, 255}},
        {"10-bit words", 0x10008 | le, 0, {0x00, 0x00, 0xC0, 0x3F}},
        {"10-bit words, R and B exchanged", 0x10009 | le, 0, {0xFC, 0x03, 0x00, 0x00}},
        {"B,G,R,255", 0x1000A | le, 1, {0, 255, 0, 255}},
        {"R,G,B,255 big-endian", 0x1000B, 1, {255, 0, 255, 0}},
        {"255,R,G,B", 0x1000C | le, 2, {255, 0, 0, 255}},
        {"255,B,G,R", 0x1000D | le, 2, {255, 255, 0, 0}},
    };
    for (const RgbCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> buffer(4 * 8 * 8, 0xEE);
        ASSERT_EQ(fill_test_pattern(buffer.data(), 2, 2, 2, 2, c.format, c.frame), 0);
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + static_cast<long>(c.first_pixel.size())),
                  c.first_pixel);
    }
}

TEST(TestPattern, RgbRowsUseTheRoundedStride) {
    // A stride of 5 pixels: 10 bytes -> 16; 15 bytes -> (15 + 23) with bits 0, 1, 2 and 4 cleared = 32;
    // 20 bytes -> 32. The second row starts there and the gap stays untouched.
    struct Case {
        int format;
        size_t row_bytes;
        size_t pixel_bytes;
    };
    for (const Case& c : {Case{0x10000, 16, 2}, Case{0x10007, 32, 3}, Case{0x1000A, 32, 4}}) {
        SCOPED_TRACE(c.format);
        std::vector<uint8_t> buffer(256, 0xEE);
        ASSERT_EQ(fill_test_pattern(buffer.data(), 4, 2, 5, 2, c.format, 1), 0);
        EXPECT_EQ(buffer[4 * c.pixel_bytes], 0xEE);  // past the 4 pixels of row 0
        EXPECT_NE(buffer[c.row_bytes + 1], 0xEE);    // row 1
        EXPECT_EQ(buffer[c.row_bytes + 4 * c.pixel_bytes], 0xEE);
    }
}

TEST(TestPattern, ColoursOfLaterFramesComeFromThePattern) {
    struct Case {
        int x, y, n;
        uint8_t r, g, b;
    };
    const Case cases[] = {
        {5, 9, 0, 255, 0, 0},
        {5, 9, 1, 0, 255, 0},
        {5, 9, 2, 0, 0, 255},
        {0, 0, 3, 0, 43, 19},
        {200, 100, 3, 124, 0, 152},
        // Negative products round down (green: 44 - floor(-73.875) = 118).
        {0, 0, 100, 0, 118, 0},
    };
    for (const Case& c : cases) {
        uint8_t r = 1;
        uint8_t g = 1;
        uint8_t b = 1;
        test_pattern_colour(c.x, c.y, c.n, &r, &g, &b);
        EXPECT_EQ(r, c.r) << c.x << "," << c.y << " n=" << c.n;
        EXPECT_EQ(g, c.g) << c.x << "," << c.y << " n=" << c.n;
        EXPECT_EQ(b, c.b) << c.x << "," << c.y << " n=" << c.n;
    }
}

TEST(TestPattern, UnknownFormatsAreRefused) {
    std::vector<uint8_t> buffer(64, 0xEE);
    for (int format : {1, 3, 13, 0x1000E, 0x20000}) {
        EXPECT_EQ(fill_test_pattern(buffer.data(), 2, 2, 2, 2, format, 0), -1) << format;
    }
    EXPECT_EQ(buffer, std::vector<uint8_t>(64, 0xEE));
}

}  // namespace
