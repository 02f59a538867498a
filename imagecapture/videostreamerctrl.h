// Capture control of the USB cameras: set-up of the capture records, the format choice of a plugged
// camera, and the camera monitor, which every 500 ms reacts per port to plug-in, unplug, a changed format,
// a capture time-out and the frame watchdog by starting and restarting the capture device.
#pragma once

#include <atomic>
#include <cstdint>

#include "input_video_dev.h"

constexpr int kMonitorPeriodMs = 500;
// A failed plug-in is tried at most this many times per event.
constexpr int kPluginAttempts = 5;

// The codec of the last choice: 0 H.264, 1 MJPEG, 2 YUYV; kept from one choice to the next.
extern std::atomic<int> uvc_get_h264_mjpeg_yuyv_count;
// 1 when the configuration allows the 4K pass ("camera_value"); never cleared.
extern std::atomic<uint8_t> uvc_4k_enabled;

// The camera's stall byte: set by the frame watchdog when no camera picture arrived for too long, cleared
// by the monitor, which restarts the camera.
struct UvcFromState {
    std::atomic<uint8_t> error{0};
};
extern UvcFromState g_UVC_from;

// The camera frame path's callback for UVC frames (uvcin_frame_callback); frames are only requeued until
// one is installed. nullptr removes it again.
void set_uvc_frame_callback(InputVideoFrameCallback callback);
// The HDMI-in record's callback: prints the frame's pixel format and size.
int hdmiin_frame_callback(FrameDescriptor* frame, int bytes, VideoFormatBlock format_copy,
                          const VideoFormatBlock* format);

// Sets up the capture records and starts the probe and monitor threads.
void videostreamerctrl_init();
// Stops (and joins) the monitor and probe threads.
void videostreamerctrl_uninit();

// Lists the port's formats, chooses one and starts capture: the result of hdmiin_uvc_video_init, or -1
// for a bad port.
int uvcin_video_plugin(int port);

// A copy of a capture record's format block (kind 1 UVC index 0 or 1, kind 0 HDMI-in index 0): 1, or 0 for
// a bad kind or index.
int videostreamerctrl_get_input_format(int kind, int index, VideoFormatBlock* out);
// Writes a UVC port's format block: 1, or 0 for another kind or a bad index.
int videostreamerctrl_set_input_format(int kind, int index, const VideoFormatBlock& format);

// True when "/proc/asound/cards" names a DJI Pocket 3.
bool pocket3_attached();

// What the monitor remembers per port between passes.
struct UvcMonitorState {
    uint8_t plugged_last[kUvcPortCount];
    VideoFormatBlock snapshot[kUvcPortCount];
};
// One monitor pass for one port.
void hdmiin_uvc_video_monitor_step(UvcMonitorState* state, int port);
