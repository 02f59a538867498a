// What travels between the media sources, the media session and the RTP connections: one RTP packet under
// construction, the channel numbers, codec and transport codes.
#pragma once

#include <cstdint>
#include <memory>

namespace mnet {

// At most two channels per media session: video on 0, audio on 1 in this system.
enum MediaChannelId : int {
    channel_0 = 0,
    channel_1 = 1,
};
constexpr int kMaxMediaChannels = 2;

enum MediaType : uint32_t {
    PCMA = 8,
    AAC = 37,
    H264 = 96,
    H265 = 265,
    NONE = 266,
};

enum TransportMode : uint32_t {
    RTP_OVER_TCP = 1,
    RTP_OVER_UDP = 2,
    RTP_OVER_MULTICAST = 3,
};

// Packet layout: 4 bytes for the interleaved TCP header, 12 for the RTP header (both written per client),
// then the payload.
constexpr uint32_t kRtpPacketBufferSize = 1600;
constexpr uint32_t kRtpTcpHeaderSize = 4;
constexpr uint32_t kRtpHeaderSize = 12;
constexpr uint32_t kRtpPayloadOffset = kRtpTcpHeaderSize + kRtpHeaderSize;
// Payload with its payload headers: every packet stays at 1437 bytes or less with both headers.
constexpr uint32_t kMaxRtpPayloadSize = 1420;

struct RtpPacket {
    RtpPacket() : data(new uint8_t[kRtpPacketBufferSize], std::default_delete<uint8_t[]>()) {}

    std::shared_ptr<uint8_t> data;  // kRtpPacketBufferSize bytes, shared by copies of this record
    uint32_t size = 0;              // bytes used, counting the 16 header bytes
    uint32_t timestamp = 0;         // in the codec's clock
    uint8_t type = 0;               // the frame type of the mnet::AVFrame it came from
    uint8_t last = 0;               // 1 on the last packet of a frame: the RTP marker bit
};

}  // namespace mnet
