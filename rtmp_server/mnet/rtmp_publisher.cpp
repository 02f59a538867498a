#include "rtmp_publisher.h"

#include <cstring>

#include "byte_order.h"
#include "logger.h"
#include "nal_unit.h"
#include "rtmp_open.h"

namespace mnet {

namespace {

constexpr uint8_t kNalIdr = 5;
constexpr uint8_t kNalSps = 7;
// Sampling frequencies by AudioSpecificConfig index; 13 to 15 are reserved.
constexpr uint32_t kAacSampleRates[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                                          16000, 12000, 11025, 8000,  7350,  0,     0,     0};
// Before the NAL units of a video tag: frame type and codec, AVC packet type, composition time.
constexpr uint32_t kVideoTagHeaderBytes = 5;
constexpr uint32_t kNalLengthBytes = 4;
// Shorter frames cannot hold a NAL unit behind a start code.
constexpr uint32_t kMinVideoFrameBytes = 6;

std::shared_ptr<char> CopyBytes(const std::string& bytes) {
    std::shared_ptr<char> out(new char[bytes.size()], std::default_delete<char[]>());
    memcpy(out.get(), bytes.data(), bytes.size());
    return out;
}

}  // namespace

std::shared_ptr<RtmpPublisher> RtmpPublisher::Create(EventLoop* event_loop) {
    return std::shared_ptr<RtmpPublisher>(new RtmpPublisher(event_loop));
}

RtmpPublisher::RtmpPublisher(EventLoop* event_loop)
    : event_loop_(event_loop), timestamp_start_(std::chrono::steady_clock::now()) {}

RtmpPublisher::~RtmpPublisher() { Close(); }

uint64_t RtmpPublisher::ElapsedMs() const {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - timestamp_start_)
            .count());
}

uint64_t RtmpPublisher::NextTimestamp(uint64_t* last, bool* any) {
    uint64_t timestamp = ElapsedMs();
    if (*any && timestamp <= *last) timestamp = *last + 1;
    *last = timestamp;
    *any = true;
    return timestamp;
}

int RtmpPublisher::SetMediaInfo(MediaInfo media_info) {
    std::lock_guard<std::mutex> lock(mutex_);
    media_info_ = media_info;
    int result = 0;
    aac_sequence_header_.reset();
    aac_sequence_header_size_ = 0;
    avc_sequence_header_.reset();
    avc_sequence_header_size_ = 0;

    if (media_info_.audio_codec_id == kCodecAac) {
        uint32_t n = media_info_.audio_specific_config ? media_info_.audio_specific_config_size : 0;
        if (n >= kMinAudioSpecificConfigBytes && n <= kMaxAudioSpecificConfigBytes) {
            const uint8_t* config = media_info_.audio_specific_config.get();
            aac_sequence_header_size_ = n + 2;
            aac_sequence_header_.reset(new char[aac_sequence_header_size_], std::default_delete<char[]>());
            char* header = aac_sequence_header_.get();
            header[0] = static_cast<char>(0xAF);
            header[1] = 0x00;  // AAC sequence header
            memcpy(header + 2, config, n);
            audio_tag_ = 0xAF;
            uint8_t index = static_cast<uint8_t>(((config[0] & 0x07) << 1) | (config[1] >> 7));
            media_info_.audio_channel = (config[1] >> 3) & 0x0F;
            media_info_.audio_samplerate = kAacSampleRates[index];
        } else {
            if (n != 0) {
                Logger::Instance().Log2(LogWarning, "[RtmpPublisher] AudioSpecificConfig of %u bytes refused, "
                                        "publishing no audio", n);
                result = -1;
            }
            media_info_.audio_codec_id = 0;
        }
    }

    if (media_info_.video_codec_id == kCodecAvc) {
        uint32_t sps_size = media_info_.sps ? media_info_.sps_size : 0;
        uint32_t pps_size = media_info_.pps ? media_info_.pps_size : 0;
        bool fits = sps_size + pps_size <= kAvcSequenceHeaderBytes - kAvcSequenceHeaderOverhead;
        if (sps_size >= kMinSpsBytes && pps_size > 0 && fits) {
            const uint8_t* sps = media_info_.sps.get();
            avc_sequence_header_.reset(new char[kAvcSequenceHeaderBytes], std::default_delete<char[]>());
            char* body = avc_sequence_header_.get();
            uint32_t i = 0;
            body[i++] = 0x17;  // key frame, AVC
            body[i++] = 0x00;  // AVC sequence header
            body[i++] = 0x00;  // composition time
            body[i++] = 0x00;
            body[i++] = 0x00;
            // AVCDecoderConfigurationRecord: version, profile, compatibility, level, 4-byte NAL lengths, one SPS.
            body[i++] = 0x01;
            body[i++] = static_cast<char>(sps[1]);
            body[i++] = static_cast<char>(sps[2]);
            body[i++] = static_cast<char>(sps[3]);
            body[i++] = static_cast<char>(0xFF);
            body[i++] = static_cast<char>(0xE1);
            WriteUint16BE(body + i, static_cast<uint16_t>(sps_size));
            i += 2;
            memcpy(body + i, sps, sps_size);
            i += sps_size;
            body[i++] = 0x01;  // one PPS
            WriteUint16BE(body + i, static_cast<uint16_t>(pps_size));
            i += 2;
            memcpy(body + i, media_info_.pps.get(), pps_size);
            i += pps_size;
            avc_sequence_header_size_ = i;
        } else {
            if (sps_size != 0 || pps_size != 0) {
                Logger::Instance().Log2(LogWarning, "[RtmpPublisher] SPS of %u and PPS of %u bytes refused, "
                                        "publishing no video", sps_size, pps_size);
                result = -1;
            }
            media_info_.video_codec_id = 0;
        }
    }
    return result;
}

