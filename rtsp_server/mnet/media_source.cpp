#include "media_source.h"

#include <chrono>
#include <cstring>

namespace mnet {

int64_t SteadyClockMs() {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
                  .count();
    return (us + 500) / 1000;
}

bool MediaSource::PacketizeNalUnit(MediaChannelId channel, const uint8_t* nal, size_t size, const AVFrame& frame,
                                   bool last_of_frame, const uint8_t* prefix, uint32_t prefix_size, uint8_t fu_header,
                                   uint32_t skip) {
    if (size <= kMaxRtpPayloadSize) {
        RtpPacket pkt;
        memcpy(pkt.data.get() + kRtpPayloadOffset, nal, size);
        pkt.size = static_cast<uint32_t>(size) + kRtpPayloadOffset;
        pkt.timestamp = frame.timestamp;
        pkt.type = frame.type;
        pkt.last = last_of_frame ? 1 : 0;
        return SendPacket(channel, pkt);
    }

    const uint32_t headers = prefix_size + 1;
    const uint32_t piece = kMaxRtpPayloadSize - headers;
    const uint8_t* p = nal + skip;
    size_t remaining = size - skip;
    fu_header |= 0x80;
    for (;;) {
        const bool final_piece = remaining + headers <= kMaxRtpPayloadSize;
        const size_t chunk = final_piece ? remaining : piece;
        RtpPacket pkt;
        uint8_t* out = pkt.data.get() + kRtpPayloadOffset;
        memcpy(out, prefix, prefix_size);
        out[prefix_size] = final_piece ? static_cast<uint8_t>(fu_header | 0x40) : fu_header;
        memcpy(out + headers, p, chunk);
        pkt.size = kRtpPayloadOffset + headers + static_cast<uint32_t>(chunk);
        pkt.timestamp = frame.timestamp;
        pkt.type = frame.type;
        pkt.last = (final_piece && last_of_frame) ? 1 : 0;
        if (final_piece) return SendPacket(channel, pkt);
        if (!SendPacket(channel, pkt)) return false;
        p += chunk;
        remaining -= chunk;
        fu_header &= 0x7F;
    }
}

}  // namespace mnet
