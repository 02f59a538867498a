// The supervision loop of the main thread: once a second it follows the HDMI connector (starting the output
// when a monitor appears, stopping it when it goes) and, while no input delivers pictures, shows the no-input
// screen (black, with "ETH:" and the device address while the address budget lasts).
#pragma once

#include <cstdint>
#include <functional>

constexpr int64_t kSupervisionPeriodMs = 1000;
constexpr int64_t kHdmiSettleMs = 100;

struct SupervisionState {
    // 1 while waiting for a monitor to be connected, 0 while waiting for it to go away.
    bool hdmi_waiting = true;
};

// What one pass calls; empty members fall back to the real calls.
struct SupervisionHooks {
    std::function<int()> hdmi_connected;        // hdmiout_is_connect
    std::function<int()> display_state;        // ultra_hdmitx_display_get_state
    std::function<void()> display_init;
    std::function<void()> display_uninit;
    std::function<bool()> display_ready;       // ultra_hdmitx_display_is_ready
    std::function<int()> ndi_decoding;         // get_ndi_pull0_pictures_arriving
    std::function<int()> ip1_working;          // get_rtsp_rtmp_pull_ip1_working
    // Shows a picture the way every input does (hdmi_show_picture: convert, address text, commit).
    std::function<bool(const uint8_t* data, int width, int height, const char* fourcc)> show_picture;
};

// One pass (without the 1 s pause).
void supervise_once(SupervisionState* state, const SupervisionHooks& hooks = SupervisionHooks());

// The loop itself; never returns.
[[noreturn]] void run_supervision_loop();
