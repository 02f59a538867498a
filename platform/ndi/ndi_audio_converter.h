// Turns the audio a receiver got (planar float, or AAC packets with their compressed-packet header and
// AudioSpecificConfig as extra data) into planar float blocks of the rate and channel count a caller asks for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ndi_wire.h"

struct AVCodecContext;
struct AVFrame;
struct SwrContext;

namespace ndi_audio {

// Limits on what a source may announce.
constexpr int kMaxChannels = 16;
constexpr int kMinSampleRate = 8000;
constexpr int kMaxSampleRate = 192000;
constexpr uint32_t kMaxAudioConfigSize = 64;

class AudioConverter {
public:
    AudioConverter() = default;
    ~AudioConverter();
    AudioConverter(const AudioConverter&) = delete;
    AudioConverter& operator=(const AudioConverter&) = delete;

    // Adds one received audio frame; a malformed one is refused with a log line.
    void add(const ndi_wire::AudioFields& fields, const std::vector<uint8_t>& payload);
    // samples x channels planar floats at rate (channel after channel) when that much has arrived; else false
    // and nothing is consumed. A rate or channel count of 0 means the source's.
    bool take(int rate, int channels, int samples, std::vector<float>* out, int* out_rate, int* out_channels);

    int source_rate() const { return source_rate_; }
    int source_channels() const { return source_channels_; }

private:
    void add_planar(int rate, int channels, int samples, const float* const* planes, size_t plane_step);
    void decode_aac(const ndi_wire::AudioFields& fields, const std::vector<uint8_t>& payload);
    bool open_aac(const uint8_t* config, size_t size);
    void close_resampler();

    AVCodecContext* aac_ = nullptr;
    AVFrame* frame_ = nullptr;
    std::vector<uint8_t> aac_config_;
    SwrContext* swr_ = nullptr;
    int source_rate_ = 0;
    int source_channels_ = 0;
    std::vector<std::vector<float>> source_;  // per channel, source format
    int out_rate_ = 0;
    int out_channels_ = 0;
    std::vector<std::vector<float>> converted_;  // per channel, the format last asked for
};

}  // namespace ndi_audio
