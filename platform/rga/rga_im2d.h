// Our stand-in for the 2D engine's picture calls: colour conversion, scaling, cropping, rotation and copy
// of pictures in ordinary memory, done on the CPU with libswscale (plus our own NV16 split/merge, which
// libswscale lacks). Every call is synchronous and thread-safe without any outside lock (each thread keeps
// its own scaler contexts and scratch memory).
//
// Buffers are tightly packed: the width stride equals the width and the height stride the height, the
// chroma planes follow the luma plane directly. Sizes the engine cannot handle (odd widths of 4:2:0 and
// 4:2:2 pictures, odd heights of 4:2:0 pictures, pictures beyond kRgaMaxDimension) give an error status.
#pragma once

#include <cstddef>

// Picture formats, with the engine's format codes.
enum RgaFormat : int {
    RK_FORMAT_RGBA_8888 = 0,        // 4 bytes R, G, B, A
    RK_FORMAT_RGB_888 = 512,        // 3 bytes R, G, B
    RK_FORMAT_BGR_888 = 1792,       // 3 bytes B, G, R
    RK_FORMAT_YCbCr_422_SP = 2048,  // NV16: luma plane, then a full-height interleaved U,V plane
    RK_FORMAT_YCbCr_422_P = 2304,   // luma, U and V planes, chroma half width, full height
    RK_FORMAT_YCbCr_420_SP = 2560,  // NV12: luma plane, then a half-height interleaved U,V plane
    RK_FORMAT_YCbCr_420_P = 2816,   // luma, U and V planes, chroma half width and half height
    RK_FORMAT_YUYV_422 = 7168,      // packed Y0 U Y1 V
    RK_FORMAT_UYVY_422 = 7680,      // packed U Y0 V Y1
};

// Results: SUCCESS for a finished operation, NOERROR for a passed check, anything below 0 is a failure.
enum IM_STATUS : int {
    IM_STATUS_NOERROR = 2,
    IM_STATUS_SUCCESS = 1,
    IM_STATUS_NOT_SUPPORTED = -1,
    IM_STATUS_OUT_OF_MEMORY = -2,
    IM_STATUS_INVALID_PARAM = -3,
    IM_STATUS_ILLEGAL_PARAM = -4,
    IM_STATUS_FAILED = -5,
};

// Rotation codes of imrotate_t.
enum RgaRotation : int {
    RGA_ROTATE_90 = 1,
    RGA_ROTATE_180 = 2,
    RGA_ROTATE_270 = 4,
};

// Interpolation codes of imresize_t.
enum RgaInterpolation : int {
    RGA_INTERP_NEAREST = 0,
    RGA_INTERP_LINEAR = 1,
    RGA_INTERP_CUBIC = 2,
};

// Largest width or height the engine takes.
constexpr int kRgaMaxDimension = 8192;

struct rga_buffer_t {
    void* vir_addr;
    int width;
    int height;
    int wstride;
    int hstride;
    int format;
};

struct im_rect {
    int x;
    int y;
    int width;
    int height;
};

// Describes a tightly packed picture at a virtual address (wstride = width, hstride = height).
rga_buffer_t wrapbuffer_virtualaddr_t(void* vir_addr, int width, int height, int format);

// Same-size colour conversion; sfmt and dfmt replace the buffers' formats. mode (colour-space mode) must
// be 0: BT.601 limited range.
IM_STATUS imcvtcolor_t(rga_buffer_t src, rga_buffer_t dst, int sfmt, int dfmt, int mode, int sync);

// Scaling (and conversion when the formats differ) to the destination's size; fx and fy must be 0.
IM_STATUS imresize_t(rga_buffer_t src, rga_buffer_t dst, double fx, double fy, int interpolation, int sync);

// The rectangle of the source into a destination of the rectangle's size; the formats may differ.
IM_STATUS imcrop_t(rga_buffer_t src, rga_buffer_t dst, im_rect rect, int sync);

// Rotation by an RgaRotation code; source and destination share one format, and for 90 and 270 degrees
// the destination's width and height are the source's height and width.
IM_STATUS imrotate_t(rga_buffer_t src, rga_buffer_t dst, int rotation, int sync);

// Copy of a picture into one of the same size and format.
IM_STATUS imcopy_t(rga_buffer_t src, rga_buffer_t dst, int sync);

// Checks that both buffers are pictures the engine can work on (and that non-empty rectangles lie inside
// them): IM_STATUS_NOERROR, or the failure.
IM_STATUS imcheck_t(rga_buffer_t src, rga_buffer_t dst, im_rect srect, im_rect drect, int mode);

// A text for a status: "Run successfully" for IM_STATUS_SUCCESS.
const char* imStrError_t(IM_STATUS status);

// A descriptive text about the engine for any query code.
const char* querystring(int name);

// Bytes of a tightly packed width x height picture of a format; 0 for an unknown format or a size <= 0.
size_t rga_picture_bytes(int format, int width, int height);
