// The AAC encoder calls over FFmpeg: the frame pattern callers rely on (nothing on the first call, then one
// frame per call, the delayed frames on a flush), and that each configuration field reaches the stream:
// checked by decoding the frames with FFmpeg's own AAC decoder and measuring tone, level, bit rate and band.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "audio_test_support.h"
#include "aacenc_lib.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

namespace {

using Frames = std::vector<std::vector<uint8_t>>;

struct Decoded {
    int rate = 0;
    int channels = 0;
    std::vector<std::vector<float>> planes;  // one per channel
};

// Decodes raw AAC-LC frames (or ADTS frames when adts is set) with FFmpeg's decoder.
Decoded ffmpeg_decode(const Frames& frames, int rate, int channels, bool adts) {
    Decoded out;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    AVCodecContext* c = avcodec_alloc_context3(codec);
    if (!adts) {
        const int index = rate == 48000 ? 3 : rate == 44100 ? 4 : rate == 32000 ? 5 : 8;
        c->extradata = static_cast<uint8_t*>(av_mallocz(2 + AV_INPUT_BUFFER_PADDING_SIZE));
        c->extradata[0] = static_cast<uint8_t>((2 << 3) | (index >> 1));
        c->extradata[1] = static_cast<uint8_t>(((index & 1) << 7) | (channels << 3));
        c->extradata_size = 2;
    }
    EXPECT_EQ(avcodec_open2(c, codec, nullptr), 0);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto take = [&]() {
        while (avcodec_receive_frame(c, frame) == 0) {
            out.rate = frame->sample_rate;
            out.channels = frame->ch_layout.nb_channels;
            out.planes.resize(static_cast<size_t>(out.channels));
            for (int ch = 0; ch < out.channels; ++ch) {
                const auto* p = reinterpret_cast<const float*>(frame->extended_data[ch]);
                out.planes[static_cast<size_t>(ch)].insert(out.planes[static_cast<size_t>(ch)].end(), p,
                                                           p + frame->nb_samples);
            }
        }
    };
    for (const auto& f : frames) {
        av_new_packet(packet, static_cast<int>(f.size()));
        std::memcpy(packet->data, f.data(), f.size());
        EXPECT_EQ(avcodec_send_packet(c, packet), 0);
        av_packet_unref(packet);
        take();
    }
    avcodec_send_packet(c, nullptr);
    take();
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&c);
    return out;
}

float peak(const std::vector<float>& samples) {
    float p = 0;
    // Skip the encoder's start-up frames.
    for (size_t i = 4096; i < samples.size(); ++i) p = std::max(p, std::fabs(samples[i]));
    return p;
}

double frequency(const std::vector<float>& samples, int rate) {
    if (samples.size() <= 4096) return 0;
    return tone_frequency(std::vector<double>(samples.begin() + 4096, samples.end()), rate);
}

class Encoder {
public:
    Encoder(unsigned long rate, unsigned channels) : channels_(channels) {
        handle_ = faacEncOpen(rate, channels, &input_samples_, &max_output_);
    }
    ~Encoder() {
        if (handle_ != nullptr) faacEncClose(handle_);
    }
    faacEncHandle handle() const { return handle_; }
    faacEncConfigurationPtr config() const { return faacEncGetCurrentConfiguration(handle_); }
    unsigned long input_samples() const { return input_samples_; }
    unsigned long max_output() const { return max_output_; }

    // Encodes one call of `samples` samples from words (the input buffer as the caller hands it).
    int encode(std::vector<int32_t>& words, unsigned samples, std::vector<uint8_t>* frame) {
        std::vector<uint8_t> out(max_output_);
        const int n = faacEncEncode(handle_, words.data(), samples, out.data(), static_cast<unsigned>(out.size()));
        if (n > 0 && frame != nullptr) frame->assign(out.begin(), out.begin() + n);
        return n;
    }

    // Encodes interleaved 16-bit PCM one frame per call, then flushes; returns every frame.
    Frames encode_all(const std::vector<uint8_t>& pcm) {
        Frames frames;
        const size_t frame_bytes = input_samples_ * 2;
        for (size_t at = 0; at + frame_bytes <= pcm.size(); at += frame_bytes) {
            std::vector<int32_t> words(input_samples_ / 2);
            std::memcpy(words.data(), pcm.data() + at, frame_bytes);
            std::vector<uint8_t> frame;
            if (encode(words, static_cast<unsigned>(input_samples_), &frame) > 0) frames.push_back(frame);
        }
        std::vector<int32_t> none;
        std::vector<uint8_t> frame;
        while (encode(none, 0, &frame) > 0) frames.push_back(frame);
        return frames;
    }

private:
    unsigned channels_;
    faacEncHandle handle_ = nullptr;
    unsigned long input_samples_ = 0;
    unsigned long max_output_ = 0;
};

