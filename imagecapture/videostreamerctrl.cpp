#include "videostreamerctrl.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "capture_channels.h"
#include "fixed_path.h"
#include "pause.h"
#include "uvc_format_choice.h"
#include "uvc_probe.h"

std::atomic<int> uvc_get_h264_mjpeg_yuyv_count{kUvcCodecH264};
std::atomic<uint8_t> uvc_4k_enabled{0};
UvcFromState g_UVC_from;

namespace {

// Pauses of the monitor around a restart.
constexpr int kRestartPauseMs = 2000;
constexpr int kTimeoutRestartPauseMs = 3000;
constexpr int kUnplugPauseMs = 3000;
constexpr int kRetryPauseMs = 1000;
constexpr int kPlugInRetryPauseMs = 3000;

std::atomic<InputVideoFrameCallback> g_uvc_frame_callback{nullptr};
std::atomic<bool> g_monitor_run{false};

// The monitor thread; left running at process exit rather than aborting it.
struct MonitorThread {
    std::thread thread;
    ~MonitorThread() {
        if (thread.joinable()) thread.detach();
    }
};
MonitorThread g_monitor_thread;
std::mutex g_monitor_start_mutex;

int uvcin_frame_forward(FrameDescriptor* frame, int bytes, VideoFormatBlock format_copy,
                        const VideoFormatBlock* format) {
    const InputVideoFrameCallback callback = g_uvc_frame_callback.load();
    return callback != nullptr ? callback(frame, bytes, format_copy, format) : 0;
}

VideoFormatBlock make_format(uint32_t fourcc, int width, int height, int fps) {
    VideoFormatBlock format = {};
    format.fourcc = fourcc;
    format.width = width;
    format.height = height;
    format.fps = fps;
    return format;
}

bool same_picture(const VideoFormatBlock& a, const VideoFormatBlock& b) {
    return a.fourcc == b.fourcc && a.width == b.width && a.height == b.height;
}

// Plug-in until capture runs (result 1), at most kPluginAttempts calls, pausing after each. A result of
// 0 or -1 (set-up failed, node missing) is a failure and is retried.
void plugin_with_retry(int port, int pause_ms_after_each) {
    for (int attempt = 0; attempt < kPluginAttempts; ++attempt) {
        const int result = uvcin_video_plugin(port);
        if (pause_ms_after_each > 0) pause_ms(pause_ms_after_each);
        if (result == 1) return;
    }
}

void monitor_thread_body() {
    std::printf("hdmiin_uvc_video_monitor_thread start....\n");
    UvcMonitorState state = {};
    while (g_monitor_run.load()) {
        for (int port = 0; port < kUvcPortCount && g_monitor_run.load(); ++port)
            hdmiin_uvc_video_monitor_step(&state, port);
        pause_ms(kMonitorPeriodMs);
    }
    std::printf("hdmiin_uvc_video_monitor_thread exit\n");
}

}  // namespace

void set_uvc_frame_callback(InputVideoFrameCallback callback) {
    g_uvc_frame_callback.store(callback);
}

int hdmiin_frame_callback(FrameDescriptor* frame, int, VideoFormatBlock, const VideoFormatBlock* format) {
    if (frame == nullptr || format == nullptr) return 0;
    const char* name = nullptr;
    if (format->fourcc == make_fourcc('N', 'V', '1', '2')) name = "NV12";
    if (format->fourcc == kFourccBgr3) name = "BGR24";
    if (format->fourcc == make_fourcc('N', 'V', '2', '4')) name = "NV24";
    if (format->fourcc == make_fourcc('N', 'V', '1', '6')) name = "NV16";
    if (name != nullptr) std::printf("HDMI V4L2_PIX_FMT_%s %u %u\n", name, frame->width, frame->height);
    return 1;
}

