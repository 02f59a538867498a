// The media workers that tie the subsystems together: the start of the media side (start_media_tasks), the
// audio encode thread, the USB camera supervision thread with its port-list push, and the RTSP restart
// watchdog with the camera frame watch.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct aacenc_ctx;

// Bytes of PCM one AAC frame takes: 1024 stereo 16-bit samples.
constexpr int kAacFramePcmBytes = 4096;
constexpr int64_t kAudioStartPauseMs = 1000;
// Camera supervision.
constexpr int64_t kUvcStartPauseMs = 1000;
constexpr int64_t kUvcAfterInitPauseMs = 2000;
constexpr int64_t kUvcPeriodMs = 1000;
// Watchdog: the frame-watch tick, the restart check, and the ticks without a camera frame that count as a
// stalled camera (more than 18 s).
constexpr int kWatchdogTickMs = 100;
constexpr int64_t kWatchdogCheckMs = 2000;
constexpr int kUvcStallTicks = 180;

// Starts the media side in its fixed order (2D engine, NDI receive side and preview rings, "ip1" input,
// RTMP server, camera thread, audio thread, encoder, RTSP server thread, watchdog).
void start_media_tasks();

// ---- audio encode thread ----
enum class AudioStep { NoSource, Absent, Cleared, Encoded, Waiting };
struct AudioEncodeState {
    aacenc_ctx* encoder = nullptr;
    bool clear_pending = true;
    std::vector<uint8_t> pcm = std::vector<uint8_t>(kAacFramePcmBytes);
    std::vector<uint8_t> aac;
    int aac_size = 0;  // bytes of the last AAC frame in aac, handed to the outputs
};
// Sets up the encoder and the audio system, then puts the stored input on air.
void audio_encode_start(AudioEncodeState* state);
// One pass of the loop (without its pause).
AudioStep audio_encode_step(AudioEncodeState* state);
// The on-air input for a stored user_signal: 0 and 1 as they are, anything else "ip1" (2).
int initial_input_for(int user_signal);
void* audio_encode_main(void* arg);

// ---- camera supervision thread ----
struct UvcRunState {
    bool waiting = true;
    int port = 0;
};
// What one pass needs of the camera side; empty members fall back to the real calls.
struct UvcRunHooks {
    std::function<int(int port)> is_plugged;
    // The port's current capture format: true with width, height and rate while it is known.
    std::function<bool(int port, int* width, int* height, int* fps)> camera_format;
    std::function<void(const std::string& json)> push_port_info;
    std::function<bool()> show_black;
};
// One second of the thread: the no-input screen's per-boot flag, then plug / unplug of the camera.
void uvc_run_step(UvcRunState* state, const UvcRunHooks& hooks = UvcRunHooks());
// {"PortInfo":[camera entry, NDI entry]} for the push: the camera's "WxH@F" while plugged (else ""), the NDI
// source's while its receive decodes.
std::string port_info_push_json(const std::string& camera_resolution);
void* INIT_UVC_Run_Thread(void* arg);

// ---- RTSP restart watchdog ----
// The 100 ms tick: counts ticks while a camera is connected; past kUvcStallTicks the camera is marked
// stalled (the capture side restarts it) and counts as disconnected.
void medio_error_timer_tick();
void* task_run_medio_error(void* arg);
