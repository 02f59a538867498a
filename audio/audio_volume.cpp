#include "audio_volume.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

const float audio_volume_gains[kVolumeIndexCount] = {
    0.003981f, 0.005012f, 0.006310f, 0.007943f, 0.010000f, 0.012589f, 0.015849f, 0.019953f,
    0.025119f, 0.031623f, 0.039811f, 0.050119f, 0.063096f, 0.079433f, 0.100000f, 0.125893f,
    0.158489f, 0.199526f, 0.251189f, 0.316228f, 0.398107f, 0.501187f, 0.630957f, 0.794328f,
    1.000000f, 1.258925f, 1.584893f, 1.995262f, 2.511886f, 3.162278f, 3.981072f, 5.011872f,
    6.309573f, 7.943282f, 10.000000f, 12.589254f, 15.848932f, 19.952621f,
};

namespace {

int16_t saturate16(float value) {
    if (value != value) return 0;  // NaN from a bad weight
    // Held at the limits; the conversion then truncates toward zero.
    return static_cast<int16_t>(std::clamp(value, -32768.0f, 32767.0f));
}

int16_t read_sample(const uint8_t* bytes, size_t index) {
    int16_t sample;
    std::memcpy(&sample, bytes + index * 2, sizeof(sample));
    return sample;
}

void write_sample(uint8_t* bytes, size_t index, int16_t sample) {
    std::memcpy(bytes + index * 2, &sample, sizeof(sample));
}

int mix(const char* name, int count, int channels, int format, const uint8_t* const* sources,
        const uint32_t* lengths, const float* weights, uint8_t* out, uint32_t out_length) {
    if (count <= 0 || sources == nullptr || lengths == nullptr || weights == nullptr || out == nullptr ||
        format != 0)
        return 0;
    uint32_t longest = 0;
    float total_weight = 0;
    for (int i = 0; i < count; ++i) {
        longest = std::max(longest, lengths[i]);
        total_weight += weights[i];
    }
    if (longest == 0) return 0;
    if (total_weight > 1.0f) std::printf("==vor %s err: total weight too larger, need <=1.0\n", name);
    const uint64_t limit = static_cast<uint64_t>(std::max(channels, 0)) * longest;
    uint64_t k = 0;
    for (; k < limit && 2 * k + 1 < out_length; ++k) {
        float acc = 0;
        for (int i = 0; i < count; ++i) {
            // Past its own length a source is silent: reading on would run off its buffer.
            if (sources[i] == nullptr || 2 * k + 1 >= lengths[i]) continue;
            acc = static_cast<float>(saturate16(acc + read_sample(sources[i], k) * weights[i]));
        }
        write_sample(out, k, saturate16(acc));
    }
    return static_cast<int>(2 * k);
}

}  // namespace

int audio_pcm_apply_volume(int format, uint8_t* buffer, int length, int index) {
    if (format != kVolumeFormatS16 || buffer == nullptr || index < 0 || index > kVolumeIndexMax) return -1;
    if (index == kVolumeIndexUnity) return 1;
    const float gain = audio_volume_gains[index];
    const int samples = std::max(length, 0) / 2;
    for (int i = 0; i < samples; ++i) write_sample(buffer, i, saturate16(read_sample(buffer, i) * gain));
    return 1;
}

int audio_mixer_n_dev_pcm(int count, int channels, int format, const uint8_t* const* sources,
                          const uint32_t* lengths, const float* weights, uint8_t* out, uint32_t out_length) {
    return mix("audio_mixer_n_dev_pcm", count, channels, format, sources, lengths, weights, out, out_length);
}

int audio_mixer_2_dev_pcm(int channels, int format, const uint8_t* src1, uint32_t len1, const uint8_t* src2,
                          uint32_t len2, uint8_t* out, uint32_t out_length, float w1, float w2) {
    if (src1 == nullptr || src2 == nullptr || len1 == 0 || len2 == 0) return 0;
    const uint8_t* sources[] = {src1, src2};
    const uint32_t lengths[] = {len1, len2};
    const float weights[] = {w1, w2};
    return mix("audio_mixer_2_dev_pcm", 2, channels, format, sources, lengths, weights, out, out_length);
}
