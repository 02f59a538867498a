// AAC over RTP (RFC 3640, AAC-hbr): one access unit per packet behind a 16-bit AU-headers-length and one
// AU header (13-bit size, 3-bit index).
#pragma once

#include <memory>

#include "media_source.h"

namespace mnet {

class AACSource : public MediaSource {
public:
    static constexpr uint32_t kAdtsHeaderSize = 7;
    // Largest frame taken, its ADTS header counted: the access unit and its 4 header bytes fit one payload.
    static constexpr uint32_t kMaxFrameSize = kMaxRtpPayloadSize - 4;

    static std::unique_ptr<AACSource> Create(uint32_t samplerate = 44100, uint32_t channels = 2, bool has_adts = true);
    AACSource(uint32_t samplerate, uint32_t channels, bool has_adts);
    ~AACSource() override = default;

    std::string GetMediaDescription(uint16_t port) override;
    // Empty for a sample rate outside the MPEG-4 Audio table.
    std::string GetAttribute() override;
    // Refuses frames above kMaxFrameSize (and, with ADTS, frames shorter than the header). A timestamp of 0
    // is kept.
    bool HandleFrame(MediaChannelId channel, AVFrame frame) override;

    // Now, in units of 1/samplerate s.
    static uint32_t GetTimestamp(uint32_t samplerate = 44100);

    uint32_t GetSamplerate() const { return samplerate_; }
    uint32_t GetChannels() const { return channels_; }

private:
    uint32_t samplerate_;
    uint32_t channels_;
    bool has_adts_;
};

}  // namespace mnet
