// The block resampler: every input form the devices and network paths give (8 to 96 kHz, 1 to 8 channels,
// S16, S32 and float) to 48 kHz stereo S16 with the tone kept, plus the buffer geometry of a block.
#include "audio_resample.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "audio_test_support.h"

namespace {

constexpr uint32_t kCodeS16 = 1;
constexpr uint32_t kCodeS32 = 3;
constexpr uint32_t kCodeFloat = 7;

// One block of 1024 frames of a sine in the given form, starting at frame `start`.
std::vector<uint8_t> sine_block(uint32_t code, int channels, int rate, double frequency, double amplitude, int start) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < kResampleBlockFrames; ++i) {
        const double value = amplitude * std::sin(2 * M_PI * frequency * (start + i) / rate);
        for (int c = 0; c < channels; ++c) {
            uint8_t sample[4];
            size_t size = 4;
            if (code == kCodeS16) {
                const auto v = static_cast<int16_t>(std::lround(value * 32767));
                std::memcpy(sample, &v, size = 2);
            } else if (code == kCodeS32) {
                const auto v = static_cast<int32_t>(std::lround(value * 2147483647.0));
                std::memcpy(sample, &v, size);
            } else {
                const auto v = static_cast<float>(value);
                std::memcpy(sample, &v, size);
            }
            bytes.insert(bytes.end(), sample, sample + size);
        }
    }
    return bytes;
}

TEST(AudioResample, EveryInputFormBecomes48kStereoS16WithTheSameTone) {
    const int rates[] = {8000, 16000, 22050, 44100, 48000, 96000};
    const int channel_counts[] = {1, 2, 3, 6, 8};
    const uint32_t codes[] = {kCodeS16, kCodeS32, kCodeFloat};
    constexpr double kTone = 440;
    constexpr int kBlocks = 8;
    for (int rate : rates) {
        for (int channels : channel_counts) {
            for (uint32_t code : codes) {
                SCOPED_TRACE(testing::Message() << rate << " Hz, " << channels << " ch, code " << code);
                AudioResampleHandle* handle = nullptr;
                ASSERT_EQ(AudioResample_Init(&handle, channels, rate, code, 2, 48000, kCodeS16), 1);
                std::vector<uint8_t> output;
                for (int b = 0; b < kBlocks; ++b) {
                    const std::vector<uint8_t> in = sine_block(code, channels, rate, kTone, 0.5, b * kResampleBlockFrames);
                    ASSERT_EQ(in.size(), handle->src_block_bytes);
                    std::vector<uint8_t> out(AudioResample_OutputBound(handle));
                    uint32_t length = 0;
                    ASSERT_EQ(AudioResample_Convert(handle, in.data(), static_cast<uint32_t>(in.size()), out.data(),
                                                    static_cast<uint32_t>(out.size()), &length), 1);
                    ASSERT_LE(length, out.size());
                    ASSERT_EQ(length % 4, 0u);
                    output.insert(output.end(), out.begin(), out.begin() + length);
                }
                const double expected_frames = kBlocks * kResampleBlockFrames * 48000.0 / rate;
                EXPECT_NEAR(output.size() / 4.0, expected_frames, 256.0);  // the filter holds a little back
                const std::vector<int16_t> left = channel_of(output, 2, 0);
                const std::vector<int16_t> right = channel_of(output, 2, 1);
                // Past the resampler's start-up, the tone and its level are kept.
                const std::vector<int16_t> steady(left.begin() + static_cast<long>(left.size() / 4), left.end());
                EXPECT_NEAR(tone_frequency(steady, 48000), kTone, kTone * 0.01);
                if (channels <= 2) {
                    EXPECT_NEAR(peak_level(steady), 16384, 16384 * 0.05);
                }
                EXPECT_GT(peak_level(steady), 1000);
                if (channels == 1) {
                    EXPECT_EQ(left, right);  // mono is duplicated
                }
                AudioResample_Uninit(&handle);
                EXPECT_EQ(handle, nullptr);
            }
        }
    }
}

