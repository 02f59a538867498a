// Millisecond time-outs on wrapping 32-bit stamps, NV12/NV16 crop copies and paste, BGR24 to NV12, and
// the hex helpers.
#include "media_utils.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr uint8_t E = 0xEE;  // a destination byte the copy must not touch

// A stride x height picture whose luma bytes count up from 0 and chroma bytes from 100; sized exactly, so a
// read past it shows under AddressSanitizer.
std::vector<uint8_t> make_picture(int stride, int height, bool nv16) {
    const size_t luma = static_cast<size_t>(stride) * height;
    const size_t chroma = nv16 ? luma : static_cast<size_t>(stride) * (height / 2);
    std::vector<uint8_t> picture(luma + chroma);
    for (size_t i = 0; i < luma; ++i) picture[i] = static_cast<uint8_t>(i);
    for (size_t i = 0; i < chroma; ++i) picture[luma + i] = static_cast<uint8_t>(100 + i);
    return picture;
}

}  // namespace

TEST(IsTimeoutMs, WrappingStampsFollowTheTopBitRule) {
    struct Case {
        uint32_t now;
        uint32_t stamp;
        uint32_t interval;
        bool timed_out;
    };
    const Case cases[] = {
        {0x00000100, 0xFFFFFF00, 0x200, false},  // wrapped: 0x100 - 0xFFFFFF00 - 1 = 0x1FF
        {0x00000101, 0xFFFFFF00, 0x200, true},
        {0x7FFFFFFE, 0xFFFFFF00, 0x200, true},
        {0x7FFFFFFF, 0xFFFFFF00, 0x200, false},  // too far past the wrap to tell
        {0x00000100, 0x7FFFFF00, 0x10, false},   // now below a stamp without the top bit
        {1999, 0, 2000, false},
        {2000, 0, 2000, true},
        {5, 5, 0, true},
        {5, 5, 1, false},
        {0xFFFFFFFF, 0, 0xFFFFFFFF, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << "now " << c.now << " stamp " << c.stamp << " interval "
                                        << c.interval);
        EXPECT_EQ(is_timeout_ms_at(c.now, c.stamp, c.interval), c.timed_out);
    }
}

TEST(IsTimeoutMs, RealClockStampHasJustStarted) {
    const uint32_t stamp = static_cast<uint32_t>(get_time_ms());
    EXPECT_TRUE(is_timeout_ms(stamp, 0));
    EXPECT_FALSE(is_timeout_ms(stamp, 60000));
    EXPECT_GE(get_elapsed_ms(stamp), 0);
    EXPECT_LT(get_elapsed_ms(stamp), 60000);
    EXPECT_EQ(identity_ms(-5), -5);
}

