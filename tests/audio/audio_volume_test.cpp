// Volume gains and scaling (truncation, held at the 16-bit limits) and the weighted mixer.
#include "audio_volume.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> s16(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> bytes(samples.size() * 2);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

std::vector<int16_t> samples_of(const std::vector<uint8_t>& bytes, size_t count) {
    std::vector<int16_t> samples(count);
    std::memcpy(samples.data(), bytes.data(), count * 2);
    return samples;
}

TEST(AudioVolume, GainsStepTwoDecibelsFromMinus48ToPlus26) {
    for (int i = 0; i < kVolumeIndexCount; ++i)
        EXPECT_NEAR(audio_volume_gains[i], std::pow(10.0, (2.0 * i - 48) / 20), 1e-6 * std::max(1.0, audio_volume_gains[i] * 1.0)) << i;
    EXPECT_FLOAT_EQ(audio_volume_gains[0], 0.003981f);
    EXPECT_FLOAT_EQ(audio_volume_gains[14], 0.1f);
    EXPECT_FLOAT_EQ(audio_volume_gains[24], 1.0f);
    EXPECT_FLOAT_EQ(audio_volume_gains[34], 10.0f);
    EXPECT_FLOAT_EQ(audio_volume_gains[37], 19.952621f);
}

TEST(AudioVolume, ScalingTruncatesAndHoldsAtThe16BitLimits) {
    struct Case {
        int index;
        std::vector<int16_t> in;
        std::vector<int16_t> out;
    };
    const Case cases[] = {
        {24, {1234, -1234, 32767, -32768}, {1234, -1234, 32767, -32768}},
        {14, {1234, -1234, 9, -9}, {123, -123, 0, 0}},
        {37, {2000, -2000, 1000, 0}, {32767, -32768, 19952, 0}},  // 2000 x 19.95 would wrap to -25631
        {30, {10000, -10000}, {32767, -32768}},
        {0, {32767, -32768}, {130, -130}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        std::vector<uint8_t> bytes = s16(c.in);
        EXPECT_EQ(audio_pcm_apply_volume(kVolumeFormatS16, bytes.data(), static_cast<int>(bytes.size()), c.index), 1);
        EXPECT_EQ(samples_of(bytes, c.in.size()), c.out);
    }
}

TEST(AudioVolume, RefusedArgumentsLeaveTheBuffer) {
    std::vector<uint8_t> bytes = s16({1000, -1000});
    const std::vector<uint8_t> before = bytes;
    EXPECT_EQ(audio_pcm_apply_volume(0, bytes.data(), 4, 30), -1);
    EXPECT_EQ(audio_pcm_apply_volume(kVolumeFormatS16, bytes.data(), 4, 38), -1);
    EXPECT_EQ(audio_pcm_apply_volume(kVolumeFormatS16, bytes.data(), 4, -1), -1);
    EXPECT_EQ(audio_pcm_apply_volume(kVolumeFormatS16, nullptr, 4, 30), -1);
    EXPECT_EQ(bytes, before);
    // Only the given length is scaled: the second sample stays.
    EXPECT_EQ(audio_pcm_apply_volume(kVolumeFormatS16, bytes.data(), 2, 14), 1);
    EXPECT_EQ(samples_of(bytes, 2), std::vector<int16_t>({100, -1000}));
}

TEST(AudioMixer, WeightedSumsHeldAtTheLimitsAndShortSourcesSilent) {
    const std::vector<uint8_t> a = s16({1000, 2000, 30000, -30000});
    const std::vector<uint8_t> b = s16({3000, -2000, 30000, -30000});
    const std::vector<uint8_t> short_source = s16({100});
    struct Case {
        const char* what;
        std::vector<const uint8_t*> sources;
        std::vector<uint32_t> lengths;
        std::vector<float> weights;
        std::vector<int16_t> out;
    };
    const Case cases[] = {
        {"half and half", {a.data(), b.data()}, {8, 8}, {0.5f, 0.5f}, {2000, 0, 30000, -30000}},
        {"too much weight is used all the same", {a.data(), b.data()}, {8, 8}, {1.0f, 1.0f}, {4000, 0, 32767, -32768}},
        {"a null source is silent", {a.data(), nullptr}, {8, 8}, {0.5f, 0.5f}, {500, 1000, 15000, -15000}},
        {"a short source is silent past its end", {a.data(), short_source.data()}, {8, 2}, {1.0f, 1.0f},
         {1100, 2000, 30000, -30000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> out(8, 0);
        const int written = audio_mixer_n_dev_pcm(static_cast<int>(c.sources.size()), 2, 0, c.sources.data(),
                                                  c.lengths.data(), c.weights.data(), out.data(), 8);
        EXPECT_EQ(written, 8);
        EXPECT_EQ(samples_of(out, 4), c.out);
    }
    std::vector<uint8_t> out(8, 0);
    EXPECT_EQ(audio_mixer_2_dev_pcm(2, 0, a.data(), 8, b.data(), 8, out.data(), 8, 0.5f, 0.5f), 8);
    EXPECT_EQ(samples_of(out, 4), std::vector<int16_t>({2000, 0, 30000, -30000}));
}

TEST(AudioMixer, RefusesWhatItCannotMix) {
    const std::vector<uint8_t> a = s16({1000, 2000});
    const uint8_t* sources[] = {a.data()};
    const uint32_t lengths[] = {4};
    const uint32_t no_lengths[] = {0};
    const float weights[] = {1.0f};
    std::vector<uint8_t> out(4);
    EXPECT_EQ(audio_mixer_n_dev_pcm(0, 2, 0, sources, lengths, weights, out.data(), 4), 0);
    EXPECT_EQ(audio_mixer_n_dev_pcm(1, 2, 1, sources, lengths, weights, out.data(), 4), 0);
    EXPECT_EQ(audio_mixer_n_dev_pcm(1, 2, 0, sources, no_lengths, weights, out.data(), 4), 0);
    EXPECT_EQ(audio_mixer_n_dev_pcm(1, 2, 0, sources, lengths, weights, nullptr, 4), 0);
    EXPECT_EQ(audio_mixer_2_dev_pcm(2, 0, a.data(), 4, nullptr, 4, out.data(), 4, 0.5f, 0.5f), 0);
    // The output length bounds the mix.
    EXPECT_EQ(audio_mixer_n_dev_pcm(1, 2, 0, sources, lengths, weights, out.data(), 2), 2);
}

}  // namespace