TEST(AudioResample, BlockGeometry) {
    AudioResampleHandle* same = nullptr;
    ASSERT_EQ(AudioResample_InitS16(&same, 2, 48000, 0, 2, 48000, 0), 1);
    const std::vector<uint8_t> block = sine_s16(1000, 48000, 2, 1024, 1000);
    std::vector<uint8_t> out(AudioResample_OutputBound(same));
    uint32_t length = 0;
    ASSERT_EQ(AudioResample_Convert(same, block.data(), 4096, out.data(), static_cast<uint32_t>(out.size()), &length), 1);
    EXPECT_EQ(length, 4096u);  // equal rates: 1024 frames out
    // A short block still converts a whole block of 1024 frames.
    ASSERT_EQ(AudioResample_Convert(same, block.data(), 100, out.data(), static_cast<uint32_t>(out.size()), &length), 1);
    EXPECT_EQ(length, 4096u);
    AudioResample_Uninit(&same);

    AudioResampleHandle* up = nullptr;
    ASSERT_EQ(AudioResample_InitS16(&up, 1, 44100, 0, 2, 48000, 0), 1);
    EXPECT_EQ(up->max_dst_nb_samples, 1115);  // 1024 x 48000 / 44100, rounded up
    const std::vector<uint8_t> mono = sine_s16(1000, 44100, 1, 1024, 1000);
    for (int i = 0; i < 20; ++i) {
        std::vector<uint8_t> up_out(AudioResample_OutputBound(up));
        ASSERT_EQ(AudioResample_Convert(up, mono.data(), 2048, up_out.data(), static_cast<uint32_t>(up_out.size()),
                                        &length), 1);
    }
    EXPECT_GE(up->reallocations, 1);  // the resampler's delay asked for more room once
    AudioResample_Uninit(&up);
}

TEST(AudioResample, FloatStereoToS16IsSampleForSample) {
    AudioResampleHandle* handle = nullptr;
    ASSERT_EQ(AudioResample_Init(&handle, 2, 48000, 8, 2, 48000, 2), 1);
    std::vector<float> in(2048);
    for (size_t i = 0; i < in.size(); ++i) in[i] = (i % 2 == 0 ? 0.5f : -0.25f) * static_cast<float>(i % 7) / 6;
    std::vector<uint8_t> out(AudioResample_OutputBound(handle));
    uint32_t length = 0;
    ASSERT_EQ(AudioResample_Convert(handle, reinterpret_cast<const uint8_t*>(in.data()), 8192, out.data(),
                                    static_cast<uint32_t>(out.size()), &length), 1);
    ASSERT_EQ(length, 4096u);
    for (size_t i = 0; i < in.size(); ++i) {
        int16_t sample;
        std::memcpy(&sample, &out[i * 2], 2);
        EXPECT_NEAR(sample, in[i] * 32768, 1.0) << i;
    }
    AudioResample_Uninit(&handle);
}

TEST(AudioResample, BoundsAreKeptOnBothSides) {
    AudioResampleHandle* handle = nullptr;
    ASSERT_EQ(AudioResample_InitS16(&handle, 4, 8000, 0, 2, 48000, 0), 1);
    // More input than one block is cut to the block; output never passes the given capacity.
    const std::vector<uint8_t> big = sine_s16(500, 8000, 4, 4096, 1000);
    std::vector<uint8_t> small(1000);
    uint32_t length = 0;
    ASSERT_EQ(AudioResample_Convert(handle, big.data(), static_cast<uint32_t>(big.size()), small.data(),
                                    static_cast<uint32_t>(small.size()), &length), 1);
    EXPECT_LE(length, 1000u);
    EXPECT_GE(AudioResample_OutputBound(handle), 6144u * 4);  // what was held back comes out next time
    AudioResample_Uninit(&handle);

    struct Case {
        int src_channels;
        int src_rate;
        int dst_channels;
        int dst_rate;
    };
    const Case refused[] = {{0, 48000, 2, 48000}, {9, 48000, 2, 48000}, {2, 0, 2, 48000},
                            {2, 800000, 2, 48000}, {2, 48000, 0, 48000}, {2, 48000, 2, -1}};
    for (const Case& c : refused) {
        AudioResampleHandle* none = reinterpret_cast<AudioResampleHandle*>(0x1);
        EXPECT_EQ(AudioResample_InitS16(&none, c.src_channels, c.src_rate, 0, c.dst_channels, c.dst_rate, 0), 0);
        EXPECT_EQ(none, nullptr);
    }
    uint8_t out[16];
    EXPECT_EQ(AudioResample_Convert(nullptr, out, 16, out, 16, &length), 0);
    AudioResample_Uninit(nullptr);
}

