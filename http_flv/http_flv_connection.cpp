#include "http_flv_connection.h"

#include "byte_order.h"

namespace mnet {

namespace {

constexpr uint8_t kRtmpAudio = 8;
constexpr uint8_t kRtmpVideo = 9;
constexpr uint8_t kRtmpAvcSequenceHeader = 24;
constexpr uint8_t kRtmpAacSequenceHeader = 25;
constexpr uint8_t kFlvKeyFrame = 1;
constexpr uint8_t kFlvCodecAvc = 7;

bool IsKeyFrameTag(uint8_t type, const char* payload) {
    return type == kRtmpVideo && (static_cast<uint8_t>(payload[0]) >> 4) == kFlvKeyFrame;
}

}  // namespace

HttpFlvConnection::HttpFlvConnection(wn_connection* conn) : HttpConnection(conn) {}

HttpFlvConnection::~HttpFlvConnection() = default;

bool HttpFlvConnection::SendMediaData(uint8_t type, uint64_t timestamp, std::shared_ptr<char> payload,
                                      uint32_t payload_size) {
    if (payload_size == 0 || !payload) return false;
    playing_ = true;
    switch (type) {
        case kRtmpAvcSequenceHeader:
            avc_sequence_header_ = payload;
            avc_sequence_header_size_ = payload_size;
            return true;
        case kRtmpAacSequenceHeader:
            aac_sequence_header_ = payload;
            aac_sequence_header_size_ = payload_size;
            return true;
        case kRtmpVideo: {
            if (!has_key_frame_) {
                const auto first = static_cast<uint8_t>(payload.get()[0]);
                if ((first >> 4) != kFlvKeyFrame || (first & 0x0F) != kFlvCodecAvc) return true;
                has_key_frame_ = true;
            }
            SendVideoData(timestamp, payload, payload_size);
            return true;
        }
        case kRtmpAudio:
            if (has_key_frame_ || avc_sequence_header_size_ == 0) SendAudioData(timestamp, payload, payload_size);
            return true;
        default:
            return true;
    }
}

bool HttpFlvConnection::SendVideoData(uint64_t timestamp, std::shared_ptr<char> payload, uint32_t payload_size) {
    if (!header_sent_) {
        SendFlvHeader();
        SendFlvTag(video_tag_type_, 0, avc_sequence_header_, avc_sequence_header_size_);
        SendFlvTag(audio_tag_type_, 0, aac_sequence_header_, aac_sequence_header_size_);
    }
    SendFlvTag(video_tag_type_, timestamp, payload, payload_size);
    return true;
}

bool HttpFlvConnection::SendAudioData(uint64_t timestamp, std::shared_ptr<char> payload, uint32_t payload_size) {
    if (!header_sent_) {
        SendFlvHeader();
        SendFlvTag(audio_tag_type_, 0, aac_sequence_header_, aac_sequence_header_size_);
    }
    SendFlvTag(audio_tag_type_, timestamp, payload, payload_size);
    return true;
}

void HttpFlvConnection::SendFlvHeader() {
    uint8_t header[9] = {'F', 'L', 'V', 1, 0, 0, 0, 0, 9};
    if (avc_sequence_header_size_ != 0) header[4] |= 0x01;
    if (aac_sequence_header_size_ != 0) header[4] |= 0x04;
    const uint8_t previous_tag_size0[4] = {0, 0, 0, 0};
    Send(header, sizeof(header));
    Send(previous_tag_size0, sizeof(previous_tag_size0));
    header_sent_ = true;
}

int HttpFlvConnection::SendFlvTag(uint8_t type, uint64_t timestamp, std::shared_ptr<char> payload,
                                  uint32_t payload_size) {
    if (payload_size == 0 || !payload) return -1;
    // The FLV tag size field has 24 bits; a larger message cannot be framed and is not sent.
    if (payload_size > 0xFFFFFF) return 0;
    // After a drop, only a key frame restarts the stream; audio waits with it so that both resume together.
    const bool key_frame = IsKeyFrameTag(type, payload.get());
    if (resync_ && !key_frame) return 0;
    if (QueueRoom() < kPacketsPerTag) {
        // Only this sink's thread adds packets, so room never shrinks between this check and the sends below.
        resync_ = avc_sequence_header_size_ != 0;
        return 0;
    }
    resync_ = false;
    char header[kFlvTagHeaderSize] = {};
    header[0] = static_cast<char>(type);
    WriteUint24BE(header + 1, payload_size);
    const auto ts = static_cast<uint32_t>(timestamp);
    WriteUint24BE(header + 4, ts & 0xFFFFFF);
    header[7] = static_cast<char>(ts >> 24);
    char previous_tag_size[4];
    WriteUint32BE(previous_tag_size, payload_size + kFlvTagHeaderSize);
    Send(reinterpret_cast<const uint8_t*>(header), sizeof(header));
    Send(reinterpret_cast<const uint8_t*>(payload.get()), payload_size);
    Send(reinterpret_cast<const uint8_t*>(previous_tag_size), sizeof(previous_tag_size));
    return 0;
}

}  // namespace mnet
