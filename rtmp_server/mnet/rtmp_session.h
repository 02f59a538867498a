// One stream path of the RTMP server: joins its one publisher to any number of players, keeps what a player
// that joins late needs (metadata, sequence headers) and caches the newest group of pictures so that such a
// player starts at once on a key frame.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "amf.h"
#include "rtmp_sink.h"

namespace mnet {

class RtmpConnection;

class RtmpSession {
public:
    using Ptr = std::shared_ptr<RtmpSession>;

    // Bytes one cached GOP may hold. The replay to a new player goes out as one send, so it stays well below
    // a connection's send queue; a longer GOP is dropped from the cache and players wait for the next key frame.
    static constexpr size_t kMaxGopBytes = 8 * 1024 * 1024;

    struct AVFrame {
        uint8_t type = 0;  // 8 audio, 9 video
        uint64_t timestamp = 0;
        uint32_t size = 0;
        std::shared_ptr<char> data;
    };

    RtmpSession() = default;
    virtual ~RtmpSession() = default;

    void SetMetaData(AmfObjects metaData);
    AmfObjects GetMetaData();
    void SetAvcSequenceHeader(std::shared_ptr<char> avcSequenceHeader, uint32_t avcSequenceHeaderSize);
    void SetAacSequenceHeader(std::shared_ptr<char> aacSequenceHeader, uint32_t aacSequenceHeaderSize);
    // Frames (audio and video together) one GOP may hold; 0 disables the cache.
    void SetGopCache(uint32_t cacheLen);

    // A publisher sink becomes the session's publisher and starts it afresh: no sequence headers, no cache.
    void AddSink(std::shared_ptr<RtmpSink> sink);
    void RemoveSink(std::shared_ptr<RtmpSink> sink);
    // Live sinks, publisher and players.
    int GetClients();
    // The publisher's connection while it is publishing, else empty.
    std::shared_ptr<RtmpConnection> GetPublisher();

    void SendMetaData(AmfObjects metaData);
    void SendMediaData(uint8_t type, uint64_t timestamp, std::shared_ptr<char> data, uint32_t size);

    // What the cache holds now: frames of the newest GOP (0 when none or dropped) and its number.
    size_t CachedFrames();
    uint64_t GopIndex();

private:
    // Caller holds mutex_. True when the message went into the cache.
    bool SaveGop(uint8_t type, uint64_t timestamp, const std::shared_ptr<char>& data, uint32_t size);
    // Caller holds mutex_. True when a GOP was replayed to the sink.
    bool SendGop(const std::shared_ptr<RtmpSink>& sink);
    // Caller holds mutex_.
    void ResetStream();

    std::mutex mutex_;
    AmfObjects meta_data_;
    std::weak_ptr<RtmpSink> publisher_;
    std::unordered_map<int, std::weak_ptr<RtmpSink>> rtmp_sinks_;

    std::shared_ptr<char> avc_sequence_header_;
    std::shared_ptr<char> aac_sequence_header_;
    uint32_t avc_sequence_header_size_ = 0;
    uint32_t aac_sequence_header_size_ = 0;

    uint64_t gop_index_ = 0;
    uint32_t max_gop_cache_len_ = 0;
    // The GOP being received, from its key frame on; empty while there is none or after it outgrew the limits.
    std::vector<AVFrame> gop_;
    size_t gop_bytes_ = 0;
    bool gop_valid_ = false;
};

}  // namespace mnet
