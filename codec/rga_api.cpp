#include "rga_api.h"

#include <pthread.h>
#include <sys/time.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "rga_im2d.h"

namespace {

struct FourccFormat {
    const char* fourcc;
    int format;
};

// "BGR4" is handed to the engine as RGBA, as the device's engine names it; R and B are thus swapped
// against V4L2's BGR4 byte order. Nothing in the pipeline converts BGR4.
constexpr FourccFormat kFourccFormats[] = {
    {"RGB3", RK_FORMAT_RGB_888},        {"BGR3", RK_FORMAT_BGR_888},       {"BGR4", RK_FORMAT_RGBA_8888},
    {"NV12", RK_FORMAT_YCbCr_420_SP},   {"NV16", RK_FORMAT_YCbCr_422_SP},  {"422P", RK_FORMAT_YCbCr_422_P},
    {"YU12", RK_FORMAT_YCbCr_420_P},    {"YUYV", RK_FORMAT_YUYV_422},      {"UYVY", RK_FORMAT_UYVY_422},
};

// FourCCs each operation takes.
struct FourccSet {
    const char* const* names;
    size_t count;
};
constexpr const char* kCvtcolor[] = {"BGR3", "NV16", "YUYV", "BGR4", "NV12", "RGB3", "YU12"};
constexpr const char* kCvtcolor2Src[] = {"BGR3", "422P", "NV16", "YUYV", "UYVY", "NV12", "RGB3", "YU12"};
constexpr const char* kCvtcolor2Dst[] = {"RGB3", "NV16", "YUYV", "BGR3", "YU12", "NV12"};
constexpr const char* kResize[] = {"RGB3", "NV16", "YUYV", "BGR3", "YU12", "NV12"};
constexpr const char* kCrop[] = {"YU12", "NV12", "RGB3", "BGR3", "NV16"};
constexpr const char* kRotate[] = {"RGB3", "BGR3", "NV16", "YU12", "NV12"};

template <size_t N>
constexpr FourccSet set_of(const char* const (&names)[N]) {
    return FourccSet{names, N};
}

bool same_fourcc(const char* a, const char* b) {
    return std::strncmp(a, b, 4) == 0 && a[std::strlen(b)] == '\0';
}

// The engine format of a FourCC the set takes, or -1.
int format_in(const FourccSet& set, const char* fourcc) {
    if (fourcc == nullptr) return -1;
    bool accepted = false;
    for (size_t i = 0; i < set.count; ++i) accepted = accepted || same_fourcc(fourcc, set.names[i]);
    if (!accepted) return -1;
    for (const FourccFormat& entry : kFourccFormats)
        if (same_fourcc(fourcc, entry.fourcc)) return entry.format;
    return -1;
}

// The process-wide engine lock; taken only once rkrga_api_init has run.
std::mutex g_rga_mutex;
std::atomic<bool> g_rga_lock_ready{false};
// The second lock, which no operation takes; set up and torn down by v2_api_init / v2_api_uninit.
pthread_mutex_t g_v2_mutex;
std::mutex g_v2_setup;
bool g_v2_lock_ready = false;

// Holds the engine lock for one call when it exists; remembers whether it locked, so that a concurrent
// init or uninit cannot unbalance it.
class RgaLock {
public:
    RgaLock() : locked_(g_rga_lock_ready.load(std::memory_order_acquire)) {
        if (locked_) g_rga_mutex.lock();
    }
    ~RgaLock() {
        if (locked_) g_rga_mutex.unlock();
    }
    RgaLock(const RgaLock&) = delete;
    RgaLock& operator=(const RgaLock&) = delete;

private:
    bool locked_;
};

int finish(const char* operation, IM_STATUS status) {
    if (status == IM_STATUS_SUCCESS) return 1;
    std::printf("%s: engine error %d, %s\n", operation, static_cast<int>(status), imStrError_t(status));
    return -1;
}

int64_t now_us() {
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec;
}

}  // namespace