TEST(AacEncoderLibOpenTest, AcceptsTheAacRatesAndChannelCountsAndRefusesOthers) {
    struct Case {
        unsigned long rate;
        unsigned channels;
        bool opens;
    };
    const Case cases[] = {{48000, 2, true},  {44100, 1, true},  {8000, 2, true},   {96000, 6, true},
                          {12345, 2, false}, {48000, 0, false}, {48000, 9, false}, {0, 2, false}};
    for (const Case& c : cases) {
        unsigned long samples = 0;
        unsigned long max_output = 0;
        faacEncHandle h = faacEncOpen(c.rate, c.channels, &samples, &max_output);
        EXPECT_EQ(h != nullptr, c.opens) << c.rate << " Hz " << c.channels << " ch";
        if (h == nullptr) continue;
        EXPECT_EQ(samples, 1024 * c.channels);
        // Room for the largest AAC frame of every channel.
        EXPECT_GE(max_output, 768ul * c.channels);
        ASSERT_NE(faacEncGetCurrentConfiguration(h), nullptr);
        EXPECT_EQ(faacEncGetCurrentConfiguration(h)->version, kFaacConfigVersion);
        EXPECT_EQ(faacEncClose(h), 0);
    }
    EXPECT_EQ(faacEncClose(nullptr), -1);
}

TEST(AacEncoderLibEncodeTest, FirstCallGivesNothingThenOneFramePerCallAndAFlushGivesTheRest) {
    Encoder enc(48000, 2);
    ASSERT_NE(enc.handle(), nullptr);
    const std::vector<uint8_t> pcm = sine_s16(1000, 48000, 2, 1024 * 10, 10000);
    std::vector<int> results;
    for (int i = 0; i < 10; ++i) {
        std::vector<int32_t> words(1024);
        std::memcpy(words.data(), pcm.data() + static_cast<size_t>(i) * 4096, 4096);
        results.push_back(enc.encode(words, 2048, nullptr));
    }
    EXPECT_EQ(results[0], 0);
    for (int i = 1; i < 10; ++i) EXPECT_GT(results[static_cast<size_t>(i)], 0) << "call " << i;
    // Ten frames in, nine out: the flush gives the held-back frames, then nothing.
    std::vector<int32_t> none;
    int flushed = 0;
    while (enc.encode(none, 0, nullptr) > 0) ++flushed;
    EXPECT_GE(flushed, 1);
    EXPECT_EQ(enc.encode(none, 0, nullptr), 0);
    // No input after a flush.
    std::vector<int32_t> words(1024);
    EXPECT_EQ(enc.encode(words, 2048, nullptr), -1);
}

TEST(AacEncoderLibEncodeTest, RefusesBadCallsWithoutWritingPastTheBuffer) {
    Encoder enc(48000, 2);
    ASSERT_NE(enc.handle(), nullptr);
    std::vector<int32_t> words(1024, 0);
    std::vector<uint8_t> out(enc.max_output());
    EXPECT_EQ(faacEncEncode(nullptr, words.data(), 2048, out.data(), 100), -1);
    EXPECT_EQ(faacEncEncode(enc.handle(), words.data(), 2048, nullptr, 100), -1);
    EXPECT_EQ(faacEncEncode(enc.handle(), nullptr, 2048, out.data(), 100), -1);
    EXPECT_EQ(faacEncEncode(enc.handle(), words.data(), 2047, out.data(), 100), -1);  // half a sample frame
    EXPECT_EQ(faacEncEncode(enc.handle(), words.data(), 4096, out.data(), 100), -1);  // more than one frame
    // A frame that does not fit the caller's room is refused rather than cut or overrun.
    const std::vector<uint8_t> pcm = sine_s16(1000, 48000, 2, 2048, 20000);
    std::memcpy(words.data(), pcm.data(), 4096);
    EXPECT_EQ(faacEncEncode(enc.handle(), words.data(), 2048, out.data(), 4), 0);
    std::memcpy(words.data(), pcm.data() + 4096, 4096);
    std::vector<uint8_t> small(5, 0xAB);
    EXPECT_EQ(faacEncEncode(enc.handle(), words.data(), 2048, small.data(), 4), -1);
    EXPECT_EQ(small[4], 0xAB);
}

