// The 2D-engine operations the video pipeline uses: colour conversion, scaling, cropping, rotation and copy
// of pictures in ordinary memory, named by V4L2-style FourCC texts ("NV12", "NV16", "RGB3", "BGR3", ...).
// Every engine call of the process is serialised by one lock, which exists from rkrga_api_init on; calls
// made before it run unlocked.
//
// The operations return -1 for a null address, a size of 0 or less, a FourCC the operation does not take,
// or a failed engine call, and 1 when the engine did the work (rkrga_api_copy: 0 and -1).
#pragma once

#include <cstddef>

// Prints the engine information and creates the process-wide lock: 1, or 0 when already done.
int rkrga_api_init();
// Drops the process-wide lock (later calls run unlocked again).
void rkrga_api_uninit();
// Prints the engine's own description.
void rkrga_api_print_info();

// Same-size colour conversion. Sources and destinations: BGR3, NV16, YUYV, BGR4, NV12, RGB3, YU12.
int rkrga_api_cvtcolor(const void* src, void* dst, int width, int height, const char* src_fourcc,
                       const char* dst_fourcc);
// The same with sources BGR3, 422P, NV16, YUYV, UYVY, NV12, RGB3, YU12 and destinations RGB3, NV16, YUYV,
// BGR3, YU12, NV12.
int rkrga_api_cvtcolor2(const void* src, void* dst, int width, int height, const char* src_fourcc,
                        const char* dst_fourcc);
// Bilinear scaling to the destination size and conversion in one step (RGB3, NV16, YUYV, BGR3, YU12, NV12).
int rkrga_api_resize(const void* src, void* dst, int src_width, int src_height, int dst_width, int dst_height,
                     const char* src_fourcc, const char* dst_fourcc);
// The rectangle {x, y, crop_width, crop_height} of the source into a destination of crop_width x
// crop_height, converting between YU12, NV12, RGB3, BGR3 and NV16.
int rkrga_api_crop(const void* src, void* dst, int src_width, int src_height, int x, int y, int crop_width,
                   int crop_height, const char* src_fourcc, const char* dst_fourcc);
// Scaling without conversion (RGB3, NV16, YUYV, BGR3, YU12, NV12).
int rkrga_api_resize_same_format(const void* src, void* dst, int src_width, int src_height, int dst_width,
                                 int dst_height, const char* fourcc);
// Rotation 1 = 90, 2 = 180, 3 = 270 degrees (RGB3, BGR3, NV16, YU12, NV12); for 90 and 270 degrees the
// destination is height x width.
int rkrga_api_rotate(const void* src, void* dst, int width, int height, const char* fourcc, int rotation);
// NV12 copy, outside the lock, checked first: 0 when copied, -1 otherwise.
int rkrga_api_copy(const void* src, int width, int height, void* dst);

// A second lock of the same kind, which no operation takes.
int v2_api_init();
void v2_api_uninit();

// Bytes of a tightly packed width x height picture named by a FourCC the engine knows; 0 otherwise.
size_t rkrga_fourcc_picture_bytes(const char* fourcc, int width, int height);
