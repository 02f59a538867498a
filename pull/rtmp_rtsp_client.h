// The stream pull client: opens one network stream or media file (RTSP, RTMP, MP4, ...) with libavformat,
// reads it on a reader thread of its own, turns every video packet into Annex B form with FFmpeg's
// bitstream filters ("h264_mp4toannexb", or "hevc_mp4toannexb" once the stream has shown itself to be
// H.265), trims a leading access-unit delimiter, strips the ADTS header from audio packets and hands each
// packet to a callback. It estimates the frame rate, loops a file at its end and paces MP4 files to real
// time.
//
// No network call blocks for ever: every FFmpeg wait polls an interrupt callback that gives up once the
// client is told to stop, once the owner's cancel test says so, or when an open takes longer than
// kPullOpenTimeoutMs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

// Longest time an open (connect, handshake, stream probing) may take before it fails.
constexpr int64_t kPullOpenTimeoutMs = 15000;
// Consecutive H.265 filter failures tolerated; one more stops the reader.
constexpr int kPullMaxH265Failures = 60;
// Bytes of room the filtered-packet scratch copy keeps behind the data (FFmpeg's input padding and more).
constexpr size_t kPullScratchPadding = 64;

// What the video callback gets of a video packet after the filter: the bytes to hand on (a part of the
// packet, or nothing). Exposed for tests; the reader uses them on every packet.
struct PacketSpan {
    const uint8_t* data;
    int size;
};
// H.264: "00 00 00 01 09 xx" (an access-unit delimiter) loses 6 bytes, byte 4 equal to 0 loses 4 bytes,
// other packets go whole.
PacketSpan pull_trim_h264(const uint8_t* data, int size);
// H.265: a packet that begins with a 3- or 4-byte start code goes on; a leading access-unit delimiter
// (NAL type 35, first header byte 0x46) is cut off with its start code and its 3 bytes; others give
// size 0 (dropped).
PacketSpan pull_trim_h265(const uint8_t* data, int size);
// Audio: a packet with an ADTS header (0xFF 0xFx) loses the header, 7 bytes or 9 with a CRC; a packet no
// longer than its header gives size 0. Other packets go whole.
PacketSpan pull_strip_adts(const uint8_t* data, int size);
// The frame-rate estimate of a stream's average rate: the integer quotient rounded down to a multiple of 5,
// or 0 when the rate is not known.
uint32_t pull_fps_from_rate(int num, int den);

class RtmpRtspClient {
public:
    using VideoCallback =
        std::function<void(const uint8_t* data, int32_t size, int64_t dts, int64_t pts, int32_t fps, bool h265)>;
    using AudioCallback = std::function<void(const uint8_t* data, int32_t size, int64_t dts, int64_t pts)>;
    using EofCallback = std::function<void()>;
    // True when the owner wants the current open or read given up.
    using CancelTest = std::function<bool()>;

    // The registration flag of older FFmpeg releases is kept for the interface; this release needs no
    // registration.
    explicit RtmpRtspClient(bool registration);
    // Stops the reader (it does not wait for it).
    ~RtmpRtspClient();
    RtmpRtspClient(const RtmpRtspClient&) = delete;
    RtmpRtspClient& operator=(const RtmpRtspClient&) = delete;

    // Installed before Open; the reader calls them on its thread. They must not block for long.
    void SetCallbacks(VideoCallback video, AudioCallback audio, EofCallback eof);
    void SetCancelTest(CancelTest cancel);
    void SetName(const std::string& name);
    std::string Name();

    // 0: opened and the reader started; -1: the stream could not be opened (the owner calls
    // ffmpeg_init_free); -2: the client is still working or its previous reader has not yet released its
    // stream.
    int Open(const std::string& url);
    // Clears the working flag and interrupts a read in progress; the reader releases the stream.
    void ffmpeg_rtmp_rtsp_uninit();
    bool IsReading() const { return reading_.load(std::memory_order_acquire); }
    bool IsWorking() const { return working_.load(std::memory_order_relaxed); }
    uint32_t GetFps() const { return fps_.load(std::memory_order_relaxed); }
    bool IsH265() const { return h265_.load(std::memory_order_relaxed); }
    bool RtmpCategory() const { return rtmp_category_.load(std::memory_order_relaxed); }
    // The restart request: when it is set as the reader ends (a stop, or a stream the reader gave up on),
    // the stored URL is opened again on a restart thread. Each reader clears it as it starts, so a request
    // serves one end.
    void SetRestartRequest(bool on) { restart_request_.store(on, std::memory_order_relaxed); }
    bool RestartRequest() const { return restart_request_.load(std::memory_order_relaxed); }
    // Closes and frees the format context an open left behind; nothing while a reader owns it.
    void ffmpeg_init_free();

