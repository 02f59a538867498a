// The HDMI-in receiver: a probe thread that asks the receiver every 200 ms what it gets (DV timings, the
// pixel format and the receiver's private input-mode word) and keeps the answer in the HDMI-in record; the
// plug-in step that starts the HDMI-in capture device with that mode (its frame callback,
// hdmiin_frame_callback, is the capture control's); and a debugging helper that appends raw frames to a
// file. Every call on the node goes through the V4L2 seam.
#pragma once

#include <atomic>
#include <cstdint>

#include "input_video_dev.h"

// The receiver's private read request: its input-mode word (type 'V', number 200, one int).
constexpr unsigned long kHdmirxInputModeRequest = 0x800456c8;
// Period of the probe thread, and its pause after the receiver reported no timings.
constexpr int kHdmirxProbePeriodMs = 200;
constexpr int kHdmirxNoSignalPauseMs = 1000;
// Largest source the capture takes while the input-mode word is 1.
constexpr int kHdmirxMode1MaxWidth = 3840;
constexpr int kHdmirxMode1MaxHeight = 2160;
// The receiver's node.
constexpr const char* kHdmirxDevPath = "/dev/video0";
constexpr int kHdmirxNameSize = 16;

// The mode a probe found: pixel format, size, whole frame rate, interlaced flag and the rate as measured
// after rounding (59.94 stays fractional on receivers other than HDMI-in 0).
struct HdmirxFormatEntry {
    uint32_t fourcc;
    uint32_t width;
    uint32_t height;
    uint32_t fps;
    uint8_t interlaced;
    float fractional_fps;
};

// The HDMI-in record filled by the probe.
struct HdmirxVideoMsg {
    int32_t port;
    char name[kHdmirxNameSize];  // "hdmirx<port>"
    uint8_t plug;                // 1 once a mode was found; 0 again when the receiver reports no timings
    HdmirxFormatEntry format;
};

// The record, read as one copy under its lock.
HdmirxVideoMsg hdmirx_video_msg();
// The last input-mode word the receiver gave: the two bytes that remember whether it was 0 or 1.
bool hdmirx_input_mode_is_0();
bool hdmirx_input_mode_is_1();

// The rate of DV timings: pixel clock / total (the interlaced total counts one field), doubled for NV12
// (the receiver reports half the pixel clock for 4:2:0), then rounded as the receiver's index asks.
struct HdmirxRate {
    bool interlaced;
    double rate;   // before rounding
    float rounded;
};
HdmirxRate hdmirx_timing_rate(const struct v4l2_bt_timings& bt, uint32_t fourcc, int index);

// One probe of receiver index: 1 when the record now holds a confirmed mode, 0 otherwise (no node, no
// timings, or a new mode seen for the first time: a mode is taken when two probes in a row agree).
int hdmirx_probe_once(int index);

// Clears the record and the remembered mode.
void hdmirx_video_probe_clear();
// Starts the probe thread (clears the record, makes HDMI-in 0 a multi-planar device at "/dev/video0");
// 1 started, 0 already running or not started. Stop joins it.
int hdmirx_video_probe_start();
void hdmirx_video_probe_stop();
bool hdmirx_video_probe_running();

// Copies the probed mode into the HDMI-in capture device and sets it up (hdmiin_uvc_video_init): its
// result, or -1 when nothing is plugged or the source is refused (wider than 3840 or taller than 2160 while
// the input-mode word is 1).
int hdmirx_video_plugin(int index);

// Appends a frame to "/system/bin/test5.yuv" (under the fixed-path root), created empty at its first use
// in the process.
void save1FrameRawData(const uint8_t* bytes, int length);
