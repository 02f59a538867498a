// Base of every RTMP endpoint: the settings each connection copies and the parts of an "rtmp://" address.
#pragma once

#include <cstdint>
#include <string>

namespace mnet {

class Rtmp {
public:
    static constexpr uint16_t kDefaultPort = 1935;
    static constexpr uint32_t kDefaultBandwidth = 5000000;
    static constexpr uint32_t kDefaultChunkSize = 128;
    static constexpr uint32_t kMaxOutChunkSize = 60000;
    // Longest parts of an address taken by ParseRtmpUrl.
    static constexpr size_t kMaxHostLength = 255;
    static constexpr size_t kMaxPathLength = 499;
    static constexpr size_t kMaxAppLength = 99;
    static constexpr size_t kMaxStreamNameLength = 399;

    Rtmp() = default;
    virtual ~Rtmp() = default;

    // Taken only when 1 <= size <= kMaxOutChunkSize; otherwise the old value stays.
    void SetChunkSize(uint32_t size) {
        if (size > 0 && size <= kMaxOutChunkSize) max_chunk_size_ = size;
    }
    // Frames kept per GOP for players that join; 0 disables the cache.
    void SetGopCache(uint32_t len) { max_gop_cache_len_ = len; }
    void SetPeerBandwidth(uint32_t size) { peer_bandwidth_ = size; }
    // The window announced to peers: an Acknowledgement goes back each time that many more bytes arrived.
    void SetAcknowledgementSize(uint32_t size) { acknowledgement_size_ = size; }

    uint32_t GetChunkSize() const { return max_chunk_size_; }
    uint32_t GetGopCacheLen() const { return max_gop_cache_len_; }
    uint32_t GetAcknowledgementSize() const { return acknowledgement_size_; }
    uint32_t GetPeerBandwidth() const { return peer_bandwidth_; }
    uint16_t GetPort() const { return port_; }
    std::string GetIp() const { return ip_; }
    std::string GetUrl() const { return url_; }
    std::string GetStreamPath() const { return stream_path_; }
    std::string GetApp() const { return app_; }
    std::string GetStreamName() const { return stream_name_; }
    std::string GetTcUrl() const { return tc_url_; }
    std::string GetSwfUrl() const { return swf_url_; }

    // "rtmp://host[:port]/app/stream": 0, or -1 when the address does not have that form or a part is too long.
    virtual int ParseRtmpUrl(std::string url);

protected:
    uint16_t port_ = kDefaultPort;
    std::string url_;
    std::string tc_url_, swf_url_;
    std::string ip_;
    std::string app_;
    std::string stream_name_;
    std::string stream_path_;

    uint32_t peer_bandwidth_ = kDefaultBandwidth;
    uint32_t acknowledgement_size_ = kDefaultBandwidth;
    uint32_t max_chunk_size_ = kDefaultChunkSize;
    uint32_t max_gop_cache_len_ = 0;
};

}  // namespace mnet
