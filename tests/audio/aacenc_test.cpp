// The AAC encoder of the audio road: which input formats it takes, the frame pattern of its calls, and a
// known two-tone signal through it, decoded by ffmpeg and by our own decoder, tone and level compared.
#include "aacenc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "aac2pcm.h"
#include "aac_test_support.h"
#include "audio_test_support.h"
#include "test_support.h"

namespace {

constexpr int kLeftHz = 1000;
constexpr int kLeftAmplitude = 10000;
constexpr int kRightHz = 1500;
constexpr int kRightAmplitude = 5000;

// Two seconds of 48000 Hz stereo with a different tone and level on each side (so a swap shows).
std::vector<uint8_t> two_tones() {
    const int frames = 2 * 48000;
    std::vector<uint8_t> pcm(static_cast<size_t>(frames) * 4);
    for (int i = 0; i < frames; ++i) {
        const auto l = static_cast<int16_t>(std::lround(kLeftAmplitude * std::sin(2 * M_PI * kLeftHz * i / 48000.0)));
        const auto r = static_cast<int16_t>(std::lround(kRightAmplitude * std::sin(2 * M_PI * kRightHz * i / 48000.0)));
        std::memcpy(&pcm[static_cast<size_t>(i) * 4], &l, 2);
        std::memcpy(&pcm[static_cast<size_t>(i) * 4 + 2], &r, 2);
    }
    return pcm;
}

// Encodes 4096 bytes per call, as the audio encode thread does; returns the raw frames.
AacFrames encode_blocks(aacenc_ctx* ctx, const std::vector<uint8_t>& pcm) {
    AacFrames frames;
    std::vector<uint8_t> out(aacenc_get_max_output(ctx));
    for (size_t at = 0; at + 4096 <= pcm.size(); at += 4096) {
        const int n = aacenc_encode(ctx, pcm.data() + at, 4096, out.data());
        EXPECT_GE(n, 0);
        if (n > 0) frames.emplace_back(out.begin(), out.begin() + n);
    }
    return frames;
}

// Tone and level of both channels of 48000 Hz stereo S16, past the codec's start-up.
void expect_two_tones(const std::vector<uint8_t>& pcm, const char* who) {
    ASSERT_GT(pcm.size(), 48000u * 4) << who;
    const std::vector<uint8_t> steady(pcm.begin() + 8192 * 4, pcm.end() - 4096 * 4);
    const auto left = channel_of(steady, 2, 0);
    const auto right = channel_of(steady, 2, 1);
    EXPECT_NEAR(tone_frequency(left, 48000), kLeftHz, 2) << who;
    EXPECT_NEAR(tone_frequency(right, 48000), kRightHz, 2) << who;
    EXPECT_NEAR(rms_level(left), kLeftAmplitude / std::sqrt(2.0), kLeftAmplitude * 0.07) << who;
    EXPECT_NEAR(rms_level(right), kRightAmplitude / std::sqrt(2.0), kRightAmplitude * 0.07) << who;
}

TEST(AacencInitTest, TakesInputFormatsOneToFourWithTheirFrameSize) {
    struct Case {
        int format;
        bool made;
        uint32_t frame_bytes;  // 1024 stereo sample frames as the encoder reads them
    };
    const Case cases[] = {{0, false, 0},   {1, true, 4096}, {2, true, 8192},
                          {3, true, 8192}, {4, true, 8192}, {5, false, 0}};
    for (const Case& c : cases) {
        aacenc_ctx* ctx = aacenc_init(48000, 2, c.format);
        EXPECT_EQ(ctx != nullptr, c.made) << "format " << c.format;
        if (ctx == nullptr) continue;
        EXPECT_EQ(ctx->input_samples, 2048u);
        EXPECT_EQ(ctx->frame_bytes, c.frame_bytes);
        EXPECT_EQ(ctx->ready, 1);
        EXPECT_GE(aacenc_get_max_output(ctx), 1536u);
        aacenc_close(ctx);
    }
    EXPECT_EQ(aacenc_init(12345, 2, 1), nullptr);
    EXPECT_EQ(aacenc_init(48000, 0, 1), nullptr);
    EXPECT_EQ(aacenc_get_max_output(nullptr), 0u);
    aacenc_close(nullptr);
}

TEST(AacencEncodeTest, WholeFramesAreEncodedAndARemainderDropped) {
    struct Case {
        const char* name;
        std::vector<int> lengths;  // one call each
        std::vector<bool> frame;   // whether each call returns a frame
    };
    const Case cases[] = {
        {"one frame per call: nothing on the first", {4096, 4096, 4096}, {false, true, true}},
        {"ten bytes or fewer encode nothing", {10, 4096, 10, 4096}, {false, false, false, true}},
        {"4100 bytes encode one frame", {4100, 4100, 4100}, {false, true, true}},
        // A carried-over remainder would make the third call a whole frame and the fourth a result.
        {"remainders are not carried over", {4096, 4095, 4095, 4095}, {false, false, false, false}},
        {"two frames in one call return the second", {8192, 8192}, {true, true}},
    };
    const std::vector<uint8_t> pcm = sine_s16(1000, 48000, 2, 4 * 2048, 8000);
    for (const Case& c : cases) {
        aacenc_ctx* ctx = aacenc_init(48000, 2, 1);
        ASSERT_NE(ctx, nullptr);
        for (size_t i = 0; i < c.lengths.size(); ++i) {
            const int n = aacenc_encode(ctx, pcm.data(), c.lengths[i], nullptr);
            EXPECT_EQ(n > 0, c.frame[i]) << c.name << ", call " << i;
            EXPECT_GE(n, 0) << c.name;
        }
        aacenc_close(ctx);
    }
    EXPECT_EQ(aacenc_encode(nullptr, pcm.data(), 4096, nullptr), 0);
    aacenc_ctx* ctx = aacenc_init(48000, 2, 1);
    EXPECT_EQ(aacenc_encode(ctx, nullptr, 4096, nullptr), 0);
    aacenc_close(ctx);
}

TEST(AacencStoredFrameTest, IsAnAdtsFrameOfItsOwnLength) {
    uint8_t frame[kAacStoredFrameBytes + 1] = {};
    ASSERT_EQ(aacenc_get_stored_frame(frame), kAacStoredFrameBytes);
    EXPECT_EQ(aacenc_get_stored_frame(nullptr), 0);
    // The header describes the frame it heads (AAC-LC, 44100 Hz, mono, 13 bytes).
    EXPECT_EQ(frame[0], 0xFF);
    EXPECT_EQ(frame[1] & 0xF6, 0xF0);
    EXPECT_EQ(((frame[3] & 3) << 11) | (frame[4] << 3) | (frame[5] >> 5), kAacStoredFrameBytes);
    EXPECT_EQ((frame[2] >> 2) & 0x0F, 4);
}

class AacencToneTest : public testing::Test {
protected:
    void SetUp() override {
        aacenc_ctx* ctx = aacenc_init(48000, 2, 1);
        ASSERT_NE(ctx, nullptr);
        frames = encode_blocks(ctx, two_tones());
        aacenc_close(ctx);
        // 2 s of 1024-frame blocks, less the encoder's one-frame delay.
        ASSERT_EQ(frames.size(), 2u * 48000 / 1024 - 1);
    }
    AacFrames frames;
    TempDir dir;
};

TEST_F(AacencToneTest, FfmpegDecodesTheToneOfEachChannel) {
    AacFrames adts;
    for (const auto& f : frames) adts.push_back(adts_wrap(f, 3, 2));
    const std::string aac = dir.path() + "/tone.aac";
    write_bytes(aac, concat(adts));
    const std::string probe = command_output(
        "ffprobe -v error -show_entries stream=codec_name,profile,sample_rate,channels -of csv=p=0 " + aac);
    EXPECT_EQ(probe, "aac,LC,48000,2\n");
    ASSERT_TRUE(run_ffmpeg("-i " + aac + " -f s16le -ar 48000 -ac 2 " + dir.path() + "/tone.pcm"));
    expect_two_tones(read_bytes(dir.path() + "/tone.pcm"), "ffmpeg");
}

TEST_F(AacencToneTest, OurDecoderDecodesTheToneFromAdtsAndFromRawFramesWithTheirConfig) {
    for (bool adts : {true, false}) {
        AAC2PCM decoder;
        ASSERT_EQ(decoder.Open(5, 48000), 0);
        if (!adts) {
            const uint8_t config[2] = {0x11, 0x90};  // AAC-LC, 48000 Hz, stereo
            ASSERT_EQ(decoder.InitWithConfig(config, 2), 0);
        }
        std::vector<uint8_t> pcm;
        std::vector<uint8_t> out(kAacMaxPcmFrameBytes);
        int failures = 0;
        for (const auto& raw : frames) {
            const std::vector<uint8_t> packet = adts ? adts_wrap(raw, 3, 2) : raw;
            int length = 0;
            if (decoder.Decode(packet.data(), static_cast<int>(packet.size()), out.data(), static_cast<int>(out.size()),
                               &length) != 0) {
                ++failures;
                continue;
            }
            EXPECT_EQ(length, 4096);
            pcm.insert(pcm.end(), out.begin(), out.begin() + length);
        }
        // The decoder's first frame gives no samples.
        EXPECT_LE(failures, 1);
        EXPECT_EQ(decoder.GetSampleRate(), 48000u);
        EXPECT_EQ(decoder.GetChannels(), 2);
        decoder.Close();
        expect_two_tones(pcm, adts ? "ours, ADTS" : "ours, raw");
    }
}

}  // namespace
