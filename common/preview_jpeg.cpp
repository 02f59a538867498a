#include "preview_jpeg.h"

#include <cstdio>
#include <cstring>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <vector>

namespace {

int encode_pixels(const uint8_t* pixels, int width, int height, uint8_t* out, int capacity, int* out_size,
                  const char* error_name) {
    if (out_size != nullptr) *out_size = 0;
    if (pixels == nullptr || out == nullptr || out_size == nullptr || width <= 0 || height <= 0 || capacity <= 0) {
        return -1;
    }
    // A copy: the caller's buffer may be a ring slot that is reused once the call returns.
    cv::Mat image(height, width, CV_8UC3);
    std::memcpy(image.data, pixels, static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    const int rc = jpeg_encode(&image, out, capacity, out_size);
    if (rc != 0) {
        printf("9999999999999999999999 %s err = %d\r\n", error_name, rc);
        return -2;
    }
    return 0;
}

}  // namespace

int jpeg_encode(const cv::Mat* image, uint8_t* out, int capacity, int* size) {
    if (size != nullptr) *size = 0;
    if (image == nullptr || out == nullptr || capacity <= 0 || size == nullptr) return -1;
    std::vector<uint8_t> jpeg;
    try {
        if (!cv::imencode(".jpg", *image, jpeg, {cv::IMWRITE_JPEG_QUALITY, kPreviewJpegQuality})) return -2;
    } catch (const cv::Exception&) {
        return -2;
    }
    if (jpeg.size() > static_cast<size_t>(capacity)) return -3;
    std::memcpy(out, jpeg.data(), jpeg.size());
    *size = static_cast<int>(jpeg.size());
    return 0;
}

int rgb_to_jpg(const uint8_t* pixels, int width, int height, uint8_t* out, int capacity, int* out_size) {
    return encode_pixels(pixels, width, height, out, capacity, out_size, "rgb_to_jpg");
}

int rgb_to_jpg_ndi(const uint8_t* pixels, int width, int height, uint8_t* out, int capacity, int* out_size) {
    return encode_pixels(pixels, width, height, out, capacity, out_size, "rgb_to_jpg_ndi");
}

// The "ip1" encoder reports its errors under the NDI encoder's name, as it always has.
int rgb_to_jpg_ip1(const uint8_t* pixels, int width, int height, uint8_t* out, int capacity, int* out_size) {
    return encode_pixels(pixels, width, height, out, capacity, out_size, "rgb_to_jpg_ndi");
}
