// The audio encode thread's hand-over loop with a real tone: PCM in the encoder vector is cut into
// 4096-byte blocks, encoded to AAC and handed on; ffmpeg decodes what came out and finds the tone again.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "../audio/aac_test_support.h"
#include "../audio/audio_test_support.h"
#include "../common/test_support.h"
#include "aacenc.h"
#include "audio_ctrl.h"
#include "media_tasks.h"

namespace {

constexpr int kRate = 48000;
constexpr double kLeftHz = 1000.0;
constexpr double kRightHz = 1500.0;

// seconds of 48000 Hz stereo, 16-bit: a different tone on each side, so a swap shows.
std::vector<uint8_t> stereo_tone(double seconds) {
    const size_t frames = static_cast<size_t>(seconds * kRate);
    std::vector<uint8_t> pcm(frames * 4);
    for (size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const int16_t left = static_cast<int16_t>(12000 * std::sin(2 * M_PI * kLeftHz * t));
        const int16_t right = static_cast<int16_t>(8000 * std::sin(2 * M_PI * kRightHz * t));
        pcm[i * 4 + 0] = static_cast<uint8_t>(left & 0xFF);
        pcm[i * 4 + 1] = static_cast<uint8_t>((left >> 8) & 0xFF);
        pcm[i * 4 + 2] = static_cast<uint8_t>(right & 0xFF);
        pcm[i * 4 + 3] = static_cast<uint8_t>((right >> 8) & 0xFF);
    }
    return pcm;
}

double rms(const std::vector<int16_t>& samples) {
    double sum = 0;
    for (int16_t v : samples) sum += static_cast<double>(v) * v;
    return samples.empty() ? 0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

TEST(AudioEncodeLoop, ATonePassesThroughTheHandOverAsAacOfTheSameTone) {
    AudioEncodeState state;
    state.encoder = aacenc_init(kRate, 2, 1);
    ASSERT_NE(state.encoder, nullptr);
    state.aac.assign(aacenc_get_max_output(state.encoder), 0);
    // The network-stream channel: always present, no sound card needed.
    audio_ctrl_set_source(kAudioChannelNetwork);
    audio_ctrl_clear_encode_pcm();

    // PCM that was waiting when the loop starts is stale: the first pass drops it.
    const std::vector<uint8_t> stale(3 * kAacFramePcmBytes, 0x55);
    audio_ctrl_push_encode_pcm(stale.data(), static_cast<int>(stale.size()));
    EXPECT_EQ(audio_encode_step(&state), AudioStep::Cleared);
    EXPECT_EQ(audio_ctrl_encode_pcm_size(), 0u);
    EXPECT_EQ(audio_encode_step(&state), AudioStep::Waiting) << "nothing queued";

    // Two seconds of tone, handed over in the odd sizes a mixer produces; a block waits until 4096 bytes are
    // there, and every whole block is taken.
    const std::vector<uint8_t> tone = stereo_tone(2.0);
    AacFrames frames;
    size_t given = 0;
    int encoded = 0;
    int passes = 0;
    const size_t chunk = 3000;
    while (given < tone.size() || audio_ctrl_encode_pcm_size() >= static_cast<uint32_t>(kAacFramePcmBytes)) {
        if (given < tone.size()) {
            const size_t n = std::min(chunk, tone.size() - given);
            audio_ctrl_push_encode_pcm(tone.data() + given, static_cast<int>(n));
            given += n;
        }
        const uint32_t before = audio_ctrl_encode_pcm_size();
        const AudioStep step = audio_encode_step(&state);
        ++passes;
        if (before < static_cast<uint32_t>(kAacFramePcmBytes)) {
            EXPECT_EQ(step, AudioStep::Waiting);
            EXPECT_EQ(audio_ctrl_encode_pcm_size(), before) << "a short block stays queued";
            continue;
        }
        EXPECT_EQ(audio_ctrl_encode_pcm_size(), before - kAacFramePcmBytes) << "one 4096-byte block per pass";
        if (step == AudioStep::Encoded) {
            ++encoded;
            ASSERT_GT(state.aac_size, 0);
            frames.emplace_back(state.aac.begin(), state.aac.begin() + state.aac_size);
        } else {
            EXPECT_EQ(step, AudioStep::Waiting) << "the encoder's start-up delay gives no frame";
        }
    }
    const int blocks = static_cast<int>(tone.size() / kAacFramePcmBytes);
    EXPECT_GE(encoded, blocks - 3) << "after the encoder's delay, every block gives a frame";
    EXPECT_LT(audio_ctrl_encode_pcm_size(), static_cast<uint32_t>(kAacFramePcmBytes));
    audio_ctrl_clear_encode_pcm();
    aacenc_close(state.encoder);

    // ffmpeg, the reference peer, decodes the frames (as ADTS: 48000 Hz is sampling index 3).
    TempDir dir;
    AacFrames adts;
    for (const auto& f : frames) adts.push_back(adts_wrap(f, 3, 2));
    write_bytes(dir.path() + "/out.aac", concat(adts));
    ASSERT_TRUE(run_ffmpeg("-i " + dir.path() + "/out.aac -f s16le -ar 48000 -ac 2 " + dir.path() + "/out.pcm"));
    const std::vector<uint8_t> decoded = read_bytes(dir.path() + "/out.pcm");
    ASSERT_GT(decoded.size(), tone.size() / 2);
    // The steady middle, past the encoder's start-up.
    const std::vector<uint8_t> middle(decoded.begin() + decoded.size() / 4, decoded.end() - decoded.size() / 4);
    const auto left = channel_of(middle, 2, 0);
    const auto right = channel_of(middle, 2, 1);
    EXPECT_NEAR(tone_frequency(left, kRate), kLeftHz, 2);
    EXPECT_NEAR(tone_frequency(right, kRate), kRightHz, 2);
    // Levels survive the coding: a sine of amplitude A has an RMS of A / sqrt(2).
    EXPECT_NEAR(rms(left), 12000 / std::sqrt(2.0), 1500);
    EXPECT_NEAR(rms(right), 8000 / std::sqrt(2.0), 1000);
}

}  // namespace
