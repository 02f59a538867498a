// Which input is on air, and the process-wide flags and counters of the frame paths that follow it. Every
// frame path reads the on-air input to decide whether it feeds the encoder, the HDMI output and the audio
// mix (on air) or only its preview link. The values are shared between threads without a lock, so each is
// an atomic used with relaxed order.
#pragma once

#include <atomic>
#include <cstdint>

// On-air inputs; any other value puts no input on air.
constexpr int kInputCamera = 0;
constexpr int kInputNdi = 1;
constexpr int kInputIp1 = 2;

// Audio channels the audio route is switched to with the input.
constexpr int kAudioSourceCamera = 3;
constexpr int kAudioSourceNetwork = 4;

extern std::atomic<int> active_source;
// 1 while a USB camera is plugged in and delivering pictures.
extern std::atomic<uint8_t> uvc_connect_flag;
// UVC frame watch: reset to 0 by every camera frame, counted up by the 100 ms watchdog tick.
extern std::atomic<int> uvc_frame_watch_ticks;

// Preview counters of the frame paths (a preview every 10th frame) and the camera path's pending-frame
// byte; selecting an input resets its own.
extern std::atomic<int> uvc_preview_counter;
extern std::atomic<uint8_t> uvc_frame_pending;
extern std::atomic<int> ndi_preview_count;
extern std::atomic<int> ip1_preview_count;

// How many more times the on-air display paths and the no-input screen may draw the "ETH:" address over
// the HDMI picture in this boot; each drawing takes one. Starts at 1200.
extern std::atomic<int> address_overlay_budget;

// The audio subsystem's route switch (audio_ctrl_set_source). Until one is installed, selecting an input
// switches no audio; nullptr removes it again.
using AudioSourceFunction = void (*)(int source);
void set_audio_source_function(AudioSourceFunction fn);

// Puts input on air: 0 switches the audio to the camera (3) and resets the camera path's preview counter
// to 1 and its pending frame; 1 and 2 switch the audio to the network (4) and reset the NDI or "ip1"
// preview counter to 1; any other value switches and resets nothing. The value is stored in every case.
void set_active_source(int input);
int get_active_source();
