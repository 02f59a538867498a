// Signals for the audio tests: sines made at test time and the measures the tests check them by (tone
// frequency from zero crossings, peak level), over interleaved 16-bit PCM.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// Interleaved S16 sine of `frames` frames, the same tone on every channel.
inline std::vector<uint8_t> sine_s16(double frequency, int rate, int channels, int frames, double amplitude) {
    std::vector<uint8_t> bytes(static_cast<size_t>(frames) * channels * 2);
    for (int i = 0; i < frames; ++i) {
        const auto sample = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * M_PI * frequency * i / rate)));
        for (int c = 0; c < channels; ++c) std::memcpy(&bytes[(static_cast<size_t>(i) * channels + c) * 2], &sample, 2);
    }
    return bytes;
}

// Channel `channel` of interleaved S16 bytes.
inline std::vector<int16_t> channel_of(const uint8_t* bytes, size_t size, int channels, int channel) {
    std::vector<int16_t> samples;
    for (size_t offset = static_cast<size_t>(channel) * 2; offset + 1 < size; offset += static_cast<size_t>(channels) * 2) {
        int16_t sample;
        std::memcpy(&sample, bytes + offset, 2);
        samples.push_back(sample);
    }
    return samples;
}
inline std::vector<int16_t> channel_of(const std::vector<uint8_t>& bytes, int channels, int channel) {
    return channel_of(bytes.data(), bytes.size(), channels, channel);
}

// The tone's frequency from the rising zero crossings (interpolated) between the first and the last.
inline double tone_frequency(const std::vector<double>& samples, int rate) {
    double first = -1;
    double last = -1;
    int crossings = 0;
    for (size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            const double at = static_cast<double>(i - 1) + (-samples[i - 1]) / (samples[i] - samples[i - 1]);
            if (first < 0) first = at;
            last = at;
            ++crossings;
        }
    }
    if (crossings < 2) return 0;
    return static_cast<double>(crossings - 1) * rate / (last - first);
}
inline double tone_frequency(const std::vector<int16_t>& samples, int rate) {
    return tone_frequency(std::vector<double>(samples.begin(), samples.end()), rate);
}

inline int peak_level(const std::vector<int16_t>& samples) {
    int peak = 0;
    for (int16_t s : samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
    return peak;
}

// Root mean square; a sine of amplitude A gives A / sqrt(2). Unlike the peak it is not thrown by the
// overshoot a resampler makes at a jump in the signal.
inline double rms_level(const std::vector<int16_t>& samples) {
    double sum = 0;
    for (int16_t s : samples) sum += static_cast<double>(s) * s;
    return samples.empty() ? 0 : std::sqrt(sum / samples.size());
}
