// JPEG encoders of the preview links: a 640x360 picture becomes the bytes of one preview record. They live
// in a library of their own (preview_jpeg) because they need OpenCV's image codecs.
#pragma once

#include <cstdint>

namespace cv {
class Mat;
}

constexpr int kPreviewJpegQuality = 60;

// Encodes the image as a JPEG of quality 60 into out (capacity bytes) and stores its length in *size:
// 0, -1 for a null image / null buffer / capacity <= 0 / null size, -2 when encoding fails, -3 when the
// JPEG does not fit. *size is 0 whenever the result is not 0.
int jpeg_encode(const cv::Mat* image, uint8_t* out, int capacity, int* size);

// width x height 8-bit 3-channel pixels (B, G, R) to a JPEG: 0, -1 for invalid arguments, -2 when the
// encoder failed (the error is printed). *out_size is 0 whenever the result is not 0.
int rgb_to_jpg(const uint8_t* pixels, int width, int height, uint8_t* out, int capacity, int* out_size);
int rgb_to_jpg_ndi(const uint8_t* pixels, int width, int height, uint8_t* out, int capacity, int* out_size);
int rgb_to_jpg_ip1(const uint8_t* pixels, int width, int height, uint8_t* out, int capacity, int* out_size);