void videostreamerctrl_init() {
    std::printf("videostreamerctrl_init start....\n");
    g_monitor_run.store(true);
    for (int port = 0; port < kUvcPortCount; ++port) {
        InputVideoDevStruct* dev = &g_uvcin_videoDev[port];
        dev->kind = kDevKindUvc;
        dev->port = port;
        dev->callback.store(&uvcin_frame_forward);
        dev->capture_output.store(0);
        set_input_video_dev_format(dev, make_format(kFourccH264, 1920, 1080, 30));
    }
    g_hdmiin_videoDev.kind = kDevKindHdmiIn;
    g_hdmiin_videoDev.port = 0;
    g_hdmiin_videoDev.callback.store(&hdmiin_frame_callback);
    g_hdmiin_videoDev.capture_output.store(0);
    set_input_video_dev_format(&g_hdmiin_videoDev, make_format(kFourccBgr3, 3840, 2160, 60));

    uvcin_video_probe_init();
    {
        std::lock_guard<std::mutex> guard(g_monitor_start_mutex);
        if (!g_monitor_thread.thread.joinable()) g_monitor_thread.thread = std::thread(monitor_thread_body);
    }
    std::printf("videostreamerctrl_init end....\n");
}

void videostreamerctrl_uninit() {
    {
        std::lock_guard<std::mutex> guard(g_monitor_start_mutex);
        g_monitor_run.store(false);
        if (g_monitor_thread.thread.joinable()) g_monitor_thread.thread.join();
    }
    uvcin_video_probe_uninit();
}

bool pocket3_attached() {
    std::ifstream cards(fixed_path("/proc/asound/cards"));
    if (!cards) {
        std::printf("open txt failed\n\r");
        return false;
    }
    std::string line;
    while (std::getline(cards, line))
        if (line.find("Pocket3") != std::string::npos) return true;
    return false;
}

int uvcin_video_plugin(int port) {
    if (port < 0 || port >= kUvcPortCount) return -1;
    // A failed listing leaves the previous list, which the choice then uses.
    uvcin_video_probe_format(port);
    video_dev_msg msg = {};
    uvcin_video_probe_get_msg(port, &msg);
    for (const UvcFormatEntry& entry : msg.formats) {
        if (entry.width == 0 || entry.height == 0 || entry.fps == 0) continue;
        std::printf("fmt:%c%c%c%c -- %ux%u@%u\n", entry.fourcc & 0xFF, (entry.fourcc >> 8) & 0xFF,
                    (entry.fourcc >> 16) & 0xFF, (entry.fourcc >> 24) & 0xFF, entry.width, entry.height, entry.fps);
    }
    InputVideoDevStruct* dev = &g_uvcin_videoDev[port];
    VideoFormatBlock format = input_video_dev_format(dev);
    {
        std::lock_guard<std::mutex> guard(dev->lock);
        dev->msg = msg;
    }

    UvcFormatChoiceInput input = {};
    input.entries = msg.formats;
    input.count = kUvcFormatMax;
    input.enable_4k = uvc_4k_enabled.load() == 1;
    input.pocket3_attached = pocket3_attached();
    input.previous_codec = uvc_get_h264_mjpeg_yuyv_count.load();
    input.previous_fps = format.fps;
    const UvcFormatChoice choice = choose_uvc_format(input);
    if (choice.best_listed)
        std::printf("uvc port %d: no format within the limits, taking the best listed %.4s %dx%d@%d\n", port,
                    reinterpret_cast<const char*>(&choice.fourcc), choice.width, choice.height, choice.fps);
    uvc_get_h264_mjpeg_yuyv_count.store(choice.codec);
    format.fourcc = choice.fourcc;
    format.width = choice.width;
    format.height = choice.height;
    format.fps = choice.fps;
    set_input_video_dev_format(dev, format);

    std::printf("uvc_get_h264_mjpeg_yuyv_count=%d interface=%d m_uvc_fps=%d %d %d %d\n", choice.codec, port,
                format.fps, format.width, format.height, choice.chosen ? 1 : 0);
    std::printf("55 uvc_get_h264_mjpeg_yuyv_count=%d W=%d H=%d fps=%d pixel_format=%d\n", choice.codec,
                format.width, format.height, format.fps, static_cast<int>(format.fourcc));
    return hdmiin_uvc_video_init(dev);
}