    static double TimeBaseSeconds(AVRational time_base);
    AVRational VideoTimeBase() const;
    AVRational AudioTimeBase() const;

    // The audio stream of the last open: its AudioSpecificConfig (the codec extradata, or one built from
    // the first ADTS header when the stream has none; empty until known), rate and channel count (0 when
    // there is no audio stream).
    std::vector<uint8_t> AudioConfig();
    int AudioSampleRate() const { return audio_rate_.load(std::memory_order_relaxed); }
    int AudioChannels() const { return audio_channels_.load(std::memory_order_relaxed); }

private:
    static int InterruptCallback(void* opaque);
    static void* ReaderEntry(void* self);
    // The restart thread: waits for the ended reader to be gone, then opens the stored URL again.
    static void* MP4_Restart_Runnable(void* self);
    // Starts the restart thread; 1 started, 0 failed.
    int StartRestart();
    void Reader();
    int StartReader();
    // Runs one packet through the named filter with a new filter context. 1 with the output in
    // filtered_ (or the packet unchanged when the filter handed back the same bytes: *same is set), 0 when
    // the filter gave nothing, negative FFmpeg errors.
    int ApplyBsf(const char* name, const AVPacket* packet, const AVCodecParameters* par, bool* same);
    static int64_t NowMs();
    void SetStartTime(int64_t now_ms, int64_t media_ms);
    void UpdateFps(const AVStream* stream);
    // Filters and hands on one video packet; false when the packet was not handled (no pacing).
    bool HandleVideoPacket(const AVPacket* packet, const AVStream* stream);
    void HandleAudio(const AVPacket* packet);
    // Sleeps until the wall clock has caught up with the packet's media time (MP4 files only).
    void Pace(int64_t dts, AVRational time_base);
    void ReleaseContext();

    VideoCallback video_cb_;
    AudioCallback audio_cb_;
    EofCallback eof_cb_;
    CancelTest cancel_;

    std::atomic<bool> working_{false};
    std::atomic<bool> reading_{false};
    std::atomic<bool> rtmp_category_{false};
    std::atomic<bool> h265_{false};
    std::atomic<uint32_t> fps_{0};
    std::atomic<bool> restart_request_{false};
    // Restart threads started and not yet finished; the destructor waits for them, since they work on
    // this object.
    std::atomic<int> restarts_pending_{0};
    // Set by the destructor: a restart thread that has not yet opened gives up.
    std::atomic<bool> closing_{false};
    // Start of the open in progress (ms), 0 while none; the interrupt callback's time-out.
    std::atomic<int64_t> open_started_ms_{0};

    std::mutex mutex_;  // url_, name_, audio_config_
    std::string url_;
    std::string name_ = "null";
    bool is_mp4_ = false;  // of the open the reader serves (written before the reader starts)
    std::vector<uint8_t> audio_config_;
    std::atomic<int> audio_rate_{0};
    std::atomic<int> audio_channels_{0};

    AVFormatContext* format_ctx_ = nullptr;
    AVPacket* packet_ = nullptr;
    int video_index_ = -1;
    int audio_index_ = -1;
    std::atomic<int> video_tb_num_{0}, video_tb_den_{1};
    std::atomic<int> audio_tb_num_{0}, audio_tb_den_{1};

    // Reader-thread state.
    int h265_failures_ = 0;
    uint32_t packets_this_second_ = 0;
    int64_t second_mark_us_ = 0;
    int64_t origin_media_ms_ = -1;
    int64_t origin_wall_ms_ = -1;
    bool seek_failing_ = false;
    std::vector<uint8_t> filtered_;
    int filtered_size_ = 0;
};