TEST(CropCopy, CopiesTheEvenAlignedRectangleClippedToTheSource) {
    struct Case {
        const char* name;
        bool nv16;
        int stride, src_height, x, y, dst_width, dst_height;
        int result;
        std::vector<uint8_t> dst;  // the whole destination picture afterwards; empty: untouched
    };
    // Source 8x4: luma row r is 8r..8r+7; NV12 chroma rows 100..107, 108..115; NV16 chroma 100..131.
    const Case cases[] = {
        {"even corner", false, 8, 4, 2, 2, 4, 2, 1,
         {18, 19, 20, 21, 26, 27, 28, 29, /* chroma */ 110, 111, 112, 113}},
        {"odd corner rounds down", false, 8, 4, 3, 3, 4, 2, 1,
         {18, 19, 20, 21, 26, 27, 28, 29, /* chroma */ 110, 111, 112, 113}},
        {"right edge clips the row", false, 8, 4, 6, 0, 4, 4, 1,
         {6, 7, E, E, 14, 15, E, E, 22, 23, E, E, 30, 31, E, E, /* chroma */ 106, 107, E, E, 114, 115, E, E}},
        {"bottom edge clips the rows", false, 8, 4, 0, 2, 2, 4, 1,
         {16, 17, 24, 25, E, E, E, E, /* chroma */ 108, 109, E, E}},
        {"one row left", false, 8, 3, 0, 2, 4, 2, 0, {}},
        {"one destination row", false, 8, 4, 0, 0, 4, 1, 0, {}},
        {"one source byte left", false, 7, 4, 6, 0, 2, 2, 0, {}},
        {"no source byte left", false, 8, 4, 8, 0, 2, 2, 0, {}},
        {"zero destination width", false, 8, 4, 0, 0, 0, 2, 0, {}},
        {"negative x", false, 8, 4, -2, 0, 4, 2, 0, {}},
        {"negative y", false, 8, 4, 0, -2, 4, 2, 0, {}},
        {"NV16 chroma has full height", true, 8, 4, 2, 1, 4, 2, 1,
         {2, 3, 4, 5, 10, 11, 12, 13, /* chroma */ 102, 103, 104, 105, 110, 111, 112, 113}},
        {"NV16 rows from an even y", true, 8, 4, 0, 2, 2, 2, 1,
         {16, 17, 24, 25, /* chroma */ 116, 117, 124, 125}},
        {"NV16 negative x", true, 8, 4, -1, 0, 4, 2, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> src = make_picture(c.stride, c.src_height, c.nv16);
        const size_t dst_size = static_cast<size_t>(c.dst_width) * c.dst_height * 2;
        std::vector<uint8_t> dst(dst_size, E);
        const int result = c.nv16 ? nv16_crop_copy(src.data(), c.stride, c.src_height, dst.data(), c.x, c.y,
                                                   c.dst_width, c.dst_height)
                                  : nv12_crop_copy(src.data(), c.stride, c.src_height, dst.data(), c.x, c.y,
                                                   c.dst_width, c.dst_height);
        EXPECT_EQ(result, c.result);
        std::vector<uint8_t> expected = c.dst;
        expected.resize(dst_size, E);
        EXPECT_EQ(dst, expected);
    }
}

TEST(Nv12Paste, PastesClippedIntoTheDestination) {
    // Destination 8x4 NV12 of zeros; source 4x2 NV12 with luma 1..8 and chroma 11..14.
    std::vector<uint8_t> dst(8 * 4 * 3 / 2, 0);
    const std::vector<uint8_t> src = {1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 13, 14};
    EXPECT_EQ(nv12_paste(dst.data(), src.data(), 8, 4, PasteRect{6, 1, 4, 2}), 1);
    std::vector<uint8_t> expected(dst.size(), 0);
    expected[1 * 8 + 6] = 1;
    expected[1 * 8 + 7] = 2;
    expected[2 * 8 + 6] = 5;
    expected[2 * 8 + 7] = 6;
    expected[32 + 6] = 11;
    expected[32 + 7] = 12;
    EXPECT_EQ(dst, expected);
}

TEST(Nv12Paste, RefusesNullPointersAndRectanglesOutsideTheDestination) {
    std::vector<uint8_t> dst(8 * 4 * 3 / 2, 0);
    const std::vector<uint8_t> src(4 * 2 * 3 / 2, 9);
    const PasteRect refused[] = {{8, 0, 4, 2}, {0, 4, 4, 2}, {-2, 0, 4, 2}, {0, -2, 4, 2}};
    for (const PasteRect& rect : refused) {
        SCOPED_TRACE(testing::Message() << rect.x << "," << rect.y);
        EXPECT_EQ(nv12_paste(dst.data(), src.data(), 8, 4, rect), -1);
    }
    EXPECT_EQ(nv12_paste(nullptr, src.data(), 8, 4, PasteRect{0, 0, 4, 2}), -1);
    EXPECT_EQ(nv12_paste(dst.data(), nullptr, 8, 4, PasteRect{0, 0, 4, 2}), -1);
    EXPECT_EQ(dst, std::vector<uint8_t>(dst.size(), 0));
}

TEST(Bgr24ToNv12, PlainColoursGiveTheirBt601Values) {
    struct Case {
        const char* name;
        uint8_t b, g, r;
        int order;
        uint8_t y;
        std::vector<uint8_t> chroma;  // the one chroma pair of a 2x2 picture
    };
    const Case cases[] = {
        {"black", 0, 0, 0, 0, 16, {128, 128}},
        {"white", 255, 255, 255, 0, 235, {128, 128}},
        {"red NV12", 0, 0, 255, 0, 82, {90, 240}},
        {"red NV21", 0, 0, 255, 1, 82, {240, 90}},
        {"red, other order writes no chroma", 0, 0, 255, 2, 82, {E, E}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> src;
        for (int i = 0; i < 4; ++i) src.insert(src.end(), {c.b, c.g, c.r});
        std::vector<uint8_t> dst(6, E);
        bgr24_to_nv12(dst.data(), src.data(), 2, 2, c.order);
        EXPECT_EQ(dst, (std::vector<uint8_t>{c.y, c.y, c.y, c.y, c.chroma[0], c.chroma[1]}));
    }
}

TEST(Bgr24ToNv12, ChromaComesFromTheTopLeftPixelOfEachBlock) {
    // 4x2: block 0 starts with a red pixel, block 1 with a black one; the other pixels are white.
    std::vector<uint8_t> src(4 * 2 * 3, 255);
    src[0] = 0, src[1] = 0, src[2] = 255;
    src[6] = 0, src[7] = 0, src[8] = 0;
    std::vector<uint8_t> dst(12, E);
    bgr24_to_nv12(dst.data(), src.data(), 4, 2, 0);
    EXPECT_EQ(dst, (std::vector<uint8_t>{82, 235, 16, 235, 235, 235, 235, 235, 90, 240, 128, 128}));
}

TEST(HexHelpers, PairsAndBytes) {
    struct Case {
        const char* text;
        uint8_t value;
    };
    const Case cases[] = {{"1f", 0x1f}, {"A0", 0xa0}, {"fF", 0xff}, {"zz", 0}, {"9g", 0x90}, {"f", 0xf0}, {"", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        // Exactly sized, so reading past the terminator shows under AddressSanitizer.
        std::vector<char> text(c.text, c.text + std::string(c.text).size() + 1);
        EXPECT_EQ(hex_pair_to_byte(text.data()), c.value);
    }
    char out[2];
    EXPECT_EQ(byte_to_hex_lower(0x1AB, out), out);
    EXPECT_EQ(std::string(out, 2), "ab");
    byte_to_hex_lower(0x05, out);
    EXPECT_EQ(std::string(out, 2), "05");
}
