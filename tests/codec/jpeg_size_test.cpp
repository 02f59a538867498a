// The JPEG frame-header reader: ffmpeg's JPEGs of every chroma layout give their size; hand-made marker
// sequences cover what a camera or a damaged transfer may send.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decoder_media.h"
#include "jpeg_size.h"

using namespace decoder_test;

namespace {

TEST(JpegSize, FfmpegJpegsGiveTheirSize) {
    struct Case {
        Kind kind;
        int width, height;
    };
    for (const Case& c : {Case{Kind::kJpeg420, 1280, 720}, Case{Kind::kJpeg422, 640, 360},
                          Case{Kind::kJpeg444, 200, 90}, Case{Kind::kJpeg420, 1920, 1080}}) {
        const MediaSet& set = media(c.kind, c.width, c.height, 1);
        ASSERT_FALSE(set.packets.empty());
        int width = 0;
        int height = 0;
        EXPECT_EQ(jpeg_picture_size(set.packets[0].data(), set.packets[0].size(), &width, &height), 1);
        EXPECT_EQ(width, c.width);
        EXPECT_EQ(height, c.height);
        // Cut before the frame header ends: no size.
        const Bytes& jpeg = set.packets[0];
        size_t sof = 0;
        for (size_t i = 2; i + 1 < jpeg.size() && sof == 0; ++i)
            if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) sof = i;
        ASSERT_NE(sof, 0u);
        width = height = -1;
        EXPECT_EQ(jpeg_picture_size(jpeg.data(), sof + 8, &width, &height), 0);
        EXPECT_EQ(width, -1);
        EXPECT_EQ(height, -1);
    }
}

TEST(JpegSize, MarkerSequences) {
    struct Case {
        const char* name;
        Bytes bytes;
        int result, width, height;
    };
    const Case cases[] = {
        {"baseline", {0xFF, 0xD8, 0xFF, 0xC0, 0, 11, 8, 0x02, 0xD0, 0x05, 0x00, 1, 1, 0x22, 0}, 1, 1280, 720},
        {"progressive after a table and fill bytes",
         {0xFF, 0xD8, 0xFF, 0xDB, 0, 4, 0, 0, 0xFF, 0xFF, 0xC2, 0, 11, 8, 0, 48, 0, 64, 1, 1, 0x22, 0}, 1, 64, 48},
        {"huffman table is no frame header",
         {0xFF, 0xD8, 0xFF, 0xC4, 0, 7, 0, 0, 0, 0, 0, 0xFF, 0xC0, 0, 11, 8, 0, 16, 0, 32, 1, 1, 0x22, 0}, 1, 32, 16},
        {"restart marker without length", {0xFF, 0xD8, 0xFF, 0xD0, 0xFF, 0xC1, 0, 11, 8, 0, 2, 0, 4, 1, 1, 0x22, 0}, 1,
         4, 2},
        {"no start of image", {0xFF, 0xC0, 0, 11, 8, 0, 2, 0, 4, 1, 1, 0x22, 0}, 0, 0, 0},
        {"scan before the frame header", {0xFF, 0xD8, 0xFF, 0xDA, 0, 2, 0xFF, 0xC0, 0, 11, 8, 0, 2, 0, 4}, 0, 0, 0},
        {"segment longer than the buffer", {0xFF, 0xD8, 0xFF, 0xE0, 0x40, 0x00, 0, 0}, 0, 0, 0},
        {"segment length below two", {0xFF, 0xD8, 0xFF, 0xE0, 0, 1, 0xFF, 0xC0}, 0, 0, 0},
        {"frame header too short", {0xFF, 0xD8, 0xFF, 0xC0, 0, 5, 8, 0, 2}, 0, 0, 0},
        {"zero width", {0xFF, 0xD8, 0xFF, 0xC0, 0, 11, 8, 0, 2, 0, 0, 1, 1, 0x22, 0}, 0, 0, 0},
        {"beyond the size limit", {0xFF, 0xD8, 0xFF, 0xC0, 0, 11, 8, 0x50, 0, 0x50, 0, 1, 1, 0x22, 0}, 0, 0, 0},
        {"garbage between segments", {0xFF, 0xD8, 0x12, 0xFF, 0xC0, 0, 11, 8, 0, 2, 0, 4}, 0, 0, 0},
        {"empty", {}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        int width = 0;
        int height = 0;
        EXPECT_EQ(jpeg_picture_size(c.bytes.data(), c.bytes.size(), &width, &height), c.result) << c.name;
        EXPECT_EQ(width, c.width) << c.name;
        EXPECT_EQ(height, c.height) << c.name;
    }
    EXPECT_EQ(jpeg_picture_size(nullptr, 10, nullptr, nullptr), 0);
}

}  // namespace
