// The process-wide state of the network-stream input "ip1", shared by its threads: the supervisor, the
// pull client's reader (which runs the packet callbacks), the pace tick, the video decode thread, the
// decoder's worker (decoded-frame callback), the buffer thread, the audio thread and the reconnect thread.
// Flags and counters are atomics used with relaxed order; the address is kept under a lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "copy_buffer.h"
#include "rtmp_rtsp_client.h"
#include "safe_queue.h"

// Queue limit (packets).
constexpr int32_t kIp1QueueMaxItems = 250;
// Pace tick: one video packet may leave the queue per tick while the input runs live.
constexpr uint32_t kIp1PaceTickMs = 16;
// Live start and live running: a video packet whose media time is more than this behind the newest packet
// queued is stale (it was buffered while the stream was probed, or the pictures fell behind). Stale packets
// are skipped up to the newest queued key frame, decoded without waiting for the tick, and their pictures
// are not put on air, so the first picture on air is live and the delay never shrinks by fast-forwarding.
constexpr int64_t kIp1LiveSlackMs = 150;
// Supervision: a tick of 100 ms; more than 300 ticks without a video packet taken from the queue
// reconnects.
constexpr int64_t kIp1SuperviseTickMs = 100;
constexpr int32_t kIp1StallTicks = 300;
// Waits before a new open: after a failed open, after a stalled stream, and the reconnect thread's pause.
constexpr int64_t kIp1OpenRetryMs = 30000;
constexpr int64_t kIp1ReconnectMs = 5000;
constexpr int64_t kIp1RestartSettleMs = 100;
// The reconnect waits go in steps of this many ms, so a stop cancels them at once.
constexpr int64_t kIp1WaitStepMs = 10;
// An open that follows a stop waits this long at most for the stopped supervisor to finish.
constexpr int64_t kIp1OpenAfterStopWaitMs = 5000;
// The audio thread's PCM buffer.
constexpr int kIp1PcmBufferBytes = 102400;
// The frame rate every packet after the first is handed to the decoder with.
constexpr int kIp1PushFps = 60;
// Time of a packet without a presentation timestamp: never compared.
constexpr uint64_t kIp1NoTime = UINT64_MAX;
// Media time of a packet without timestamps (never compared), and of no audio floor.
constexpr int64_t kIp1NoMediaMs = INT64_MIN;

// One queued packet: a heap copy of the client's bytes.
struct ip1_packet_item {
    uint8_t* bytes;
    int32_t type;  // 0 video, 1 audio
    int32_t size;
    uint64_t time;  // presentation time in whole seconds, kIp1NoTime when unknown
    bool h265;
    int64_t media_ms;  // decoding (else presentation) time in ms, kIp1NoMediaMs when unknown
    uint64_t seq;      // video: order of arrival (from 1)
    bool key;          // video: begins with the parameter sets of a key frame (SPS or VPS)
};
void ip1_video_item_free(void** item);
void ip1_audio_item_free(void** item);

extern std::atomic<bool> rtsp_rtmp_pull_ip1_working;
extern std::atomic<uint8_t> rtmp_rtsp_ip1_buffer_flag;  // 0 RTSP mode, 1 RTMP mode
extern std::atomic<int32_t> m_ip1_pull_reconnect_count;
extern std::atomic<bool> m_ip1_pull_buffer_error;
extern std::atomic<bool> ip1_video_started;
extern std::atomic<bool> ip1_release_packet;
extern std::atomic<bool> ip1_supervisor_running;
extern std::atomic<uint64_t> ip1_last_video_time;
extern std::atomic<uint64_t> ip1_last_audio_time;
extern std::atomic<int32_t> ip1_width;
extern std::atomic<int32_t> ip1_height;
// Rate and channels of the last PCM the audio thread decoded (0 before).
extern std::atomic<int32_t> ip1_audio_rate;
extern std::atomic<int32_t> ip1_audio_channels;
// Counts the stops; a supervisor, its waits and its reconnect belong to one value and end when it moves.
extern std::atomic<uint32_t> ip1_stop_generation;

