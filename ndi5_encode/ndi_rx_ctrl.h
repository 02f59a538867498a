// Receive control of one NDI source, chosen by its exact name: a connect thread finds the source and owns
// the NDI receiver and its frame synchroniser; a video thread and an audio thread pull frames from the
// synchroniser at paced intervals and hand them to two callbacks: compressed access units (H.264 or H.265,
// starting at their first start code) and 4096-byte blocks of 48000 Hz stereo signed 16-bit PCM.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "ndi_find_sources.h"
#include "ndi_lib.h"

// (bytes, byte count, width, height, always null, FourCC); called on the video thread.
using NdiRxVideoCallback = void (*)(const uint8_t* bytes, int count, int width, int height, void* user,
                                    uint32_t fourcc);
// (bytes, byte count, always null, FourCC); called on the audio thread.
using NdiRxAudioCallback = void (*)(const uint8_t* bytes, int count, void* user, uint32_t fourcc);

// The search: up to this many waits for a change of the source list, each this long.
constexpr int kNdiRxSearchPasses = 3;
constexpr uint32_t kNdiRxSearchWaitMs = 3000;
// Frame interval before the source's rate is known.
constexpr int kNdiRxDefaultIntervalMs = 33;
// Audio blocks: samples per channel at 48000 Hz, stereo; the delivered S16 block is 4096 bytes.
constexpr int kNdiRxAudioSamples = 1024;
constexpr int kNdiRxAudioRate = 48000;
constexpr int kNdiRxAudioChannels = 2;
constexpr int kNdiRxAudioBlockBytes = kNdiRxAudioSamples * kNdiRxAudioChannels * 2;
// Largest uncompressed frame handed on whole (an 8K picture of 4 bytes per pixel).
constexpr int64_t kNdiRxMaxRawFrameBytes = int64_t{7680} * 4320 * 4;

struct NdiRxCtrl {
    char wanted_name[1024] = {};
    // The source found; fourcc, xres, yres and frame_rate then follow the received frames.
    NdiSourceInfo source = {};
    NDIlib_framesync_instance_t framesync = nullptr;
    std::atomic<uint8_t> g_ndi_rx_ctrl_process_flag{0};
    std::thread connect_thread;
    std::thread video_thread;
    std::thread audio_thread;
    std::string object_name;
    uint8_t low_bandwidth = 0;
    std::atomic<NdiRxVideoCallback> video_callback{nullptr};
    std::atomic<NdiRxAudioCallback> audio_callback{nullptr};

    // The source record is written by the connect and video threads and read by the getters.
    std::mutex source_mutex;
    // Connect and disconnect may come from different threads (control channel, NDI pull thread).
    std::mutex control_mutex;
};

// Process flag clear, object name empty, low-bandwidth flag 0.
void ndi_rx_ctrl_init(NdiRxCtrl* ctrl);
// 1 when the name is in the discovered source table and the connect thread was started (after a
// disconnect of the running connection), 0 otherwise.
int ndi_rx_ctrl_connect_source(NdiRxCtrl* ctrl, const char* name);
// Clears the process flag and returns once every thread of the connection has ended and the receiver is
// destroyed: 1, or 0 when nothing was running.
int ndi_rx_ctrl_disconnect_source(NdiRxCtrl* ctrl);
void ndi_rx_ctrl_get_video_size(NdiRxCtrl* ctrl, int* width, int* height);
// The received frame rate, truncated to a whole number.
int ndi_rx_ctrl_get_fps(NdiRxCtrl* ctrl);
uint8_t ndi_rx_ctrl_get_process_flag(NdiRxCtrl* ctrl);

// Offset of the first start code of at least three zero bytes and 0x01 followed by a byte of the codec's
// NAL header table: the position of the first of the last three zeros; 0 when there is none.
int ndi_rx_ctrl_find_h264_start(const uint8_t* bytes, int count);
int ndi_rx_ctrl_find_hevc_start(const uint8_t* bytes, int count);
bool ndi_rx_ctrl_is_h264_nal(uint8_t byte);
bool ndi_rx_ctrl_is_hevc_nal(uint8_t byte);

// Where the access unit lies in a received compressed frame (44-byte packet header, the data, then any
// extra data): the header is checked against the frame, and the start-code search runs over the data only,
// never over the header. true with *offset (from the frame's first byte) and *length; false for a frame
// whose header does not describe it.
bool ndi_rx_ctrl_locate_access_unit(const uint8_t* frame, int size, uint32_t fourcc, int* offset, int* length);

// Frame interval in milliseconds for a frame rate of numerator / denominator: 1000 / rate truncated, held
// between 1 and 255; the previous interval when the rate is not positive.
uint8_t ndi_rx_ctrl_frame_interval(int rate_n, int rate_d, uint8_t previous);
