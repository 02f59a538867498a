// NDI_Dev: one NDI sender or receiver. As a sender it pulls video and audio frames from two caller callbacks on
// two threads of its own and sends them uncompressed or as compressed packets, in any video mode of its table.
// As a receiver it connects to a named source through a frame synchroniser and keeps the frames it captures in
// two small rings (5 video, 10 audio) from which one consumer takes them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ndi_lib.h"

enum NdiDevRole : int32_t { kNdiDevSender = 0, kNdiDevReceiver = 1, kNdiDevNoRole = 2 };

// Video modes 0 to 17; 11 to 17 are compressed, their FourCC upper case for high and lower case for low
// bandwidth. 18 stands for an unknown mode.
constexpr int kNdiDevModeMax = 17;
constexpr int kNdiDevModeUnknown = 18;
constexpr int kNdiDevModeH264 = 14;
constexpr uint32_t kNdiDevUnknownFourCC = 0x7FFFFFFF;

constexpr size_t kNdiDevNameSize = 128;
constexpr size_t kNdiDevPathSize = 128;
constexpr const char* kNdiDevDefaultName = "NDI Default";
constexpr int kNdiDevVideoRingSize = 5;
constexpr int kNdiDevAudioRingSize = 10;
// What the receiver asks the frame synchroniser for, and how often.
constexpr int kNdiDevRecvAudioRate = 44100;
constexpr int kNdiDevRecvAudioChannels = 2;
constexpr int kNdiDevRecvAudioSamples = 1024;
constexpr int kNdiDevRecvAudioGapMs = 16;
constexpr double kNdiDevFirstIntervalMs = 33.0;
// The sender waits this long before it destroys its instance, so the last frames leave.
constexpr int kNdiDevSendDrainMs = 500;
// Address advertised in the capabilities metadata of a sender.
constexpr const char* kNdiDevWebControlAddress = "http://www.corvane.com/";

// The FourCC sent in a mode (kNdiDevUnknownFourCC for other modes).
uint32_t ndi_dev_mode_fourcc(int mode, bool high_bandwidth);
// The mode's text, in a 64-byte buffer of the calling thread that the next call overwrites; "unknow" for
// other modes.
const char* ndi_dev_mode_text(int mode, bool high_bandwidth);
// The mode of a FourCC (kNdiDevModeUnknown when none), with its bandwidth flag (1 upper case, 0 lower case).
int ndi_dev_mode_of_fourcc(uint32_t fourcc, bool* high_bandwidth);
// Line stride of an uncompressed picture in the mode: width x 2 (0, 1), width x 4 (2, 3, 7 to 10), else 0.
int ndi_dev_line_stride(int mode, int width);
// The SDK receive colour format of a colour choice (1 to 5); 0x7FFFFFFF for other choices.
int ndi_dev_recv_color_format(int choice);
// Bytes of a whole uncompressed picture of that FourCC (every plane); a stride of 0 means the natural one.
// 0 for compressed or unknown FourCCs and for sizes of 0 or less.
size_t ndi_dev_picture_bytes(uint32_t fourcc, int width, int height, int stride);
// Offset of the first 00 00 00 01 followed by an H.264 parameter-set or slice header byte (67 68 65 61 47 48
// 45 41 27 28 25 21); 0 when there is none.
int ndi_dev_h264_cut(const uint8_t* data, size_t size);

// What both pull callbacks fill. Timestamps are milliseconds: the first is the frame's timecode and the packet
// header's decoding timestamp, the second its presentation timestamp.
struct NdiDevRequestHead {
    uint8_t* data;
    uint32_t data_capacity;
    uint8_t* extra;
    uint32_t extra_capacity;
    int64_t timestamp_ms;
    int64_t pts_ms;
    uint32_t data_length;
    uint32_t extra_length;
    bool key;
};

// One video frame the video pull callback fills.
struct NdiDevVideoRequest : NdiDevRequestHead {
    int32_t width;
    int32_t height;
    double frame_rate;  // 0 keeps the rate in use
};

struct NdiDevAudioRequest : NdiDevRequestHead {
    int32_t sample_rate;
};

// A callback returns a positive value when it filled the request, otherwise 0. They run on the device's send
// threads.
using NdiDevVideoPull = int (*)(NdiDevVideoRequest* request);
using NdiDevAudioPull = int (*)(NdiDevAudioRequest* request);

struct NdiDevSendSettings {
    char name[kNdiDevNameSize];
    int32_t mode;
    bool metadata;
    bool high_bandwidth;
    bool clock_video;
    bool clock_audio;
    int32_t width;
    int32_t height;
    double frame_rate;
    int32_t sample_rate;
    int32_t channels;
    int32_t samples_per_frame;
    NdiDevVideoPull video_pull;
    NdiDevAudioPull audio_pull;
};

struct NdiDevRecvSettings {
    int32_t color;  // 1 to 5
    bool low_bandwidth;
};

// A received video frame as the consumer sees it: data points behind the cut, length counts from there.
struct NdiDevVideoInfo {
    const uint8_t* data = nullptr;
    int32_t mode = kNdiDevModeUnknown;
    int32_t width = 0;
    int32_t height = 0;
    int32_t stride = 0;  // line stride of an uncompressed picture
    double frame_rate = 0.0;
    int32_t length = 0;
    int32_t cut = 0;  // bytes in front of the first H.264 start code (mode 14) left out
    int64_t timestamp = 0;
    int64_t timecode = 0;
    uint32_t fourcc = 0;
    int32_t frame_rate_n = 0;
    int32_t frame_rate_d = 0;
    float aspect = 0.0f;
    int32_t format_type = 0;
    int32_t data_size = 0;  // the frame's whole size, cut included
    const char* metadata = nullptr;
};

