// H.264 over RTP (RFC 6184): each NAL unit of an access unit as a single-NAL packet, or as FU-A fragments
// when it is larger than one payload, the marker on the access unit's last packet.
#pragma once

#include <memory>

#include "media_source.h"
#include "nal_unit.h"

namespace mnet {

class H264Source : public MediaSource {
public:
    static constexpr uint8_t kFuA = 28;

    static std::unique_ptr<H264Source> Create(uint32_t framerate = 25);
    explicit H264Source(uint32_t framerate);
    ~H264Source() override = default;

    std::string GetMediaDescription(uint16_t port) override;
    std::string GetAttribute() override;
    // The access unit's start codes are removed and NAL units of type 0 (which players drop) are skipped;
    // bytes without a start code are sent as one NAL unit.
    bool HandleFrame(MediaChannelId channel, AVFrame frame) override;

    // Now, in 90 kHz units.
    static uint32_t GetTimestamp();

    uint32_t GetFramerate() const { return framerate_; }

private:
    bool SendNalUnit(MediaChannelId channel, const NalUnit& nal, const AVFrame& frame, bool last_of_frame);

    uint32_t framerate_;
};

}  // namespace mnet