int RtmpPublisher::OpenUrl(std::string url, int msec, std::string& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    RtmpOpenRequest request;
    request.owner = this;
    request.event_loop = event_loop_;
    request.log_name = "[RtmpPublisher]";
    request.url = std::move(url);
    request.timeout_ms = msec < 1 ? kDefaultTimeoutMs : msec;
    auto self = shared_from_this();
    request.make_connection = [self](std::shared_ptr<TaskScheduler> scheduler, int fd) {
        return std::make_shared<RtmpConnection>(self, std::move(scheduler), fd);
    };
    request.reached = [](RtmpConnection& conn) { return conn.IsPublishing(); };
    if (OpenRtmpConnection(request, &task_scheduler_, &rtmp_conn_, &status) != 0) return -1;
    // AVC waits for its first key frame; without video, audio may flow at once.
    has_key_frame_ = media_info_.video_codec_id != kCodecAvc;
    timestamp_start_ = std::chrono::steady_clock::now();
    video_sent_ = false;
    audio_sent_ = false;
    return 0;
}

void RtmpPublisher::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (rtmp_conn_) {
        rtmp_conn_->Disconnect();
        rtmp_conn_.reset();
    }
    has_key_frame_ = false;
}

bool RtmpPublisher::IsConnected() {
    std::lock_guard<std::mutex> lock(mutex_);
    return rtmp_conn_ && !rtmp_conn_->IsClosed();
}

bool RtmpPublisher::IsKeyFrame(const uint8_t* data, uint32_t size) {
    if (data == nullptr || size == 0) return false;
    for (const NalUnit& nal : SplitNalUnits(data, size)) {
        uint8_t type = nal.data[0] & 0x1F;
        if (type == kNalIdr || type == kNalSps) return true;
    }
    return false;
}

std::string RtmpPublisher::BuildAvcVideoTag(const uint8_t* data, uint32_t size, bool key_frame) {
    std::vector<NalUnit> nals = SplitNalUnits(data, size);
    if (nals.empty()) return std::string();
    std::string tag;
    tag.reserve(kVideoTagHeaderBytes + nals.size() * kNalLengthBytes + size);
    tag.push_back(static_cast<char>(key_frame ? 0x17 : 0x27));
    tag.push_back(0x01);  // AVC NAL units
    tag.append(3, '\0');  // composition time: no B-frames
    for (const NalUnit& nal : nals) {
        char length[kNalLengthBytes];
        WriteUint32BE(length, static_cast<uint32_t>(nal.size));
        tag.append(length, kNalLengthBytes);
        tag.append(reinterpret_cast<const char*>(nal.data), nal.size);
    }
    return tag;
}

int RtmpPublisher::PushVideoFrame(uint8_t* data, uint32_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!rtmp_conn_ || rtmp_conn_->IsClosed() || data == nullptr || size < kMinVideoFrameBytes) return -1;
    if (media_info_.video_codec_id != kCodecAvc) return 0;

    bool key_frame = IsKeyFrame(data, size);
    if (!has_key_frame_) {
        if (!key_frame) return 0;
        has_key_frame_ = true;
        timestamp_start_ = std::chrono::steady_clock::now();
        video_sent_ = false;
        audio_sent_ = false;
        rtmp_conn_->SendVideoData(0, avc_sequence_header_, avc_sequence_header_size_);
        if (aac_sequence_header_size_ > 0) rtmp_conn_->SendAudioData(0, aac_sequence_header_, aac_sequence_header_size_);
    }
    std::string tag = BuildAvcVideoTag(data, size, key_frame);
    if (tag.empty()) return -1;
    rtmp_conn_->SendVideoData(NextTimestamp(&last_video_timestamp_, &video_sent_), CopyBytes(tag),
                              static_cast<uint32_t>(tag.size()));
    return 0;
}

int RtmpPublisher::PushAudioFrame(uint8_t* data, uint32_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!rtmp_conn_ || rtmp_conn_->IsClosed() || data == nullptr || size == 0) return -1;
    if (!has_key_frame_ || media_info_.audio_codec_id != kCodecAac) return 0;
    std::string tag;
    tag.reserve(2 + size);
    tag.push_back(static_cast<char>(audio_tag_));
    tag.push_back(0x01);  // raw AAC
    tag.append(reinterpret_cast<const char*>(data), size);
    rtmp_conn_->SendAudioData(NextTimestamp(&last_audio_timestamp_, &audio_sent_), CopyBytes(tag),
                              static_cast<uint32_t>(tag.size()));
    return 0;
}

uint32_t RtmpPublisher::GetAvcSequenceHeaderSize() {
    std::lock_guard<std::mutex> lock(mutex_);
    return avc_sequence_header_size_;
}

uint32_t RtmpPublisher::GetAacSequenceHeaderSize() {
    std::lock_guard<std::mutex> lock(mutex_);
    return aac_sequence_header_size_;
}

MediaInfo RtmpPublisher::GetMediaInfo() {
    std::lock_guard<std::mutex> lock(mutex_);
    return media_info_;
}

}  // namespace mnet