// The live edge, written by the video packet callback as it queues: the newest packet's sequence and media
// time, and the newest queued key frame's sequence (0 none).
extern std::atomic<uint64_t> ip1_edge_seq;
extern std::atomic<int64_t> ip1_edge_media_ms;
extern std::atomic<uint64_t> ip1_newest_key_seq;
// Written by the video decode thread: sound older than this media time belongs to pictures that were not
// put on air and is dropped (kIp1NoMediaMs: none); the audio thread takes nothing before the first video
// packet has been taken.
extern std::atomic<int64_t> ip1_audio_floor_ms;
extern std::atomic<bool> ip1_video_taken;
// Pictures of stale packets are not put on air: decoded pictures are counted from the decoder's start, and
// those numbered below ip1_hide_until are held back.
extern std::atomic<uint64_t> ip1_pictures_out;
extern std::atomic<uint64_t> ip1_hide_until;
// Counts: packets skipped to reach a newer key frame, and stale pictures held back (since the process start).
extern std::atomic<uint64_t> ip1_skipped_packets;
extern std::atomic<uint64_t> ip1_hidden_pictures;

// True when a video packet begins (behind a 3- or 4-byte start code) with an H.264 SPS or an H.265 VPS.
bool ip1_is_key_packet(const uint8_t* data, int32_t size, bool h265);
// Stale: more than kIp1LiveSlackMs behind the edge (never when either time is unknown).
bool ip1_is_stale(int64_t media_ms, int64_t edge_media_ms);

extern SafeQueue ip1_video_queue;
extern SafeQueue ip1_audio_queue;

// Made by corvane_rtsp_rtmp_pull_ip1_init (null before).
extern std::atomic<RtmpRtspClient*> ffmpeg_tool_ip1;
extern std::atomic<copy_buffer*> ip1_nv12_buffer;
// The web-preview ring "ip1_vedio_to_web" (null before ip1_to_web_start).
extern std::atomic<copy_buffer*> ip1_vedio_to_web;

// The address being pulled (copy).
std::string ip1_url();

// Starts a detached thread counted by ip1_threads_running; false (with a log line) when it cannot start.
bool ip1_start_thread(void* (*entry)(void*), void* arg, const char* name);
// Threads of the input that have not ended yet (supervisors, reconnects, decode, buffer, audio).
int ip1_threads_running();
// Waits until no thread of the input runs; false after timeout_ms.
bool ip1_wait_threads_idle(int64_t timeout_ms);

// Waits ms through the pause seam in short steps; false as soon as a stop has moved the generation away
// from generation.
bool ip1_wait_unless_stopped(int64_t ms, uint32_t generation);

// Called by the decode and audio threads as they end, so the supervisor knows the decoder, the picture
// ring and the audio decoder are released before a new supervisor may make them again.
void ip1_media_thread_done();

// Threads and callbacks.
void* corvane_rtsp_rtmp_pull_ip1_start(void* arg);
void* task_ffmpeg_ip1_restart(void* arg);
void* task_audio_ip1_run_pull(void* arg);
void* task_vedio_ip1_run_pull(void* arg);
void* ip1_nv12_buffer_run_pull(void* arg);
void ip1_decoded_frame_callback(uint8_t* bytes, int size, int hor_stride, int ver_stride, uint32_t format);
void ip1_video_packet_callback(const uint8_t* data, int32_t size, int64_t dts, int64_t pts, int32_t fps, bool h265);
void ip1_audio_packet_callback(const uint8_t* data, int32_t size, int64_t dts, int64_t pts);
void ip1_pace_tick();
// True for the first video packet that may start the stream: a slice or parameter set behind a 4-byte
// start code (or the same NAL header behind a 3-byte one).
bool ip1_accepts_first_packet(const uint8_t* data, int32_t size);