TEST(AudioResample, FormatCodes) {
    EXPECT_EQ(AudioResample_MapFormat(0), AV_SAMPLE_FMT_U8);
    for (uint32_t code : {3u, 4u, 5u, 6u}) EXPECT_EQ(AudioResample_MapFormat(code), AV_SAMPLE_FMT_S32);
    for (uint32_t code : {7u, 8u}) EXPECT_EQ(AudioResample_MapFormat(code), AV_SAMPLE_FMT_FLT);
    for (uint32_t code : {1u, 2u, 9u, 0xFFFFFFFFu}) EXPECT_EQ(AudioResample_MapFormat(code), AV_SAMPLE_FMT_S16);
}

// The record-and-play copy: signed 16-bit on both sides whatever the codes say, and the same conversion as
// the main path, block for block.
TEST(AudioResample, RecordCopyConvertsAsTheMainPathInS16) {
    AudioResampleHandle* copy = nullptr;
    AudioResampleHandle* main_path = nullptr;
    // Float codes are not honoured by the copy: it is S16 in and out.
    ASSERT_EQ(audioresample_init(&copy, 1, 44100, kCodeFloat, 2, 48000, kCodeFloat), 1);
    ASSERT_EQ(AudioResample_InitS16(&main_path, 1, 44100, kCodeS16, 2, 48000, kCodeS16), 1);
    EXPECT_EQ(copy->src_sample_fmt, AV_SAMPLE_FMT_S16);
    EXPECT_EQ(copy->dst_sample_fmt, AV_SAMPLE_FMT_S16);
    for (int b = 0; b < 4; ++b) {
        const std::vector<uint8_t> in = sine_block(kCodeS16, 1, 44100, 1000, 0.5, b * kResampleBlockFrames);
        std::vector<uint8_t> a(AudioResample_OutputBound(copy));
        std::vector<uint8_t> m(AudioResample_OutputBound(main_path));
        uint32_t a_length = 0;
        uint32_t m_length = 0;
        ASSERT_EQ(audioresample_convert(copy, in.data(), static_cast<uint32_t>(in.size()), a.data(),
                                        static_cast<uint32_t>(a.size()), &a_length), 1);
        ASSERT_EQ(AudioResample_Convert(main_path, in.data(), static_cast<uint32_t>(in.size()), m.data(),
                                        static_cast<uint32_t>(m.size()), &m_length), 1);
        ASSERT_EQ(a_length, m_length);
        EXPECT_EQ(std::memcmp(a.data(), m.data(), a_length), 0) << "block " << b;
    }
    uint32_t length = 0;
    uint8_t out[16];
    EXPECT_EQ(audioresample_convert(nullptr, out, 4, out, sizeof(out), &length), 0);
    audioresample_uninit(&copy);
    EXPECT_EQ(copy, nullptr);
    audioresample_uninit(&copy);  // a null handle: nothing
    AudioResample_Uninit(&main_path);
    AudioResampleHandle* refused = nullptr;
    EXPECT_EQ(audioresample_init(&refused, 0, 48000, kCodeS16, 2, 48000, kCodeS16), 0);
    EXPECT_EQ(refused, nullptr);
}

}  // namespace