struct NdiDevVideoRecord : NdiDevVideoInfo {
    std::atomic<bool> full{false};
    uint8_t reserved[15] = {};
};
static_assert(sizeof(NdiDevVideoRecord) == 104, "a video record is 104 bytes");

// A received audio block: planar float, channel stride bytes apart.
struct NdiDevAudioInfo {
    const float* data = nullptr;
    int32_t sample_rate = 0;
    int32_t channels = 0;
    int32_t samples = 0;
    int32_t stride = 0;
    int64_t timecode = 0;
    int64_t timestamp = 0;
    uint32_t fourcc = 0;
    int32_t reserved0 = 0;
    const char* metadata = nullptr;
};

struct NdiDevAudioRecord : NdiDevAudioInfo {
    std::atomic<bool> full{false};
    uint8_t reserved[31] = {};
};
static_assert(sizeof(NdiDevAudioRecord) == 88, "an audio record is 88 bytes");

// One found source: its name in bytes 0 to 127, its address in bytes 128 to 191 (both NUL-terminated).
struct NdiDevSourceEntry {
    char name[128];
    char address[64];
};
static_assert(sizeof(NdiDevSourceEntry) == 192, "a source entry is 192 bytes");

class NDI_Dev {
public:
    NDI_Dev();
    ~NDI_Dev();
    NDI_Dev(const NDI_Dev&) = delete;
    NDI_Dev& operator=(const NDI_Dev&) = delete;

    // Reads the profile and takes the role's settings (send for role 0, receive for role 1, each optional
    // where the role does not need it). 1 when ready, 0 otherwise.
    int Init(int role, const NdiDevSendSettings* send, const char* profile_path, const NdiDevRecvSettings* recv);
    // Sender: creates the sender and starts the send threads (frame_limit video frames, 0 = no limit).
    // Receiver: connects to the first found source whose name contains source_name. 1 working, 0 or -1 not.
    int Start(int frame_limit, const char* source_name);
    // Receiver only: waits up to timeout_ms (1000 when 0) for a change of the found sources and writes up to
    // capacity entries. The number written, or -1.
    int FindSources(int timeout_ms, NdiDevSourceEntry* out, int capacity);
    // Ends the threads and releases the SDK objects.
    void Stop();

    // The oldest full record, polling wait x 10 times 100 us for it; null when none.
    NdiDevVideoRecord* TakeVideo(int wait);
    NdiDevAudioRecord* TakeAudio(int wait);
    // Frees the oldest record's frame and makes its slot free again.
    void ReleaseVideo();
    void ReleaseAudio();

    int role() const { return role_; }
    bool ready() const { return ready_; }
    bool working() const { return working_.load(std::memory_order_relaxed); }
    int frame_limit() const { return frame_limit_.load(std::memory_order_relaxed); }
    const char* profile_text() const { return profile_text_.get(); }
    const char* source_name() const { return source_name_; }
    const char* name() const { return name_; }
    // The SDK receiver while the receiver works (null otherwise), for inspection.
    NDIlib_recv_instance_t receiver_instance() const { return recv_; }
    // 0 for an empty name or one that does not fit the 128-byte field.
    int set_name(const char* name);

private:
    void video_send_thread();
    void audio_send_thread();
    void video_recv_thread();
    void audio_recv_thread();
    int start_sender();
    int start_receiver(const char* source_name);
    void release_sdk();

    int32_t role_ = kNdiDevNoRole;
    bool ready_ = false;
    std::atomic<bool> working_{false};
    char profile_path_[kNdiDevPathSize] = {};
    std::unique_ptr<char[]> profile_text_;
    bool bandwidth_flag_ = false;  // sender: high bandwidth; receiver: low bandwidth
    char name_[kNdiDevNameSize] = {};
    std::atomic<int32_t> frame_limit_{0};
    int32_t mode_ = 0;
    bool video_compressed_ = false;
    int32_t width_ = 0;
    int32_t height_ = 0;
    int32_t rate_n_ = 0;
    int32_t rate_d_ = 1;
    int32_t aspect_n_ = 0;
    int32_t aspect_d_ = 1;
    bool audio_compressed_ = false;
    int32_t sample_rate_ = 0;
    int32_t channels_ = 0;
    int32_t samples_per_frame_ = 0;
    bool has_video_ = false;
    bool has_audio_ = false;
    NDIlib_send_instance_t send_ = nullptr;
    NdiDevVideoPull video_pull_ = nullptr;
    NdiDevAudioPull audio_pull_ = nullptr;
    char source_name_[kNdiDevNameSize] = {};
    int32_t color_ = 1;
    std::unique_ptr<NDIlib_video_frame_v2_t[]> video_frames_;
    std::unique_ptr<NdiDevVideoRecord[]> video_records_;
    std::unique_ptr<NDIlib_audio_frame_v3_t[]> audio_frames_;
    std::unique_ptr<NdiDevAudioRecord[]> audio_records_;
    NDIlib_framesync_instance_t framesync_ = nullptr;
    std::mutex video_mutex_;
    std::mutex audio_mutex_;
    std::thread video_thread_;
    std::thread audio_thread_;
    bool metadata_ = false;
    bool clock_video_ = true;
    bool clock_audio_ = true;
    uint32_t source_count_ = 0;
    const NDIlib_source_t* sources_ = nullptr;
    NDIlib_recv_instance_t recv_ = nullptr;
    NDIlib_find_instance_t finder_ = nullptr;
    bool sdk_initialized_ = false;
    uint8_t video_write_ = 0;
    uint8_t audio_write_ = 0;
    uint8_t video_read_ = 0;
    uint8_t audio_read_ = 0;
};
