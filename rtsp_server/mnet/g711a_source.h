// G.711 A-law over RTP: one frame per packet, 8000 Hz mono.
#pragma once

#include <memory>

#include "media_source.h"

namespace mnet {

class G711ASource : public MediaSource {
public:
    static std::unique_ptr<G711ASource> Create();
    G711ASource();
    ~G711ASource() override = default;

    std::string GetMediaDescription(uint16_t port) override;
    std::string GetAttribute() override;
    // Refuses frames larger than one payload; a timestamp of 0 is kept.
    bool HandleFrame(MediaChannelId channel, AVFrame frame) override;

    static uint32_t GetTimestamp();

    uint32_t GetSamplerate() const { return samplerate_; }
    uint32_t GetChannels() const { return channels_; }

private:
    uint32_t samplerate_ = 8000;
    uint32_t channels_ = 1;
};

}  // namespace mnet
