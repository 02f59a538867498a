#include "h264_source.h"

#include <cstdio>

namespace mnet {

std::unique_ptr<H264Source> H264Source::Create(uint32_t framerate) {
    return std::unique_ptr<H264Source>(new H264Source(framerate));
}

H264Source::H264Source(uint32_t framerate) : framerate_(framerate) {
    payload_ = 96;
    media_type_ = H264;
    clock_rate_ = 90000;
}

std::string H264Source::GetMediaDescription(uint16_t port) {
    char buf[100];
    snprintf(buf, sizeof(buf), "m=video %hu RTP/AVP 96", port);
    return buf;
}

std::string H264Source::GetAttribute() {
    return "a=rtpmap:96 H264/90000";
}

uint32_t H264Source::GetTimestamp() {
    return static_cast<uint32_t>(SteadyClockMs() * 90);
}

bool H264Source::HandleFrame(MediaChannelId channel, AVFrame frame) {
    if (frame.timestamp == 0) frame.timestamp = GetTimestamp();
    if (!frame.buffer || frame.size == 0) return true;

    std::vector<NalUnit> units;
    for (const NalUnit& nal : SplitNalUnits(frame.buffer.get(), frame.size)) {
        if ((nal.data[0] & 0x1F) != 0) units.push_back(nal);
    }
    for (size_t i = 0; i < units.size(); ++i) {
        if (!SendNalUnit(channel, units[i], frame, i + 1 == units.size())) return false;
    }
    return true;
}

bool H264Source::SendNalUnit(MediaChannelId channel, const NalUnit& nal, const AVFrame& frame, bool last_of_frame) {
    const uint8_t fu_indicator = static_cast<uint8_t>((nal.data[0] & 0xE0) | kFuA);
    return PacketizeNalUnit(channel, nal.data, nal.size, frame, last_of_frame, &fu_indicator, 1,
                            static_cast<uint8_t>(nal.data[0] & 0x1F), 1);
}

}  // namespace mnet
