#include "h265_source.h"

#include <cstdio>

namespace mnet {

std::unique_ptr<H265Source> H265Source::Create(uint32_t framerate) {
    return std::unique_ptr<H265Source>(new H265Source(framerate));
}

H265Source::H265Source(uint32_t framerate) : framerate_(framerate) {
    payload_ = 96;
    media_type_ = H265;
    clock_rate_ = 90000;
}

std::string H265Source::GetMediaDescription(uint16_t port) {
    char buf[100];
    snprintf(buf, sizeof(buf), "m=video %hu RTP/AVP 96", port);
    return buf;
}

std::string H265Source::GetAttribute() {
    return "a=rtpmap:96 H265/90000";
}

uint32_t H265Source::GetTimestamp() {
    return static_cast<uint32_t>(SteadyClockMs() * 90);
}

bool H265Source::HandleFrame(MediaChannelId channel, AVFrame frame) {
    if (frame.timestamp == 0) frame.timestamp = GetTimestamp();
    if (!frame.buffer || frame.size == 0) return true;

    std::vector<NalUnit> units = SplitNalUnits(frame.buffer.get(), frame.size);
    for (size_t i = 0; i < units.size(); ++i) {
        if (!SendNalUnit(channel, units[i], frame, i + 1 == units.size())) return false;
    }
    return true;
}

bool H265Source::SendNalUnit(MediaChannelId channel, const NalUnit& nal, const AVFrame& frame, bool last_of_frame) {
    // Payload header of type 49 keeping the F bit and the top layer-id bit; a unit too short to carry the
    // two-byte header goes whole.
    uint8_t payload_header[2] = {static_cast<uint8_t>((nal.data[0] & 0x81) | (kFu << 1)),
                                 nal.size > 1 ? nal.data[1] : static_cast<uint8_t>(0)};
    return PacketizeNalUnit(channel, nal.data, nal.size, frame, last_of_frame, payload_header, 2,
                            static_cast<uint8_t>((nal.data[0] >> 1) & 0x3F), 2);
}

}  // namespace mnet