TEST(AacEncoderLibConfigurationTest, RefusesWhatTheEncoderCannotDoAndChangesAfterTheFirstFrame) {
    Encoder enc(48000, 2);
    ASSERT_NE(enc.handle(), nullptr);
    struct Case {
        const char* name;
        void (*change)(faacEncConfiguration*);
        int result;
    };
    const Case cases[] = {
        {"LC", [](faacEncConfiguration* c) { c->aacObjectType = kFaacObjectLow; }, 1},
        {"LTP", [](faacEncConfiguration* c) { c->aacObjectType = kFaacObjectLtp; }, 1},
        {"SSR", [](faacEncConfiguration* c) { c->aacObjectType = kFaacObjectSsr; }, 0},
        {"object 0", [](faacEncConfiguration* c) { c->aacObjectType = 0; }, 0},
        {"input 0", [](faacEncConfiguration* c) { c->inputFormat = 0; }, 0},
        {"input 5", [](faacEncConfiguration* c) { c->inputFormat = 5; }, 0},
        {"output 2", [](faacEncConfiguration* c) { c->outputFormat = 2; }, 0},
        {"bit rate 0", [](faacEncConfiguration* c) { c->bitRate = 0; }, 0},
    };
    for (const Case& c : cases) {
        faacEncConfiguration copy = *enc.config();
        copy.aacObjectType = kFaacObjectLow;
        c.change(&copy);
        EXPECT_EQ(faacEncSetConfiguration(enc.handle(), &copy), c.result) << c.name;
    }
    std::vector<int32_t> words(1024, 0);
    enc.encode(words, 2048, nullptr);
    EXPECT_EQ(faacEncSetConfiguration(enc.handle(), enc.config()), 0);
}

// The same tone at the same level in each input format must decode alike: each format's scale is right.
TEST(AacEncoderLibInputFormatTest, EveryInputFormatGivesTheSameToneAndLevel) {
    const double amplitude = 0.3;  // of full scale
    struct Case {
        unsigned format;
        int32_t (*word)(double v);  // one sample as its 32-bit word (unused for 16-bit)
    };
    const Case cases[] = {
        {kFaacInput16Bit, nullptr},
        {kFaacInput24Bit, [](double v) { return static_cast<int32_t>(std::lround(v * 8388607)); }},
        {kFaacInput32Bit, [](double v) { return static_cast<int32_t>(std::llround(v * 2147483647.0)); }},
        {kFaacInputFloat,
         [](double v) {
             const float f = static_cast<float>(v * 32768);
             int32_t w;
             std::memcpy(&w, &f, 4);
             return w;
         }},
    };
    for (const Case& c : cases) {
        Encoder enc(48000, 2);
        ASSERT_NE(enc.handle(), nullptr);
        faacEncConfigurationPtr cfg = enc.config();
        cfg->inputFormat = c.format;
        ASSERT_EQ(faacEncSetConfiguration(enc.handle(), cfg), 1);
        Frames frames;
        for (int call = 0; call < 30; ++call) {
            std::vector<int32_t> words(2048);
            for (int i = 0; i < 1024; ++i) {
                const double v = amplitude * std::sin(2 * M_PI * 1000 * (call * 1024 + i) / 48000.0);
                for (int ch = 0; ch < 2; ++ch) {
                    if (c.format == kFaacInput16Bit) {
                        const auto s = static_cast<int16_t>(std::lround(v * 32767));
                        std::memcpy(reinterpret_cast<uint8_t*>(words.data()) + (i * 2 + ch) * 2, &s, 2);
                    } else {
                        words[static_cast<size_t>(i * 2 + ch)] = c.word(v);
                    }
                }
            }
            std::vector<uint8_t> frame;
            if (enc.encode(words, 2048, &frame) > 0) frames.push_back(frame);
        }
        const Decoded d = ffmpeg_decode(frames, 48000, 2, false);
        ASSERT_EQ(d.channels, 2) << "format " << c.format;
        for (int ch = 0; ch < 2; ++ch) {
            EXPECT_NEAR(frequency(d.planes[static_cast<size_t>(ch)], 48000), 1000, 5) << "format " << c.format;
            EXPECT_NEAR(peak(d.planes[static_cast<size_t>(ch)]), amplitude, 0.03) << "format " << c.format;
        }
    }
}

