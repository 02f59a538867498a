// The NDI|HX sender: publishes the encoded programme (H.264 access units from the encoder, raw AAC-LC frames
// from the audio encoder) as a compressed NDI source, without decoding anything. Frames are queued in two
// 120-frame lists and sent by a video thread (asynchronous scatter sends from two alternating slots) and an
// audio thread (synchronous scatter sends). Timestamps are milliseconds since the video thread started.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "frame_list.h"
#include "ndi_lib.h"

constexpr uint16_t kNdiHxListCapacity = 120;
constexpr size_t kNdiHxVideoDataSize = 10485760;
constexpr size_t kNdiHxVideoExtraSize = 10240;
constexpr size_t kNdiHxAudioDataSize = 51200;
constexpr size_t kNdiHxAudioExtraSize = 36;
constexpr int kNdiHxRestartPauseMs = 3000;
constexpr int kNdiHxRestartSettleMs = 100;
constexpr size_t kNdiHxNameSize = 126;

struct NdiHxSendContext {
    char name[kNdiHxNameSize];
    // Read by the producers' size check while a restart may be writing them.
    std::atomic<uint16_t> width{0};
    std::atomic<uint16_t> height{0};
    float fps;  // stored; the frame rate sent is fixed at 30/1
    int32_t reserved;
    int32_t sample_rate;
    int32_t channels;
    int32_t samples_per_frame;
    std::thread thread;
    std::atomic<uint8_t> working{0};
    std::atomic<uint8_t> started{0};
    FrameList video_list;
    FrameList audio_list;
};

void ndi_hx_send_start(const char* name, uint16_t width, uint16_t height, int32_t reserved, int32_t channels,
                       int32_t sample_rate, int32_t samples_per_frame, float fps);
// Stops sending and waits for the send threads; a start still setting up is cancelled. Returns 1 when a
// working sender was stopped, 0 otherwise.
int ndi_hx_send_stop();
uint8_t ndi_hx_send_is_working();
// Queues a copy of one encoded access unit. A frame whose width and height both differ from the started size
// is dropped and restarts the sender once (until that restart has finished).
void ndi_hx_send_push_video(const uint8_t* data, uint32_t size, int32_t width, int32_t height, void* user);
// Queues a copy of one raw AAC frame.
void ndi_hx_send_push_audio(const uint8_t* data, uint32_t size);
// CLOCK_MONOTONIC in milliseconds.
int64_t ndi_hx_clock_ms();
// Greatest common divisor; 1 when either is 0 or less.
int ndi_hx_gcd(int a, int b);

uint8_t ndi_hx_restart_allowed();
uint8_t ndi_hx_audio_started();
void ndi_hx_clear_audio_started();

// What the restart runs after its pause to start the sender again (task_mThread_ndi6 in the appliance).
// Without one, the sender is started again with the settings of its last start; nullptr restores that.
using NdiHxStartFunction = void (*)();
void set_ndi_hx_restart_start_function(NdiHxStartFunction fn);

// The scatter list of one compressed frame: the packet header, the data, the extra data when there is any, then
// the null terminator. blocks and sizes hold the list; they must outlive the send call.
NDIlib_frame_scatter_t ndi_hx_build_scatter(const NDIlib_compressed_packet_t* header, const uint8_t* data,
                                            uint32_t data_size, const uint8_t* extra, uint32_t extra_size,
                                            std::vector<const uint8_t*>* blocks, std::vector<int>* sizes);
