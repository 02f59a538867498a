// Frames per second of each per-frame conversion of the pipeline through the 2D-engine wrappers, on the
// calling thread only (one core). The pipeline needs 30 frames per second on every path it uses.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "rga_api.h"

namespace {

struct Path {
    const char* name;
    int src_width;
    int src_height;
    const char* src_fourcc;
    int dst_width;
    int dst_height;
    const char* dst_fourcc;
};

constexpr double kSecondsPerPath = 2.0;
constexpr double kNeededFps = 30.0;

void measure(const Path& path) {
    std::vector<uint8_t> src(rkrga_fourcc_picture_bytes(path.src_fourcc, path.src_width, path.src_height));
    std::vector<uint8_t> dst(rkrga_fourcc_picture_bytes(path.dst_fourcc, path.dst_width, path.dst_height));
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 7 + i / 4096);
    // One untimed call sets up the scaler.
    rkrga_api_resize(src.data(), dst.data(), path.src_width, path.src_height, path.dst_width, path.dst_height,
                     path.src_fourcc, path.dst_fourcc);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    int frames = 0;
    double seconds = 0;
    bool failed = false;
    while (seconds < kSecondsPerPath) {
        failed = failed || rkrga_api_resize(src.data(), dst.data(), path.src_width, path.src_height,
                                            path.dst_width, path.dst_height, path.src_fourcc, path.dst_fourcc) != 1;
        ++frames;
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
    const double fps = frames / seconds;
    std::printf("%-40s %8.1f fps %7.2f ms/frame  %s%s\n", path.name, fps, 1000.0 / fps,
                fps >= kNeededFps ? "meets 30 fps" : "BELOW 30 fps", failed ? "  (CALL FAILED)" : "");
}

}  // namespace

int main() {
    const Path paths[] = {
        {"1080p NV12 -> 1080p RGB24", 1920, 1080, "NV12", 1920, 1080, "RGB3"},
        {"1080p NV12 -> 4K RGB24", 1920, 1080, "NV12", 3840, 2160, "RGB3"},
        {"4K NV16 -> 1080p NV12", 3840, 2160, "NV16", 1920, 1080, "NV12"},
        // Further per-frame paths of the pipeline.
        {"4K NV12 -> 4K RGB24", 3840, 2160, "NV12", 3840, 2160, "RGB3"},
        {"4K NV12 -> 1080p NV12", 3840, 2160, "NV12", 1920, 1080, "NV12"},
        {"720p NV12 -> 1080p NV12", 1280, 720, "NV12", 1920, 1080, "NV12"},
        {"1080p NV16 -> 1080p RGB24", 1920, 1080, "NV16", 1920, 1080, "RGB3"},
        {"1080p NV12 -> 640x360 BGR24 (preview)", 1920, 1080, "NV12", 640, 360, "BGR3"},
    };
    std::printf("2D-engine stand-in (libswscale), one core, %.0f s per path\n", kSecondsPerPath);
    for (const Path& path : paths) measure(path);
    return 0;
}
