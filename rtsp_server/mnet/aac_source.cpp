#include "aac_source.h"

#include <cstdio>
#include <cstring>

namespace mnet {

namespace {

// MPEG-4 Audio sampling-frequency table.
constexpr uint32_t kAacSampleRates[16] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050,
                                          16000, 12000, 11025, 8000,  7350,  0,     0,     0};

}  // namespace

std::unique_ptr<AACSource> AACSource::Create(uint32_t samplerate, uint32_t channels, bool has_adts) {
    return std::unique_ptr<AACSource>(new AACSource(samplerate, channels, has_adts));
}

AACSource::AACSource(uint32_t samplerate, uint32_t channels, bool has_adts)
    : samplerate_(samplerate), channels_(channels), has_adts_(has_adts) {
    payload_ = 97;
    media_type_ = AAC;
    clock_rate_ = samplerate;
}

std::string AACSource::GetMediaDescription(uint16_t port) {
    char buf[100];
    snprintf(buf, sizeof(buf), "m=audio %hu RTP/AVP 97", port);
    return buf;
}

std::string AACSource::GetAttribute() {
    int index = -1;
    for (int i = 0; i < 16; ++i) {
        if (kAacSampleRates[i] == samplerate_) {
            index = i;
            break;
        }
    }
    if (index < 0) return std::string();

    char buf[500];
    int n = snprintf(buf, sizeof(buf), "a=rtpmap:97 MPEG4-GENERIC/%u/%u\r\n", samplerate_, channels_);
    uint8_t config0 = static_cast<uint8_t>(0x10 | (index >> 1));
    uint8_t config1 = static_cast<uint8_t>(((index & 1) << 7) | ((channels_ & 0x1F) << 3));
    snprintf(buf + n, sizeof(buf) - static_cast<size_t>(n),
             "a=fmtp:97 profile-level-id=1;mode=AAC-hbr;sizelength=13;indexlength=3;indexdeltalength=3;"
             "config=%02x%02x",
             config0, config1);
    return buf;
}

uint32_t AACSource::GetTimestamp(uint32_t samplerate) {
    return static_cast<uint32_t>(SteadyClockMs() * static_cast<int64_t>(samplerate) / 1000);
}

bool AACSource::HandleFrame(MediaChannelId channel, AVFrame frame) {
    if (!frame.buffer || frame.size > kMaxFrameSize) return false;
    const uint8_t* au = frame.buffer.get();
    uint32_t au_size = frame.size;
    if (has_adts_) {
        if (au_size < kAdtsHeaderSize) return false;
        au += kAdtsHeaderSize;
        au_size -= kAdtsHeaderSize;
    }

    RtpPacket pkt;
    uint8_t* out = pkt.data.get() + kRtpPayloadOffset;
    out[0] = 0x00;
    out[1] = 0x10;  // AU-headers-length: one 16-bit AU header
    out[2] = static_cast<uint8_t>((au_size & 0x1FE0) >> 5);
    out[3] = static_cast<uint8_t>((au_size & 0x1F) << 3);
    memcpy(out + 4, au, au_size);
    pkt.size = kRtpPayloadOffset + 4 + au_size;
    pkt.timestamp = frame.timestamp;
    pkt.type = frame.type;
    pkt.last = 1;
    SendPacket(channel, pkt);
    return true;
}

}  // namespace mnet