int videostreamerctrl_get_input_format(int kind, int index, VideoFormatBlock* out) {
    if (out == nullptr) return 0;
    if (kind == kDevKindUvc && index >= 0 && index < kUvcPortCount) {
        *out = input_video_dev_format(&g_uvcin_videoDev[index]);
        return 1;
    }
    if (kind == kDevKindHdmiIn && index == 0) {
        *out = input_video_dev_format(&g_hdmiin_videoDev);
        return 1;
    }
    return 0;
}

int videostreamerctrl_set_input_format(int kind, int index, const VideoFormatBlock& format) {
    if (kind != kDevKindUvc || index < 0 || index >= kUvcPortCount) return 0;
    set_input_video_dev_format(&g_uvcin_videoDev[index], format);
    return 1;
}

void hdmiin_uvc_video_monitor_step(UvcMonitorState* state, int port) {
    if (state == nullptr || port < 0 || port >= kUvcPortCount) return;
    InputVideoDevStruct* dev = &g_uvcin_videoDev[port];
    const bool plugged = uvcin_video_probe_is_plugged(port) == 1;
    if (plugged && state->plugged_last[port] == 1) {
        // Another camera took the port between two scans (off the board, the cameras move up a port when one
        // before them goes): the capture follows the port's new node.
        video_dev_msg probed = {};
        uvcin_video_probe_get_msg(port, &probed);
        const std::string probed_path(probed.dev_path, strnlen(probed.dev_path, sizeof(probed.dev_path)));
        const std::string captured_path = input_video_dev_path(dev);
        // (Its capture may already have closed itself on the old node's errors.)
        if (!captured_path.empty() && probed_path != captured_path) {
            std::printf("uvc port %d: the camera is now %s (was %s), restarting capture\n", port,
                        probed_path.c_str(), captured_path.c_str());
            hdmiin_uvc_video_uninit(dev);
            pause_ms(kRestartPauseMs);
            plugin_with_retry(port, kRetryPauseMs);
            state->snapshot[port] = input_video_dev_format(dev);
        }
        if (!same_picture(state->snapshot[port], input_video_dev_format(dev))) {
            hdmiin_uvc_video_uninit(dev);
            pause_ms(kRestartPauseMs);
            plugin_with_retry(port, kRetryPauseMs);
        }
        if (g_uvc_timeout_err[port].exchange(0) != 0) {
            std::printf("999 g_uvc_timeout_err = true\r\n");
            hdmiin_uvc_video_uninit(dev);
            pause_ms(kTimeoutRestartPauseMs);
            plugin_with_retry(port, 0);
        }
        if (g_UVC_from.error.exchange(0) != 0) {
            std::printf("g_UVC_from.error == true \r\n");
            hdmiin_uvc_video_uninit(dev);
            pause_ms(kRestartPauseMs);
            plugin_with_retry(port, kRetryPauseMs);
        }
    } else if (plugged) {
        plugin_with_retry(port, kPlugInRetryPauseMs);
    }
    if (plugged) {
        state->snapshot[port] = input_video_dev_format(dev);
    } else if (state->plugged_last[port] == 1) {
        if (dev->fd.load() == -1) {
            std::printf("g_uvcin_videoDev[%d].fd=-1\n", port);
        } else {
            std::printf("hdmiin_uvc_video_uninit(&g_uvcin_videoDev[%d])\n", port);
            hdmiin_uvc_video_uninit(dev);
            pause_ms(kUnplugPauseMs);
        }
    }
    state->plugged_last[port] = plugged ? 1 : 0;
}
