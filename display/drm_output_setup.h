// How the HDMI output picks what to drive: the connector (the board's HDMI connector when it exists, else
// the first connected one with modes), the mode (3840x2160 at 60 Hz when offered, else 1920x1080 at 60 Hz,
// else none: the set-up fails and is tried again), and the CRTC (the one the connector's encoder drives,
// else the first its encoder may drive).
#pragma once

#include <cstdint>
#include <vector>

#include "drm_io.h"

constexpr const char* kDrmDevicePath = "/dev/dri/card0";
// Output frame buffers, and how many of them are never handed to a producer: the one on screen and the one
// whose flip is pending.
constexpr int kOutputBufferCount = 36;
constexpr int kOutputBuffersInUse = 2;
// The ids of the board's HDMI connector, encoder and CRTC, used when the device has them.
constexpr uint32_t kBoardConnectorId = 78;
constexpr uint32_t kBoardEncoderId = 77;
constexpr uint32_t kBoardCrtcId = 64;
constexpr uint32_t kOutputRefreshHz = 60;

struct DrmOutputChoice {
    uint32_t connector_id = 0;
    uint32_t encoder_id = 0;
    uint32_t crtc_id = 0;
    int mode_index = -1;
    drmModeModeInfo mode {};
    bool is_4k = false;
};

// Index of the output mode in modes: the first 3840x2160 at 60 Hz, else the first 1920x1080 at 60 Hz, else -1.
int drm_choose_output_mode(const std::vector<drmModeModeInfo>& modes);

// Fills choice from the device: 0, or -1 (with a log line when report is set) when there is no connector
// with a usable mode or no CRTC.
int drm_choose_output(DrmIo& io, int fd, DrmOutputChoice* choice, bool report);

// Sets the connector's "hdmi_output_format" property to 1 (when it has one) and prints its properties.
void drm_set_hdmi_output_format(DrmIo& io, int fd, uint32_t connector_id);
