// The decoder of received AAC: streams made by ffmpeg at several rates and layouts, as ADTS frames and as
// raw frames with their AudioSpecificConfig, must decode at their own rate (a 44.1 kHz source must not
// be taken for 48 kHz) and reach the network audio queue as 48 kHz stereo with the tone unchanged; bad
// packets are refused without harm.
#include "aac2pcm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "aac_adts.h"
#include "aac_test_support.h"
#include "audio_net_streamer.h"
#include "audio_test_support.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kToneHz = 440;

// The level of the tone in a stream of `channels`: ffmpeg's sine source has 1/8 of full scale, and its
// mono-to-stereo upmix lowers each side by 3 dB.
double tone_rms(int channels) {
    return 4096 / std::sqrt(2.0) * (channels == 2 ? std::sqrt(0.5) : 1.0);
}

// The samples away from the codec's start-up and the stream's end.
std::vector<int16_t> steady(const std::vector<int16_t>& samples) {
    if (samples.size() < 3 * 4096) return {};
    return std::vector<int16_t>(samples.begin() + 4096, samples.end() - 4096);
}

struct Stream {
    int rate;
    int channels;
    AacFrames adts;     // whole ADTS frames
    AacFrames raw;      // the same frames without their headers
    uint8_t config[2];  // the stream's AudioSpecificConfig
};

// One second of ffmpeg's 440 Hz sine as AAC-LC at rate and channels, made once per test run.
const Stream& stream(int rate, int channels) {
    static std::vector<std::unique_ptr<Stream>> made;
    static TempDir dir;
    for (const auto& s : made) {
        if (s->rate == rate && s->channels == channels) return *s;
    }
    auto s = std::make_unique<Stream>();
    s->rate = rate;
    s->channels = channels;
    const std::string path = dir.path() + "/s" + std::to_string(rate) + "_" + std::to_string(channels) + ".aac";
    EXPECT_TRUE(run_ffmpeg("-f lavfi -i sine=frequency=" + std::to_string(kToneHz) +
                           ":sample_rate=" + std::to_string(rate) + ":duration=1 -ac " + std::to_string(channels) +
                           " -c:a aac -b:a 96k -f adts " + path));
    const Bytes bytes = read_bytes(path);
    for (size_t at = 0; at < bytes.size();) {
        AdtsHeader h;
        if (!adts_parse_header(bytes.data() + at, bytes.size() - at, &h) ||
            at + static_cast<size_t>(h.frame_length) > bytes.size()) {
            break;
        }
        if (s->adts.empty()) adts_audio_specific_config(h, s->config);
        s->adts.emplace_back(bytes.begin() + static_cast<long>(at),
                             bytes.begin() + static_cast<long>(at) + h.frame_length);
        s->raw.emplace_back(bytes.begin() + static_cast<long>(at) + h.header_length,
                            bytes.begin() + static_cast<long>(at) + h.frame_length);
        at += static_cast<size_t>(h.frame_length);
    }
    EXPECT_GT(s->adts.size(), 20u);
    made.push_back(std::move(s));
    return *made.back();
}

struct DecodeResult {
    Bytes pcm;
    int failures = 0;
    unsigned long rate = 0;
    int channels = 0;
    std::vector<int> block_sizes;
};

DecodeResult decode(AAC2PCM& decoder, const AacFrames& packets) {
    DecodeResult r;
    Bytes out(kAacMaxPcmFrameBytes);
    for (const auto& p : packets) {
        int length = 0;
        if (decoder.Decode(p.data(), static_cast<int>(p.size()), out.data(), static_cast<int>(out.size()), &length) !=
            0) {
            ++r.failures;
            continue;
        }
        r.pcm.insert(r.pcm.end(), out.begin(), out.begin() + length);
        r.block_sizes.push_back(length);
    }
    r.rate = decoder.GetSampleRate();
    r.channels = decoder.GetChannels();
    return r;
}

