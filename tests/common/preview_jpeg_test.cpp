// The preview JPEG encoders.
#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <vector>

#include "preview_jpeg.h"
#include "preview_link.h"

namespace {

TEST(PreviewJpeg, PictureDecodesBackAt640x360AndFitsARecord) {
    std::vector<uint8_t> bgr(640 * 360 * 3);
    for (size_t i = 0; i < bgr.size(); ++i) bgr[i] = static_cast<uint8_t>((i / 3) % 640 / 3);
    std::vector<uint8_t> out(kPreviewJpegBufferBytes);
    int size = -1;
    ASSERT_EQ(rgb_to_jpg_ndi(bgr.data(), 640, 360, out.data(), static_cast<int>(out.size()), &size), 0);
    ASSERT_GT(size, 0);
    EXPECT_LE(static_cast<size_t>(size), kPreviewJpegMaxBytes);
    EXPECT_EQ(out[0], 0xff);
    EXPECT_EQ(out[1], 0xd8);
    const cv::Mat decoded = cv::imdecode(std::vector<uint8_t>(out.begin(), out.begin() + size), cv::IMREAD_COLOR);
    EXPECT_EQ(decoded.cols, 640);
    EXPECT_EQ(decoded.rows, 360);
}

TEST(PreviewJpeg, ErrorCodes) {
    cv::Mat image(360, 640, CV_8UC3, cv::Scalar(10, 200, 30));
    uint8_t tiny[16];
    int size = 123;
    EXPECT_EQ(jpeg_encode(&image, tiny, sizeof(tiny), &size), -3);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(jpeg_encode(nullptr, tiny, sizeof(tiny), &size), -1);
    EXPECT_EQ(jpeg_encode(&image, tiny, 0, &size), -1);
    EXPECT_EQ(jpeg_encode(&image, tiny, sizeof(tiny), nullptr), -1);
    const cv::Mat empty;
    EXPECT_EQ(jpeg_encode(&empty, tiny, sizeof(tiny), &size), -2);
    std::vector<uint8_t> bgr(64 * 36 * 3, 0x80);
    size = 77;
    EXPECT_EQ(rgb_to_jpg(bgr.data(), 64, 36, tiny, sizeof(tiny), &size), -2);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(rgb_to_jpg_ip1(nullptr, 64, 36, tiny, sizeof(tiny), &size), -1);
    EXPECT_EQ(rgb_to_jpg_ip1(bgr.data(), 0, 36, tiny, sizeof(tiny), &size), -1);
}

}  // namespace
