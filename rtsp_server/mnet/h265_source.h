// H.265 over RTP (RFC 7798): each NAL unit as a single packet, or as FU fragments (type 49) when it is
// larger than one payload, the marker on the access unit's last packet.
#pragma once

#include <memory>

#include "media_source.h"
#include "nal_unit.h"

namespace mnet {

class H265Source : public MediaSource {
public:
    static constexpr uint8_t kFu = 49;

    static std::unique_ptr<H265Source> Create(uint32_t framerate = 25);
    explicit H265Source(uint32_t framerate);
    ~H265Source() override = default;

    std::string GetMediaDescription(uint16_t port) override;
    std::string GetAttribute() override;
    // The access unit's start codes are removed; bytes without a start code are sent as one NAL unit.
    bool HandleFrame(MediaChannelId channel, AVFrame frame) override;

    static uint32_t GetTimestamp();

    uint32_t GetFramerate() const { return framerate_; }

private:
    bool SendNalUnit(MediaChannelId channel, const NalUnit& nal, const AVFrame& frame, bool last_of_frame);

    uint32_t framerate_;
};

}  // namespace mnet
