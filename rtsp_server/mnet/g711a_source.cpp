#include "g711a_source.h"

#include <cstdio>
#include <cstring>

namespace mnet {

std::unique_ptr<G711ASource> G711ASource::Create() {
    return std::unique_ptr<G711ASource>(new G711ASource());
}

G711ASource::G711ASource() {
    payload_ = 8;
    media_type_ = PCMA;
    clock_rate_ = 8000;
}

std::string G711ASource::GetMediaDescription(uint16_t port) {
    char buf[100];
    snprintf(buf, sizeof(buf), "m=audio %hu RTP/AVP 8", port);
    return buf;
}

std::string G711ASource::GetAttribute() {
    return "a=rtpmap:8 PCMA/8000/1";
}

uint32_t G711ASource::GetTimestamp() {
    return static_cast<uint32_t>(SteadyClockMs() * 8);
}

bool G711ASource::HandleFrame(MediaChannelId channel, AVFrame frame) {
    if (!frame.buffer || frame.size > kMaxRtpPayloadSize) return false;
    RtpPacket pkt;
    memcpy(pkt.data.get() + kRtpPayloadOffset, frame.buffer.get(), frame.size);
    pkt.size = frame.size + kRtpPayloadOffset;
    pkt.timestamp = frame.timestamp;
    pkt.type = frame.type;
    pkt.last = 1;
    SendPacket(channel, pkt);
    return true;
}

}  // namespace mnet
