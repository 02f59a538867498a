// One RTMP message being received or sent.
#pragma once

#include <cstdint>
#include <memory>

namespace mnet {

// RTMP message type ids.
enum RtmpMessageType : uint8_t {
    RTMP_SET_CHUNK_SIZE = 1,
    RTMP_ABORT_MESSAGE = 2,
    RTMP_ACK = 3,
    RTMP_USER_EVENT = 4,
    RTMP_ACK_SIZE = 5,
    RTMP_BANDWIDTH_SIZE = 6,
    RTMP_AUDIO = 8,
    RTMP_VIDEO = 9,
    RTMP_FLEX_MESSAGE = 17,
    RTMP_NOTIFY = 18,
    RTMP_INVOKE = 20,
    RTMP_FLASH_VIDEO = 22,
    // Never on the wire: how the publisher's connection hands the sequence headers to its session.
    RTMP_AVC_SEQUENCE_HEADER = 24,
    RTMP_AAC_SEQUENCE_HEADER = 25,
};

// Chunk stream ids this server sends on.
enum RtmpChunkStreamId : uint32_t {
    CHUNK_CONTROL_ID = 2,
    CHUNK_INVOKE_ID = 3,
    CHUNK_AUDIO_ID = 4,
    CHUNK_VIDEO_ID = 5,
    CHUNK_DATA_ID = 6,
};

struct RtmpMessage {
    uint32_t timestamp = 0;         // 24-bit field of the message's first header (absolute or delta)
    uint32_t length = 0;            // payload bytes
    uint8_t type_id = 0;
    uint32_t stream_id = 0;         // message stream id
    uint32_t extend_timestamp = 0;  // extended timestamp of the first header, when the field was 0xFFFFFF
    uint64_t abs_timestamp = 0;     // milliseconds; what the rest of the server uses
    uint32_t csid = 0;              // chunk stream id
    uint32_t index = 0;             // payload bytes received so far
    std::shared_ptr<char> payload;

    bool IsCompleted() const { return length != 0 && index == length && payload != nullptr; }
};

}  // namespace mnet