void rkrga_api_print_info() {
    std::printf("==vor print all rga msg:\n%s\n", querystring(9));
}

int rkrga_api_init() {
    if (g_rga_lock_ready.load(std::memory_order_acquire)) return 0;
    rkrga_api_print_info();
    std::printf("version = %s", querystring(0));
    if (g_rga_lock_ready.exchange(true, std::memory_order_acq_rel)) return 0;
    return 1;
}

void rkrga_api_uninit() {
    g_rga_lock_ready.store(false, std::memory_order_release);
}

int v2_api_init() {
    std::lock_guard<std::mutex> setup(g_v2_setup);
    if (g_v2_lock_ready) return 0;
    if (pthread_mutex_init(&g_v2_mutex, nullptr) != 0) {
        std::printf("==vor %s pthread_mutex_init failed\n", "v2_api_init");
        return -1;
    }
    g_v2_lock_ready = true;
    return 1;
}

void v2_api_uninit() {
    std::lock_guard<std::mutex> setup(g_v2_setup);
    if (!g_v2_lock_ready) return;
    pthread_mutex_destroy(&g_v2_mutex);
    g_v2_lock_ready = false;
}

namespace {

// The two same-size conversions differ only in the FourCCs they take.
int convert_same_size(const char* operation, const FourccSet& sources, const FourccSet& destinations,
                      const void* src, void* dst, int width, int height, const char* src_fourcc,
                      const char* dst_fourcc) {
    const int src_format = format_in(sources, src_fourcc);
    const int dst_format = format_in(destinations, dst_fourcc);
    if (src == nullptr || dst == nullptr || width <= 0 || height <= 0 || src_format < 0 || dst_format < 0)
        return -1;
    RgaLock lock;
    const rga_buffer_t in = wrapbuffer_virtualaddr_t(const_cast<void*>(src), width, height, src_format);
    const rga_buffer_t out = wrapbuffer_virtualaddr_t(dst, width, height, dst_format);
    return finish(operation, imcvtcolor_t(in, out, src_format, dst_format, 0, 1));
}

}  // namespace

int rkrga_api_cvtcolor(const void* src, void* dst, int width, int height, const char* src_fourcc,
                       const char* dst_fourcc) {
    return convert_same_size("rkrga_api_cvtcolor", set_of(kCvtcolor), set_of(kCvtcolor), src, dst, width, height,
                             src_fourcc, dst_fourcc);
}

int rkrga_api_cvtcolor2(const void* src, void* dst, int width, int height, const char* src_fourcc,
                        const char* dst_fourcc) {
    return convert_same_size("rkrga_api_cvtcolor2", set_of(kCvtcolor2Src), set_of(kCvtcolor2Dst), src, dst, width,
                             height, src_fourcc, dst_fourcc);
}

int rkrga_api_resize(const void* src, void* dst, int src_width, int src_height, int dst_width, int dst_height,
                     const char* src_fourcc, const char* dst_fourcc) {
    const int src_format = format_in(set_of(kResize), src_fourcc);
    const int dst_format = format_in(set_of(kResize), dst_fourcc);
    if (src == nullptr || dst == nullptr || src_width <= 0 || src_height <= 0 || dst_width <= 0 ||
        dst_height <= 0 || src_format < 0 || dst_format < 0)
        return -1;
    RgaLock lock;
    const rga_buffer_t in = wrapbuffer_virtualaddr_t(const_cast<void*>(src), src_width, src_height, src_format);
    const rga_buffer_t out = wrapbuffer_virtualaddr_t(dst, dst_width, dst_height, dst_format);
    return finish("rkrga_api_resize", imresize_t(in, out, 0, 0, RGA_INTERP_LINEAR, 1));
}