TEST(AacEncoderLibConfigurationTest, BitRateIsPerChannel) {
    // Noise leaves the encoder nothing to save, so the stream runs at the rate it is given.
    std::vector<uint8_t> noise(static_cast<size_t>(48000) * 4 * 3);
    uint32_t seed = 12345;
    for (size_t i = 0; i + 1 < noise.size(); i += 2) {
        seed = seed * 1103515245u + 12345u;
        const auto s = static_cast<int16_t>((seed >> 16) & 0x3FFF) - 0x2000;
        std::memcpy(&noise[i], &s, 2);
    }
    for (unsigned long per_channel : {32000ul, 64000ul, 96000ul}) {
        Encoder enc(48000, 2);
        ASSERT_NE(enc.handle(), nullptr);
        faacEncConfigurationPtr cfg = enc.config();
        cfg->bitRate = per_channel;
        ASSERT_EQ(faacEncSetConfiguration(enc.handle(), cfg), 1);
        size_t bytes = 0;
        for (const auto& f : enc.encode_all(noise)) bytes += f.size();
        const double rate = bytes * 8.0 / 3.0;
        EXPECT_NEAR(rate, 2.0 * per_channel, 0.25 * 2 * per_channel) << per_channel;
    }
}

TEST(AacEncoderLibConfigurationTest, BandWidthCutsTonesAboveIt) {
    const std::vector<uint8_t> tone = sine_s16(15000, 48000, 2, 48000, 10000);
    struct Case {
        unsigned band;
        bool kept;
    };
    for (const Case c : {Case{32000, true}, Case{20000, true}, Case{8000, false}}) {
        Encoder enc(48000, 2);
        ASSERT_NE(enc.handle(), nullptr);
        faacEncConfigurationPtr cfg = enc.config();
        cfg->bitRate = 96000;
        cfg->bandWidth = c.band;
        ASSERT_EQ(faacEncSetConfiguration(enc.handle(), cfg), 1);
        const Decoded d = ffmpeg_decode(enc.encode_all(tone), 48000, 2, false);
        ASSERT_EQ(d.channels, 2);
        const float level = peak(d.planes[0]);
        if (c.kept) {
            EXPECT_GT(level, 0.2f) << c.band;
        } else {
            EXPECT_LT(level, 0.05f) << c.band;
        }
    }
}

TEST(AacEncoderLibOutputFormatTest, AdtsOutputCarriesAHeaderThatDescribesEachFrame) {
    struct Case {
        unsigned long rate;
        unsigned channels;
        unsigned mpeg;
        int index;
    };
    for (const Case c : {Case{48000, 2, kFaacMpeg4, 3}, Case{44100, 1, kFaacMpeg2, 4}}) {
        Encoder enc(c.rate, c.channels);
        ASSERT_NE(enc.handle(), nullptr);
        faacEncConfigurationPtr cfg = enc.config();
        cfg->outputFormat = kFaacOutputAdts;
        cfg->mpegVersion = c.mpeg;
        ASSERT_EQ(faacEncSetConfiguration(enc.handle(), cfg), 1);
        const Frames frames = enc.encode_all(
            sine_s16(440, static_cast<int>(c.rate), static_cast<int>(c.channels), static_cast<int>(c.rate), 8000));
        ASSERT_GT(frames.size(), 40u);
        for (const auto& f : frames) {
            ASSERT_GE(f.size(), 7u);
            EXPECT_EQ(f[0], 0xFF);
            EXPECT_EQ(f[1], c.mpeg == kFaacMpeg2 ? 0xF9 : 0xF1);
            EXPECT_EQ((f[2] >> 6) + 1, 2);  // AAC-LC
            EXPECT_EQ((f[2] >> 2) & 0x0F, c.index);
            EXPECT_EQ(((f[2] & 1) << 2) | (f[3] >> 6), static_cast<int>(c.channels));
            const size_t length =
                (static_cast<size_t>(f[3] & 3) << 11) | (static_cast<size_t>(f[4]) << 3) | (f[5] >> 5);
            EXPECT_EQ(length, f.size());
        }
        const Decoded d = ffmpeg_decode(frames, static_cast<int>(c.rate), static_cast<int>(c.channels), true);
        EXPECT_EQ(d.rate, static_cast<int>(c.rate));
        ASSERT_EQ(d.channels, static_cast<int>(c.channels));
        EXPECT_NEAR(frequency(d.planes[0], d.rate), 440, 3);
    }
}

}  // namespace
