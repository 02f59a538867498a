#include "hdmiin_capture.h"

#include <fcntl.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "fixed_path.h"
#include "pause.h"
#include "v4l2_io.h"

namespace {

std::mutex g_msg_mutex;  // the record, the remembered mode and the probe thread handle
HdmirxVideoMsg g_msg = {};
// The mode a probe saw last; a new one is taken when the next probe agrees.
struct RememberedMode {
    uint32_t width;
    uint32_t height;
    uint32_t fps;
    uint32_t fourcc;
} g_last = {};
std::atomic<uint8_t> g_input_mode_0{0};
std::atomic<uint8_t> g_input_mode_1{0};

// The buffer type the probe asks G_FMT for: the HDMI-in device's as the start routine set it (the capture
// set-up may change the device's own on another thread).
std::atomic<int> g_probe_buf_type{V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE};
std::atomic<bool> g_probe_run{false};
std::mutex g_probe_wait_mutex;
std::condition_variable g_probe_wake;
std::thread g_probe_thread;

std::mutex g_save_mutex;
FILE* g_save_file = nullptr;
std::string g_save_path;

float round_rate(double rate, uint32_t pixelclock, int index) {
    if (index == 0) {
        if (rate > 29 && rate <= 30) return 30.0f;
        if (rate > 24 && rate <= 25) return 25.0f;
        if (rate > 59 && rate <= 60) return 60.0f;
        return static_cast<float>(std::floor(rate));
    }
    if (rate > 59 && rate < 60) return pixelclock == 74180000u ? 59.94f : 60.0f;
    if (rate > 49 && rate < 50) return 50.0f;
    if (rate > 29 && rate < 30) return 30.0f;
    return static_cast<float>(rate);
}

// Waits one probe period, or less when the thread is told to stop.
void wait_probe_period() {
    std::unique_lock<std::mutex> lock(g_probe_wait_mutex);
    g_probe_wake.wait_for(lock, std::chrono::milliseconds(kHdmirxProbePeriodMs),
                          [] { return !g_probe_run.load(); });
}

void probe_loop() {
    while (g_probe_run.load()) {
        hdmirx_probe_once(0);
        wait_probe_period();
    }
}

}  // namespace

HdmirxVideoMsg hdmirx_video_msg() {
    std::lock_guard<std::mutex> lock(g_msg_mutex);
    return g_msg;
}

bool hdmirx_input_mode_is_0() { return g_input_mode_0.load() == 1; }
bool hdmirx_input_mode_is_1() { return g_input_mode_1.load() == 1; }

HdmirxRate hdmirx_timing_rate(const v4l2_bt_timings& bt, uint32_t fourcc, int index) {
    HdmirxRate result = {};
    result.interlaced = bt.il_vfrontporch != 0 || bt.il_vsync != 0 || bt.il_vbackporch != 0;
    const uint64_t h_total = static_cast<uint64_t>(bt.hfrontporch) + bt.hsync + bt.hbackporch + bt.width;
    const uint64_t v_total = static_cast<uint64_t>(bt.vfrontporch) + bt.vsync + bt.vbackporch +
                             (result.interlaced ? bt.height / 2 + bt.il_vsync : bt.height);
    const uint64_t total = h_total * v_total;
    // A receiver without a signal may answer with zeros: no rate rather than a division by zero.
    result.rate = total == 0 ? 0.0 : static_cast<double>(bt.pixelclock) / static_cast<double>(total);
    if (fourcc == V4L2_PIX_FMT_NV12) result.rate *= 2;
    result.rounded = round_rate(result.rate, static_cast<uint32_t>(bt.pixelclock), index);
    return result;
}

int hdmirx_probe_once(int index) {
    const int buf_type = g_probe_buf_type.load();
    const std::string node = fixed_path(kHdmirxDevPath);
    const int fd = v4l2_io().open(node.c_str(), O_RDWR);
    if (fd < 0) {
        std::printf("Cannot open '%s': %d\n", kHdmirxDevPath, errno);
        return 0;
    }
    v4l2_format fmt = {};
    fmt.type = static_cast<uint32_t>(buf_type);
    uint32_t fourcc = 0;
    if (xioctl(fd, VIDIOC_G_FMT, &fmt) == -1) {
        std::printf("hdmirx %d VIDIOC_G_FMT failed ,%d(%s)\n", index, errno, strerror(errno));
    } else {
        fourcc = buf_type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE ? fmt.fmt.pix_mp.pixelformat : fmt.fmt.pix.pixelformat;
    }
    int input_mode = -1;
    if (xioctl(fd, kHdmirxInputModeRequest, &input_mode) == 0) {
        g_input_mode_0.store(input_mode == 0 ? 1 : 0);
        g_input_mode_1.store(input_mode == 1 ? 1 : 0);
    }
    v4l2_dv_timings timings = {};
    const int got_timings = xioctl(fd, VIDIOC_QUERY_DV_TIMINGS, &timings);
    const int timings_errno = errno;
    v4l2_io().close(fd);
    if (got_timings == -1) {
        std::printf("22 get VIDIOC_SUBDEV_QUERY_DV_TIMINGS failed ,%d(%s)\n", timings_errno, strerror(timings_errno));
        {
            // The source is gone: the record must not go on claiming one.
            std::lock_guard<std::mutex> lock(g_msg_mutex);
            g_msg.plug = 0;
        }
        pause_ms(kHdmirxNoSignalPauseMs);
        return 0;
    }
    const v4l2_bt_timings& bt = timings.bt;
    const HdmirxRate rate = hdmirx_timing_rate(bt, fourcc, index);
    const uint32_t fps = static_cast<uint32_t>(rate.rounded);

    std::lock_guard<std::mutex> lock(g_msg_mutex);
    if (bt.width != g_last.width && bt.height != g_last.height && fps != g_last.fps && fourcc != g_last.fourcc) {
        g_last = RememberedMode{bt.width, bt.height, fps, fourcc};
        std::printf("33 get VIDIOC_SUBDEV_QUERY_DV_TIMINGS failed ,%d(%s)\n", 0, strerror(0));
        return 0;
    }
    g_msg.port = index;
    g_msg.plug = 1;
    std::snprintf(g_msg.name, sizeof(g_msg.name), "hdmirx%d", index);
    g_msg.format = HdmirxFormatEntry{fourcc, bt.width, bt.height, fps, static_cast<uint8_t>(rate.interlaced ? 1 : 0),
                                     rate.rounded};
    return 1;
}

