#include "drm_test_buffer.h"

#include <drm_fourcc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t kLumaBands[4] = {128, 64, 128, 192};
constexpr uint8_t kChromaBands[4] = {0, 64, 128, 192};

uint32_t align_up(uint32_t value, uint32_t step) { return (value + step - 1) / step * step; }

// Fills rows [0, rows) of a plane with four bands of the given values.
void fill_bands(uint8_t* plane, uint32_t pitch, uint32_t row_bytes, uint32_t rows, const uint8_t values[4]) {
    for (uint32_t y = 0; y < rows; ++y) {
        const uint32_t band = static_cast<uint32_t>(static_cast<uint64_t>(y) * 4 / rows);
        std::memset(plane + static_cast<size_t>(y) * pitch, values[band], row_bytes);
    }
}

}  // namespace

uint32_t drm_test_fourcc(const char* text) {
    return fourcc_code(text[0], text[1], text[2], text[3]);
}

uint32_t drm_test_bits_per_pixel(uint32_t fourcc) {
    if (fourcc == drm_test_fourcc("NV12")) return 12;
    if (fourcc == drm_test_fourcc("RGB3") || fourcc == drm_test_fourcc("BGR3")) return 24;
    if (fourcc == drm_test_fourcc("AR24") || fourcc == drm_test_fourcc("BGR4")) return 32;
    if (fourcc == drm_test_fourcc("YUYV")) return 16;
    return 0;
}

int drm_test_open(const char* path) {
    const int fd = drm_io().open(path);
    if (fd < 0) std::printf("open %s failed!\n", path);
    return fd;
}

int drm_test_buffer_create(int fd, uint32_t width, uint32_t height, uint32_t fourcc, DrmTestBuffer* out) {
    *out = DrmTestBuffer();
    const uint32_t bits = drm_test_bits_per_pixel(fourcc);
    if (fd < 0 || width == 0 || height == 0 || bits == 0) {
        std::printf("drm test buffer: bad arguments\n");
        return -1;
    }
    DrmIo& io = drm_io();
    // NV12 is one byte-wide plane of luma with the chroma rows below it; the others are packed pixels.
    const bool nv12 = fourcc == drm_test_fourcc("NV12");
    const uint32_t bytes_per_row = nv12 ? width : width * bits / 8;
    const uint32_t rows = nv12 ? height * 3 / 2 : height;
    // The dumb buffer is asked for in bytes (8 bits per "pixel") so the pitch is the 16-aligned row.
    if (io.create_dumb(fd, align_up(bytes_per_row, kTestPitchAlign), rows, 8, &out->dumb) != 0) {
        std::printf("drm test buffer: create dumb failed\n");
        return -1;
    }
    out->fd = fd;
    out->width = width;
    out->height = height;
    out->fourcc = fourcc;
    if (io.prime_export(fd, out->dumb.handle, &out->dmabuf_fd) != 0 || out->dmabuf_fd < 0) {
        std::printf("map ioctl returned negative fd\n");
        out->dmabuf_fd = -1;
        drm_test_buffer_release(out);
        return -1;
    }
    uint64_t offset = 0;
    const int rc = io.map_dumb(fd, out->dumb.handle, &offset);
    if (rc != 0) {
        std::printf("map_dumb failed: %s\n", std::strerror(-rc));
        drm_test_buffer_release(out);
        return -1;
    }
    out->map = static_cast<uint8_t*>(io.map(fd, static_cast<size_t>(out->dumb.size), offset));
    if (out->map == nullptr) {
        std::printf("mmap failed: %s\n", std::strerror(errno));
        std::printf("drm map buffer fail.\n");
        drm_test_buffer_release(out);
        return -1;
    }
    return 0;
}

int drm_test_fill_nv12(DrmTestBuffer* buffer) {
    if (buffer == nullptr || buffer->map == nullptr || buffer->fourcc != drm_test_fourcc("NV12")) return -1;
    const uint32_t pitch = buffer->dumb.pitch;
    fill_bands(buffer->map, pitch, buffer->width, buffer->height, kLumaBands);
    fill_bands(buffer->map + static_cast<size_t>(pitch) * buffer->height, pitch, buffer->width, buffer->height / 2,
               kChromaBands);
    return 0;
}

void drm_test_buffer_release(DrmTestBuffer* buffer) {
    DrmIo& io = drm_io();
    if (buffer->map != nullptr) io.unmap(buffer->map, static_cast<size_t>(buffer->dumb.size));
    if (buffer->dmabuf_fd >= 0) ::close(buffer->dmabuf_fd);
    if (buffer->dumb.handle != 0 && buffer->fd >= 0) io.destroy_dumb(buffer->fd, buffer->dumb.handle);
    *buffer = DrmTestBuffer();
}
