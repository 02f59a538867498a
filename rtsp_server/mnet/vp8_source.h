// VP8 over RTP (RFC 7741) with the one-byte payload descriptor: the frame cut into payload-sized chunks.
#pragma once

#include <memory>

#include "media_source.h"

namespace mnet {

class VP8Source : public MediaSource {
public:
    static std::unique_ptr<VP8Source> Create(uint32_t framerate = 25);
    explicit VP8Source(uint32_t framerate);
    ~VP8Source() override = default;

    std::string GetMediaDescription(uint16_t port) override;
    std::string GetAttribute() override;
    bool HandleFrame(MediaChannelId channel, AVFrame frame) override;

    static uint32_t GetTimestamp();

    uint32_t GetFramerate() const { return framerate_; }

private:
    uint32_t framerate_;
};

}  // namespace mnet