void hdmirx_video_probe_clear() {
    std::lock_guard<std::mutex> lock(g_msg_mutex);
    g_msg = HdmirxVideoMsg{};
    g_last = RememberedMode{};
}

int hdmirx_video_probe_start() {
    if (hdmirx_video_probe_running()) return 0;
    hdmirx_video_probe_clear();
    std::lock_guard<std::mutex> lock(g_msg_mutex);
    if (g_probe_run.load() || g_probe_thread.joinable()) return 0;
    g_hdmiin_videoDev.kind = kDevKindHdmiIn;
    g_hdmiin_videoDev.port = 0;
    g_hdmiin_videoDev.buf_type = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    g_probe_buf_type.store(V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE);
    set_input_video_dev_path(&g_hdmiin_videoDev, kHdmirxDevPath);
    g_probe_run.store(true);
    try {
        g_probe_thread = std::thread(probe_loop);
    } catch (const std::system_error& error) {
        std::printf("hdmirx probe thread not started: %s\n", error.what());
        g_probe_run.store(false);
        return 0;
    }
    return 1;
}

void hdmirx_video_probe_stop() {
    std::thread finished;
    {
        std::lock_guard<std::mutex> lock(g_msg_mutex);
        finished = std::move(g_probe_thread);
    }
    {
        std::lock_guard<std::mutex> lock(g_probe_wait_mutex);
        g_probe_run.store(false);
    }
    g_probe_wake.notify_all();
    if (finished.joinable()) finished.join();
}

bool hdmirx_video_probe_running() { return g_probe_run.load(); }

int hdmirx_video_plugin(int index) {
    const HdmirxVideoMsg msg = hdmirx_video_msg();
    if (index != 0 || msg.plug != 1) {
        std::printf("hdmirx %d plugin: no source\n", index);
        return -1;
    }
    const HdmirxFormatEntry& entry = msg.format;
    if (hdmirx_input_mode_is_1() && (entry.width > static_cast<uint32_t>(kHdmirxMode1MaxWidth) ||
                                     entry.height > static_cast<uint32_t>(kHdmirxMode1MaxHeight))) {
        std::printf("hdmirx %d plugin: %ux%u is beyond %dx%d in input mode 1\n", index, entry.width, entry.height,
                    kHdmirxMode1MaxWidth, kHdmirxMode1MaxHeight);
        return -1;
    }
    VideoFormatBlock format = {};
    format.fourcc = entry.fourcc;
    format.width = static_cast<int32_t>(entry.width);
    format.height = static_cast<int32_t>(entry.height);
    format.fps = static_cast<int32_t>(entry.fps);
    // The rest of the entry travels in the block's further bytes: the interlaced flag, then the rate.
    format.extra[0] = entry.interlaced;
    std::memcpy(&format.extra[4], &entry.fractional_fps, sizeof(float));
    set_input_video_dev_format(&g_hdmiin_videoDev, format);
    const char* c = reinterpret_cast<const char*>(&entry.fourcc);
    std::printf(entry.interlaced ? "0 hdmirx %d plugin,%c%c%c%c-%dx%d@%2.2fi\n"
                                 : "1 hdmirx %d plugin,%c%c%c%c-%dx%d@%2.2fp\n",
                index, c[0], c[1], c[2], c[3], format.width, format.height,
                static_cast<double>(entry.fractional_fps));
    return hdmiin_uvc_video_init(&g_hdmiin_videoDev);
}

void save1FrameRawData(const uint8_t* bytes, int length) {
    if (bytes == nullptr || length <= 0) return;
    std::lock_guard<std::mutex> lock(g_save_mutex);
    const std::string path = fixed_path("/system/bin/test5.yuv");
    // Opened once; a changed fixed-path root (tests) names another file, which is started afresh.
    if (g_save_file == nullptr || path != g_save_path) {
        if (g_save_file != nullptr) std::fclose(g_save_file);
        g_save_file = std::fopen(path.c_str(), "wb+");
        g_save_path = path;
        if (g_save_file == nullptr) {
            std::printf("save1FrameRawData: cannot open %s: %s\n", path.c_str(), strerror(errno));
            return;
        }
    }
    std::fwrite(bytes, 1, static_cast<size_t>(length), g_save_file);
    std::fflush(g_save_file);
    std::printf("====vor save1FrameRawData len:%d\n", length);
}
