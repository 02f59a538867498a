// An HTTP client playing one RTMP stream: every media message the stream's session hands it becomes an FLV tag
// (9-byte file header first, each tag followed by its previous-tag size) in the connection's send queue.
#pragma once

#include <cstdint>
#include <memory>

#include "http_connection.h"
#include "rtmp_sink.h"

namespace mnet {

class HttpFlvConnection : public HttpConnection, public RtmpSink {
public:
    static constexpr uint8_t kFlvTagHeaderSize = 11;
    // Packets one tag takes in the send queue: tag header, payload, previous-tag size.
    static constexpr size_t kPacketsPerTag = 3;

    explicit HttpFlvConnection(wn_connection* conn);
    ~HttpFlvConnection() override;

    bool IsPlaying() override { return playing_; }
    bool IsPlayer() override { return true; }
    bool SendMediaData(uint8_t type, uint64_t timestamp, std::shared_ptr<char> payload,
                       uint32_t payload_size) override;
    bool SendVideoData(uint64_t timestamp, std::shared_ptr<char> payload, uint32_t payload_size) override;
    bool SendAudioData(uint64_t timestamp, std::shared_ptr<char> payload, uint32_t payload_size) override;
    int GetId() override { return GetSocket(); }

    void SendFlvHeader();
    // 0 when the tag was queued (or dropped whole, see below), -1 for an empty payload.
    int SendFlvTag(uint8_t type, uint64_t timestamp, std::shared_ptr<char> payload, uint32_t payload_size);

private:
    std::shared_ptr<char> avc_sequence_header_;
    std::shared_ptr<char> aac_sequence_header_;
    uint32_t avc_sequence_header_size_ = 0;
    uint32_t aac_sequence_header_size_ = 0;
    bool has_key_frame_ = false;
    bool header_sent_ = false;
    bool playing_ = false;
    uint8_t audio_tag_type_ = 8;
    uint8_t video_tag_type_ = 9;
    // A full send queue drops whole tags, then everything up to the next key frame, so that a slow client
    // gets a stream with gaps but never a cut tag or a picture without its reference.
    bool resync_ = false;
};

}  // namespace mnet
