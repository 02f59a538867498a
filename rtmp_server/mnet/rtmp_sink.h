// The receiver of a stream's media that a session feeds: a player connection of the RTMP server, or any other
// output that relays RTMP streams.
#pragma once

#include <cstdint>
#include <memory>

#include "amf.h"

namespace mnet {

class RtmpSink {
public:
    RtmpSink() = default;
    virtual ~RtmpSink() = default;

    virtual bool SendMetaData(AmfObjects metaData) {
        (void)metaData;
        return true;
    }
    // type: 8 audio, 9 video, 24 AVC sequence header, 25 AAC sequence header; a size of 0 is ignored.
    virtual bool SendMediaData(uint8_t type, uint64_t timestamp, std::shared_ptr<char> payload, uint32_t payload_size) = 0;
    // Frames replayed from the GOP cache.
    virtual bool SendVideoData(uint64_t timestamp, std::shared_ptr<char> payload, uint32_t payload_size) = 0;
    virtual bool SendAudioData(uint64_t timestamp, std::shared_ptr<char> payload, uint32_t payload_size) = 0;

    virtual bool IsPlayer() { return false; }
    virtual bool IsPublisher() { return false; }
    virtual bool IsPlaying() { return false; }
    virtual bool IsPublishing() { return false; }
    // The stream's publisher has left; a player is told that its stream ended. The sink stays in the session
    // and gets the next publisher's stream.
    virtual bool SendStreamEnd() { return true; }
    // The key under which a session keeps the sink.
    virtual int GetId() = 0;
};

}  // namespace mnet
