#include "vp8_source.h"

#include <cstdio>
#include <cstring>

namespace mnet {

std::unique_ptr<VP8Source> VP8Source::Create(uint32_t framerate) {
    return std::unique_ptr<VP8Source>(new VP8Source(framerate));
}

VP8Source::VP8Source(uint32_t framerate) : framerate_(framerate) {
    payload_ = 96;
    clock_rate_ = 90000;
}

std::string VP8Source::GetMediaDescription(uint16_t port) {
    char buf[100];
    snprintf(buf, sizeof(buf), "m=video %hu RTP/AVP 96", port);
    return buf;
}

std::string VP8Source::GetAttribute() {
    return "a=rtpmap:96 VP8/90000";
}

uint32_t VP8Source::GetTimestamp() {
    return static_cast<uint32_t>(SteadyClockMs() * 90);
}

bool VP8Source::HandleFrame(MediaChannelId channel, AVFrame frame) {
    if (frame.timestamp == 0) frame.timestamp = GetTimestamp();
    if (!frame.buffer) return true;
    const uint8_t* p = frame.buffer.get();
    uint32_t remaining = frame.size;
    uint8_t descriptor = 0x10;  // start of a partition, first packet only
    while (remaining > 0) {
        uint32_t chunk = remaining > kMaxRtpPayloadSize ? kMaxRtpPayloadSize : remaining;
        RtpPacket pkt;
        uint8_t* out = pkt.data.get() + kRtpPayloadOffset;
        out[0] = descriptor;
        memcpy(out + 1, p, chunk);
        pkt.size = kRtpPayloadOffset + 1 + chunk;
        pkt.timestamp = frame.timestamp;
        pkt.type = frame.type;
        remaining -= chunk;
        p += chunk;
        pkt.last = remaining == 0 ? 1 : 0;
        if (!SendPacket(channel, pkt)) return false;
        descriptor = 0x00;
    }
    return true;
}

}  // namespace mnet