int rkrga_api_resize_same_format(const void* src, void* dst, int src_width, int src_height, int dst_width,
                                 int dst_height, const char* fourcc) {
    const int format = format_in(set_of(kResize), fourcc);
    if (src == nullptr || dst == nullptr || src_width <= 0 || src_height <= 0 || dst_width <= 0 ||
        dst_height <= 0 || format < 0)
        return -1;
    RgaLock lock;
    const rga_buffer_t in = wrapbuffer_virtualaddr_t(const_cast<void*>(src), src_width, src_height, format);
    const rga_buffer_t out = wrapbuffer_virtualaddr_t(dst, dst_width, dst_height, format);
    return finish("rkrga_api_resize_same_format", imresize_t(in, out, 0, 0, RGA_INTERP_LINEAR, 1));
}

int rkrga_api_crop(const void* src, void* dst, int src_width, int src_height, int x, int y, int crop_width,
                   int crop_height, const char* src_fourcc, const char* dst_fourcc) {
    const int src_format = format_in(set_of(kCrop), src_fourcc);
    const int dst_format = format_in(set_of(kCrop), dst_fourcc);
    if (src == nullptr || dst == nullptr || src_width <= 0 || src_height <= 0 || crop_width <= 0 ||
        crop_height <= 0 || src_format < 0 || dst_format < 0)
        return -1;
    RgaLock lock;
    const rga_buffer_t in = wrapbuffer_virtualaddr_t(const_cast<void*>(src), src_width, src_height, src_format);
    const rga_buffer_t out = wrapbuffer_virtualaddr_t(dst, crop_width, crop_height, dst_format);
    return finish("rkrga_api_crop", imcrop_t(in, out, im_rect{x, y, crop_width, crop_height}, 1));
}

int rkrga_api_rotate(const void* src, void* dst, int width, int height, const char* fourcc, int rotation) {
    const int format = format_in(set_of(kRotate), fourcc);
    static constexpr int kTransforms[] = {0, RGA_ROTATE_90, RGA_ROTATE_180, RGA_ROTATE_270};
    if (src == nullptr || dst == nullptr || width <= 0 || height <= 0 || format < 0 || rotation < 1 ||
        rotation > 3)
        return -1;
    const bool quarter_turn = rotation != 2;
    RgaLock lock;
    const rga_buffer_t in = wrapbuffer_virtualaddr_t(const_cast<void*>(src), width, height, format);
    const rga_buffer_t out = wrapbuffer_virtualaddr_t(dst, quarter_turn ? height : width,
                                                      quarter_turn ? width : height, format);
    return finish("rkrga_api_rotate", imrotate_t(in, out, kTransforms[rotation], 1));
}

int rkrga_api_copy(const void* src, int width, int height, void* dst) {
    const int format = RK_FORMAT_YCbCr_420_SP;
    if (src == nullptr || dst == nullptr || width <= 0 || height <= 0) return -1;
    const rga_buffer_t in = wrapbuffer_virtualaddr_t(const_cast<void*>(src), width, height, format);
    const rga_buffer_t out = wrapbuffer_virtualaddr_t(dst, width, height, format);
    const IM_STATUS check = imcheck_t(in, out, im_rect{}, im_rect{}, 0);
    if (check != IM_STATUS_NOERROR) {
        std::printf("%d, check error! %s\n", 181, imStrError_t(check));
        return -1;
    }
    const int64_t start = now_us();
    const IM_STATUS status = imcopy_t(in, out, 1);
    const long cost = static_cast<long>(now_us() - start);
    const char* text = imStrError_t(status);
    if (std::strcmp(text, "Run successfully") == 0) {
        std::printf("11 copying .... cost time %ld us, %s\n", cost, text);
        return 0;
    }
    std::printf("22 copying .... cost time %ld us, %s\n", cost, text);
    return -1;
}

size_t rkrga_fourcc_picture_bytes(const char* fourcc, int width, int height) {
    if (fourcc == nullptr) return 0;
    for (const FourccFormat& entry : kFourccFormats)
        if (same_fourcc(fourcc, entry.fourcc)) return rga_picture_bytes(entry.format, width, height);
    return 0;
}