TEST(Aac2PcmTest, DecodesAtTheStreamsOwnRateFromAdtsOrFromItsConfig) {
    struct Case {
        int rate;
        int channels;
        bool adts;  // else raw frames and the AudioSpecificConfig
    };
    const Case cases[] = {{48000, 2, true},  {48000, 2, false}, {44100, 1, true},
                          {44100, 1, false}, {32000, 2, false}, {44100, 2, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz " << c.channels << " ch " << (c.adts ? "ADTS" : "raw"));
        const Stream& s = stream(c.rate, c.channels);
        AAC2PCM decoder;
        ASSERT_EQ(decoder.Open(5, 48000), 0);  // the defaults the "ip1" audio thread opens with
        if (!c.adts) {
            ASSERT_EQ(decoder.InitWithConfig(s.config, 2), 0);
        }
        const DecodeResult r = decode(decoder, c.adts ? s.adts : s.raw);
        decoder.Close();
        EXPECT_EQ(r.rate, static_cast<unsigned long>(c.rate));
        EXPECT_LE(r.failures, 1);  // at most the decoder's first frame
        ASSERT_GE(r.channels, c.channels);
        // Every block is one frame of 1024 samples per channel.
        for (int size : r.block_sizes) EXPECT_EQ(size, 1024 * r.channels * 2);
        const auto left = steady(channel_of(r.pcm, r.channels, 0));
        EXPECT_NEAR(tone_frequency(left, c.rate), kToneHz, 1.5);
        EXPECT_NEAR(rms_level(left), tone_rms(c.channels), tone_rms(c.channels) * 0.07);
    }
}

class Aac2PcmToQueueTest : public testing::Test {
protected:
    void SetUp() override {
        object = audio_net_streamer_create(&dev);
        ASSERT_NE(object, nullptr);
        g_net_streamer_audio_dev.store(object);
    }
    void TearDown() override {
        g_net_streamer_audio_dev.store(nullptr);
        audio_net_streamer_destroy(object);
    }
    Bytes take_all() {
        Bytes pcm;
        void* item = nullptr;
        while (object->pcm_data_safequeue.TryPop(&item) == 1) {
            auto* block = static_cast<audio_pcm_block*>(item);
            pcm.insert(pcm.end(), block->bytes, block->bytes + block->size);
            audio_pcm_block_free(&item);
        }
        return pcm;
    }
    audio_dev_info dev;
    audio_net_streamer_dev_object* object = nullptr;
};

// The "ip1" road: raw frames of a 44.1 kHz mono stream, decoded with the stream's config, handed on with
// the rate and channels the decoder reports, arrive as 48 kHz stereo with the tone at its pitch.
TEST_F(Aac2PcmToQueueTest, A44kMonoStreamArrivesAs48kStereoAtItsPitch) {
    const Stream& s = stream(44100, 1);
    AAC2PCM decoder;
    ASSERT_EQ(decoder.Open(5, 48000), 0);
    ASSERT_EQ(decoder.InitWithConfig(s.config, 2), 0);
    Bytes out(kAacMaxPcmFrameBytes);
    for (const auto& p : s.raw) {
        int length = 0;
        if (decoder.Decode(p.data(), static_cast<int>(p.size()), out.data(), static_cast<int>(out.size()), &length) !=
            0) {
            continue;
        }
        ASSERT_EQ(audio_net_streamer_push_pcm_s16(out.data(), length, decoder.GetChannels(),
                                                  static_cast<int>(decoder.GetSampleRate())),
                  0);
    }
    decoder.Close();
    const Bytes pcm = take_all();
    // About a second of 48 kHz stereo (less the codec's start-up and what waits for a whole block).
    EXPECT_NEAR(static_cast<double>(pcm.size()) / 4, 48000, 48000 * 0.1);
    for (int ch = 0; ch < 2; ++ch) {
        const auto samples = steady(channel_of(pcm, 2, ch));
        EXPECT_NEAR(tone_frequency(samples, 48000), kToneHz, 1.5) << "channel " << ch;
        EXPECT_NEAR(rms_level(samples), tone_rms(1), tone_rms(1) * 0.1) << "channel " << ch;
    }
}

TEST(Aac2PcmTest, RefusesBadPacketsAndKeepsDecoding) {
    const Stream& s = stream(48000, 2);
    AAC2PCM decoder;
    Bytes out(kAacMaxPcmFrameBytes + 16, 0xEE);
    int length = -5;
    // Not open yet.
    EXPECT_EQ(
        decoder.Decode(s.adts[0].data(), static_cast<int>(s.adts[0].size()), out.data(), kAacMaxPcmFrameBytes, &length),
        -1);
    ASSERT_EQ(decoder.Open(5, 48000), 0);
    ASSERT_EQ(decoder.InitWithConfig(s.config, 2), 0);
    decode(decoder, AacFrames(s.raw.begin(), s.raw.begin() + 3));

    Bytes noise(300);
    uint32_t seed = 7;
    for (auto& b : noise) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
    const Bytes huge(kAacMaxPacketBytes + 1, 0x21);
    struct Case {
        const char* name;
        const uint8_t* data;
        int length;
    };
    const Case cases[] = {
        {"empty packet", s.raw[3].data(), 0},
        {"negative length", s.raw[3].data(), -1},
        {"null", nullptr, 10},
        {"larger than any frame", huge.data(), static_cast<int>(huge.size())},
        {"noise", noise.data(), static_cast<int>(noise.size())},
        {"a frame cut short", s.raw[3].data(), static_cast<int>(s.raw[3].size() / 3)},
    };
    for (const Case& c : cases) {
        length = -5;
        EXPECT_EQ(decoder.Decode(c.data, c.length, out.data(), kAacMaxPcmFrameBytes, &length), -1) << c.name;
        EXPECT_EQ(length, -5) << c.name;
    }
    // PCM that does not fit the caller's room is dropped, not written past it.
    EXPECT_EQ(decoder.Decode(s.raw[4].data(), static_cast<int>(s.raw[4].size()), out.data(), 100, &length), -1);
    EXPECT_EQ(out[100], 0xEE);
    // The stream goes on decoding after all of it.
    const DecodeResult r = decode(decoder, AacFrames(s.raw.begin() + 8, s.raw.end()));
    EXPECT_LE(r.failures, 2);
    EXPECT_GT(r.block_sizes.size(), 30u);
    decoder.Close();
}

// First packets that crash FAAD2 when handed to it as they are: a header with the ADTS sync but invalid
// fields, and header-less garbage on a decoder that could not learn the stream from it.
TEST(Aac2PcmTest, FirstPacketsThatWouldCrashTheLibraryAreSafe) {
    struct Case {
        const char* name;
        AacFrames packets;
        int first_result;
        bool then_adts;  // the stream that decodes afterwards: ADTS (nothing learnt) or raw (set up as raw)
    };
    const Case cases[] = {
        {"sync with reserved fields", {{0xFF, 0xFF, 0xFF, 0x7E, 0xFF, 0xFF, 0xF1}}, -1, true},
        {"raw garbage, twice", {{0x40, 0x01, 0xFC, 0xBF, 0x00}, {0x83, 0x0D, 0x00, 0x00, 0x00}}, -1, false},
    };
    for (const Case& c : cases) {
        AAC2PCM decoder;
        ASSERT_EQ(decoder.Open(5, 48000), 0);
        Bytes out(kAacMaxPcmFrameBytes);
        for (const auto& p : c.packets) {
            int length = 0;
            EXPECT_EQ(decoder.Decode(p.data(), static_cast<int>(p.size()), out.data(), kAacMaxPcmFrameBytes, &length),
                      c.first_result)
                << c.name;
        }
        // And a real stream decodes afterwards.
        const Stream& s = stream(48000, 2);
        const DecodeResult r = decode(decoder, c.then_adts ? s.adts : s.raw);
        EXPECT_GT(r.block_sizes.size(), s.adts.size() / 2) << c.name;
        decoder.Close();
    }
}

// Packets of another stream in the middle (a source switched behind the same address) must not leave the
// decoder refusing the stream for good; nor may a config given after decoding began.
TEST(Aac2PcmTest, RecoversFromAForeignStreamAndTakesALateConfig) {
    const Stream& s = stream(48000, 2);
    const Stream& other = stream(44100, 1);
    AAC2PCM decoder;
    ASSERT_EQ(decoder.Open(5, 48000), 0);
    ASSERT_EQ(decoder.InitWithConfig(s.config, 2), 0);
    EXPECT_GT(decode(decoder, AacFrames(s.raw.begin(), s.raw.begin() + 10)).block_sizes.size(), 8u);
    decode(decoder, AacFrames(other.raw.begin(), other.raw.begin() + 20));
    const DecodeResult after = decode(decoder, AacFrames(s.raw.begin() + 10, s.raw.end()));
    EXPECT_GE(after.block_sizes.size(), s.raw.size() - 10 - 2);
    EXPECT_EQ(after.rate, 48000u);
    decoder.Close();

    // Raw frames first decoded with the Open defaults, then the stream's own config arrives.
    ASSERT_EQ(decoder.Open(5, 48000), 0);
    decode(decoder, AacFrames(other.raw.begin(), other.raw.begin() + 3));
    ASSERT_EQ(decoder.InitWithConfig(other.config, 2), 0);
    const DecodeResult configured = decode(decoder, AacFrames(other.raw.begin() + 3, other.raw.end()));
    EXPECT_EQ(configured.rate, 44100u);
    EXPECT_GT(configured.block_sizes.size(), other.raw.size() - 5);
    decoder.Close();
}

TEST(Aac2PcmTest, InitWithConfigRefusesWhatIsNoConfig) {
    AAC2PCM decoder;
    const uint8_t good[2] = {0x11, 0x90};
    EXPECT_EQ(decoder.InitWithConfig(good, 2), -1);  // not open
    ASSERT_EQ(decoder.Open(5, 48000), 0);
    const uint8_t zero[2] = {0x00, 0x00};
    EXPECT_EQ(decoder.InitWithConfig(zero, 2), -1);
    EXPECT_EQ(decoder.InitWithConfig(good, 1), -1);
    EXPECT_EQ(decoder.InitWithConfig(nullptr, 2), -1);
    EXPECT_FALSE(decoder.IsInitialised());
    EXPECT_EQ(decoder.InitWithConfig(good, 2), 0);
    EXPECT_TRUE(decoder.IsInitialised());
    decoder.Close();
}

TEST(Aac2PcmTest, ProbeAndDecodeAllWorkOnAdtsBytes) {
    const Stream& s = stream(48000, 2);
    const Bytes all = concat(AacFrames(s.adts.begin(), s.adts.begin() + 6));
    AAC2PCM decoder;
    ASSERT_EQ(decoder.Open(5, 48000), 0);
    Bytes out(kAacMaxPcmFrameBytes);
    int length = 0;
    EXPECT_EQ(decoder.DecodeAll(all.data(), static_cast<int>(all.size()), out.data(), kAacMaxPcmFrameBytes, &length),
              -1);
    const Bytes noise(50, 0x42);
    EXPECT_EQ(decoder.Probe(noise.data(), 50), -1);
    EXPECT_EQ(decoder.GetState(), AAC2PCM::kStateNoFrame);
    ASSERT_EQ(decoder.Probe(all.data(), static_cast<int>(all.size())), 0);
    EXPECT_EQ(decoder.GetState(), AAC2PCM::kStateFrame);
    EXPECT_EQ(decoder.DecodeAll(all.data(), static_cast<int>(all.size()), out.data(), kAacMaxPcmFrameBytes, &length),
              0);
    EXPECT_EQ(length, 4096);
    decoder.Close();
}

}  // namespace
