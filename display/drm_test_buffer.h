// Bench routines for a DRM device: open it, make a dumb buffer of a picture format, export it as a dma-buf,
// map it, fill it with an NV12 test pattern and release it again. Nothing in the process calls them; they
// check a board's display driver by hand.
#pragma once

#include <cstdint>

#include "drm_io.h"

struct DrmTestBuffer {
    int fd = -1;  // the device
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t fourcc = 0;
    DrmDumbBuffer dumb;
    int dmabuf_fd = -1;
    uint8_t* map = nullptr;
};

// Pitches of test buffers are multiples of this.
constexpr uint32_t kTestPitchAlign = 16;

// The format code of a four-character name such as "NV12" (the text must have four characters).
uint32_t drm_test_fourcc(const char* text);
// Bytes per pixel of a test format, in eighths: 12 for "NV12", 24 for "RGB3"/"BGR3", 32 for "AR24"/"BGR4",
// 16 for "YUYV"; 0 for any other.
uint32_t drm_test_bits_per_pixel(uint32_t fourcc);
// Opens the device node read-write: the descriptor, or -1 after printing "open %s failed!".
int drm_test_open(const char* path);
// Creates, exports and maps a buffer of width x height in the format: 0, or -1 with a message (and nothing
// left allocated).
int drm_test_buffer_create(int fd, uint32_t width, uint32_t height, uint32_t fourcc, DrmTestBuffer* out);
// Four horizontal bands of luma 128, 64, 128, 192 over four bands of chroma 0, 64, 128, 192 (an "NV12"
// buffer only): 0, or -1.
int drm_test_fill_nv12(DrmTestBuffer* buffer);
void drm_test_buffer_release(DrmTestBuffer* buffer);
