// An outgoing RTMP publisher: connects to a remote server, publishes one stream and sends H.264 and AAC
// frames to it. The connection's work runs on a scheduler of the event loop; pushes only queue work there.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "event_loop.h"
#include "rtmp.h"
#include "rtmp_connection.h"

namespace mnet {

// What is published. SPS and PPS are NAL units without start code; the AudioSpecificConfig as in an MP4.
struct MediaInfo {
    uint8_t video_codec_id = 7;  // 7 = AVC, 0 = no video
    uint32_t video_width = 0;
    uint32_t video_height = 0;
    uint32_t video_framerate = 0;
    std::shared_ptr<uint8_t> sps;
    std::shared_ptr<uint8_t> pps;
    std::shared_ptr<uint8_t> sei;
    uint32_t sps_size = 0;
    uint32_t pps_size = 0;
    uint32_t sei_size = 0;

    uint8_t audio_codec_id = 10;  // 10 = AAC, 0 = no audio
    uint32_t audio_channel = 0;
    uint32_t audio_samplerate = 0;
    uint32_t audio_frame_len = 0;
    std::shared_ptr<uint8_t> audio_specific_config;
    uint32_t audio_specific_config_size = 0;
};

class RtmpPublisher : public Rtmp, public std::enable_shared_from_this<RtmpPublisher> {
public:
    static constexpr uint8_t kCodecAvc = 7;
    static constexpr uint8_t kCodecAac = 10;
    static constexpr int kDefaultTimeoutMs = 10000;
    // The AVC sequence header buffer: 16 bytes of tag and record fields around the SPS and the PPS.
    static constexpr uint32_t kAvcSequenceHeaderBytes = 4096;
    static constexpr uint32_t kAvcSequenceHeaderOverhead = 16;
    // An SPS must reach its level byte (profile, constraint flags and level follow the NAL header).
    static constexpr uint32_t kMinSpsBytes = 4;
    // An AudioSpecificConfig carries its sampling-frequency index and channels in the first two bytes.
    static constexpr uint32_t kMinAudioSpecificConfigBytes = 2;
    static constexpr uint32_t kMaxAudioSpecificConfigBytes = 64;

    static std::shared_ptr<RtmpPublisher> Create(EventLoop* event_loop);
    ~RtmpPublisher() override;

    // 0, or -1 when a description given is refused (that medium is then not published).
    int SetMediaInfo(MediaInfo media_info);
    // 0 once the server accepted the publish, -1 otherwise; status tells what the server last reported.
    // A time-out below 1 means kDefaultTimeoutMs. Blocks the caller (and every push) while it waits.
    int OpenUrl(std::string url, int msec, std::string& status);
    void Close();
    bool IsConnected();

    // One H.264 access unit, Annex-B (start codes) or a single NAL unit without start code. Frames before the
    // first key frame are dropped. 0 when taken or dropped, -1 without a live connection or on bad input.
    int PushVideoFrame(uint8_t* data, uint32_t size);
    // One raw AAC frame (no ADTS header); sent only once video has started (or when there is no video).
    int PushAudioFrame(uint8_t* data, uint32_t size);

    // An IDR slice or an SPS: in Annex-B input any NAL unit of the access unit, otherwise the NAL at byte 0.
    static bool IsKeyFrame(const uint8_t* data, uint32_t size);
    // The FLV video tag body of one access unit: frame type and AVC packet type, composition time 0, then
    // every NAL unit with a 4-byte big-endian length in place of its start code. Empty when no NAL unit.
    static std::string BuildAvcVideoTag(const uint8_t* data, uint32_t size, bool key_frame);

    // Sequence headers as built by SetMediaInfo (for checks); size 0 when none.
    uint32_t GetAvcSequenceHeaderSize();
    uint32_t GetAacSequenceHeaderSize();
    MediaInfo GetMediaInfo();

private:
    explicit RtmpPublisher(EventLoop* event_loop);
    uint64_t ElapsedMs() const;
    // The stopwatch's time for the next message of one stream, one past the last when the stopwatch has not
    // moved on (frames pushed in a burst): players and muxers need rising timestamps.
    uint64_t NextTimestamp(uint64_t* last, bool* any);

    EventLoop* event_loop_;
    std::shared_ptr<TaskScheduler> task_scheduler_;
    std::mutex mutex_;
    std::shared_ptr<RtmpConnection> rtmp_conn_;

    MediaInfo media_info_;
    std::shared_ptr<char> avc_sequence_header_;
    std::shared_ptr<char> aac_sequence_header_;
    uint32_t avc_sequence_header_size_ = 0;
    uint32_t aac_sequence_header_size_ = 0;
    uint8_t audio_tag_ = 0;
    bool has_key_frame_ = false;
    uint64_t last_video_timestamp_ = 0;
    uint64_t last_audio_timestamp_ = 0;
    bool video_sent_ = false;
    bool audio_sent_ = false;
    std::chrono::steady_clock::time_point timestamp_start_;
};

}  // namespace mnet
