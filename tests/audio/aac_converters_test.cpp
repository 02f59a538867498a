// The buffered converters: AAC byte streams cut at any point (and corrupt ones) into PCM blocks, PCM of
// any length into AAC frames, their limits, and the two file routines on files made at test time.
#include "aac_to_pcm.h"
#include "pcm_to_aac.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "aac2pcm.h"
#include "aac_adts.h"
#include "aac_test_support.h"
#include "audio_test_support.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

// One second of a 1 kHz tone, 48000 Hz stereo, as an ADTS byte stream made by ffmpeg, and its frames.
struct AdtsStream {
    Bytes bytes;
    AacFrames frames;
};

const AdtsStream& adts_stream() {
    static AdtsStream s = [] {
        AdtsStream made;
        TempDir dir;
        const std::string path = dir.path() + "/tone.aac";
        EXPECT_TRUE(
            run_ffmpeg("-f lavfi -i sine=frequency=1000:sample_rate=48000:duration=1 -ac 2 -c:a aac -f adts " + path));
        made.bytes = read_bytes(path);
        for (size_t at = 0; at < made.bytes.size();) {
            AdtsHeader h;
            if (!adts_parse_header(made.bytes.data() + at, made.bytes.size() - at, &h)) break;
            made.frames.emplace_back(made.bytes.begin() + static_cast<long>(at),
                                     made.bytes.begin() + static_cast<long>(at) + h.frame_length);
            at += static_cast<size_t>(h.frame_length);
        }
        return made;
    }();
    return s;
}

// Feeds bytes in pieces of `piece` and returns every PCM block taken.
std::vector<std::string> feed_all(AacToPcm& converter, const Bytes& bytes, size_t piece) {
    std::vector<std::string> blocks;
    for (size_t at = 0; at < bytes.size(); at += piece) {
        const size_t n = std::min(piece, bytes.size() - at);
        converter.Feed(bytes.data() + at, static_cast<int>(n));
        for (std::string b = converter.TakePcm(); !b.empty(); b = converter.TakePcm()) blocks.push_back(b);
    }
    return blocks;
}

Bytes joined(const std::vector<std::string>& blocks) {
    Bytes all;
    for (const auto& b : blocks) all.insert(all.end(), b.begin(), b.end());
    return all;
}

TEST(AacToPcmTest, EveryFrameIsDecodedOnceWhereverThePiecesAreCut) {
    const AdtsStream& s = adts_stream();
    ASSERT_GT(s.frames.size(), 40u);
    for (size_t piece : {size_t{1}, size_t{7}, size_t{100}, size_t{1024}, s.bytes.size()}) {
        AacToPcm converter(102400);
        ASSERT_EQ(converter.Init(), 0);
        const auto blocks = feed_all(converter, s.bytes, piece);
        // The decoder's first frame gives no samples; every other frame one 4096-byte block.
        EXPECT_EQ(blocks.size(), s.frames.size() - 1) << "pieces of " << piece;
        for (const auto& b : blocks) EXPECT_EQ(b.size(), 4096u);
        const auto left = channel_of(joined(blocks), 2, 0);
        ASSERT_GT(left.size(), 3u * 4096);
        EXPECT_NEAR(tone_frequency(std::vector<int16_t>(left.begin() + 4096, left.end() - 4096), 48000), 1000, 2);
    }
}

// Corrupt streams: none may hold the converter in place, and the real frames around the damage still
// decode, each once.
TEST(AacToPcmTest, CorruptHeadersAndGarbageNeitherStallNorRepeatFrames) {
    const AdtsStream& s = adts_stream();
    auto fake_header = [](int length, uint8_t byte1) {
        return Bytes{0xFF,
                     byte1,
                     0x4C,
                     static_cast<uint8_t>(0x80 | ((length >> 11) & 3)),
                     static_cast<uint8_t>(length >> 3),
                     static_cast<uint8_t>(((length & 7) << 5) | 0x1F),
                     0xFC};
    };
    struct Case {
        const char* name;
        Bytes damage;  // put between frame 10 and frame 11
    };
    const Case cases[] = {
        {"length 0", fake_header(0, 0xF1)},
        {"length 6", fake_header(6, 0xF1)},
        {"length 8 with a CRC header", fake_header(8, 0xF0)},
        {"layer bits set", fake_header(100, 0xF7)},
        {"garbage without a sync", Bytes(500, 0x42)},
        {"lone sync bytes", Bytes(20, 0xFF)},
    };
    for (const Case& c : cases) {
        Bytes bytes = concat(AacFrames(s.frames.begin(), s.frames.begin() + 10));
        bytes.insert(bytes.end(), c.damage.begin(), c.damage.end());
        const Bytes rest = concat(AacFrames(s.frames.begin() + 10, s.frames.end()));
        bytes.insert(bytes.end(), rest.begin(), rest.end());
        for (size_t piece : {size_t{64}, size_t{1024}}) {
            AacToPcm converter(102400);
            ASSERT_EQ(converter.Init(), 0);
            const auto blocks = feed_all(converter, bytes, piece);
            EXPECT_EQ(blocks.size(), s.frames.size() - 1) << c.name << ", pieces of " << piece;
        }
    }
    // Garbage at the end of a feed is dropped with the frames before it, not decoded again with the next feed.
    AacToPcm converter(102400);
    ASSERT_EQ(converter.Init(), 0);
    Bytes first = concat(AacFrames(s.frames.begin(), s.frames.begin() + 5));
    first.insert(first.end(), {0x01, 0x02, 0x03});
    const Bytes second = concat(AacFrames(s.frames.begin() + 5, s.frames.begin() + 10));
    const auto blocks = feed_all(converter, first, first.size());
    const auto more = feed_all(converter, second, second.size());
    EXPECT_EQ(blocks.size() + more.size(), 9u);
}

TEST(AacToPcmTest, InputBeyondTheLimitIsRefusedOrReplacesTheBuffer) {
    const AdtsStream& s = adts_stream();
    AacToPcm converter(1000);
    const Bytes& frame = s.frames[3];
    EXPECT_EQ(converter.Feed(frame.data(), static_cast<int>(frame.size())), -1);  // not initialised
    ASSERT_EQ(converter.Init(), 0);
    const Bytes big(1001, 0x42);
    EXPECT_EQ(converter.Feed(big.data(), static_cast<int>(big.size())), -1);
    EXPECT_LE(converter.BufferedBytes(), 1000u);
    // Half a frame waits; bytes that would overflow the buffer replace it.
    const Bytes half(frame.begin(), frame.begin() + static_cast<long>(frame.size() / 2));
    EXPECT_EQ(converter.Feed(half.data(), static_cast<int>(half.size())), -1);
    EXPECT_EQ(converter.BufferedBytes(), half.size());
    const Bytes filler(900, 0x42);
    converter.Feed(filler.data(), static_cast<int>(filler.size()));
    EXPECT_LE(converter.BufferedBytes(), 1000u);
    EXPECT_EQ(converter.Feed(nullptr, 10), -1);
}

TEST(PcmToAacTest, EncodesWholeFramesAndKeepsTheRestForTheNextCall) {
    PcmToAac converter(1048576, 1024);
    const Bytes pcm = sine_s16(1000, 48000, 2, 48000, 10000);
    EXPECT_EQ(converter.Encode(pcm.data(), 4096), -1);  // not initialised
    EXPECT_EQ(converter.Init(2, 48000, 24), -1);        // only 16-bit input
    ASSERT_EQ(converter.Init(2, 48000, 16), 0);
    // Pieces that are no multiple of a frame: the remainder waits for the next call.
    AacFrames frames;
    for (size_t at = 0; at < pcm.size(); at += 1000) {
        ASSERT_EQ(converter.Encode(pcm.data() + at, static_cast<int>(std::min<size_t>(1000, pcm.size() - at))), 0);
        for (std::string f = converter.TakeFrame(); !f.empty(); f = converter.TakeFrame())
            frames.emplace_back(f.begin(), f.end());
    }
    // 46 whole frames in, one held back by the encoder.
    EXPECT_EQ(frames.size(), 48000u / 1024 - 1);
    // The frames are MPEG-2 AAC-LC at 48 kHz stereo, as a decoder given that config hears them.
    AAC2PCM decoder;
    ASSERT_EQ(decoder.Open(5, 48000), 0);
    const uint8_t config[2] = {0x11, 0x90};
    ASSERT_EQ(decoder.InitWithConfig(config, 2), 0);
    Bytes decoded;
    Bytes out(kAacMaxPcmFrameBytes);
    for (const auto& f : frames) {
        int n = 0;
        if (decoder.Decode(f.data(), static_cast<int>(f.size()), out.data(), static_cast<int>(out.size()), &n) == 0) {
            decoded.insert(decoded.end(), out.begin(), out.begin() + n);
        }
    }
    decoder.Close();
    const auto left = channel_of(decoded, 2, 0);
    ASSERT_GT(left.size(), 3u * 4096);
    EXPECT_NEAR(tone_frequency(std::vector<int16_t>(left.begin() + 4096, left.end() - 4096), 48000), 1000, 2);
}

TEST(PcmToAacTest, RefusesPcmBeyondItsLimitAndStopsWhenTheQueueIsFull) {
    const Bytes pcm = sine_s16(1000, 48000, 2, 4 * 1024, 10000);
    {
        PcmToAac converter(5000, 1024);
        ASSERT_EQ(converter.Init(2, 48000, 16), 0);
        EXPECT_EQ(converter.Encode(pcm.data(), 3000), 0);
        EXPECT_EQ(converter.Encode(pcm.data(), 3000), -1);  // 6000 would pass the limit: not appended
        EXPECT_EQ(converter.Encode(pcm.data(), 2000), 0);   // 5000 fits: one frame encoded, 904 left
        EXPECT_EQ(converter.Encode(pcm.data(), 4096), 0);
    }
    {
        PcmToAac converter(1048576, 1);
        ASSERT_EQ(converter.Init(2, 48000, 16), 0);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(converter.Encode(pcm.data() + i * 4096, 4096), 0);
        // Two frames queued, more than the limit of one: the next call appends but encodes nothing.
        EXPECT_EQ(converter.Encode(pcm.data() + 3 * 4096, 4096), -1);
        EXPECT_FALSE(converter.TakeFrame().empty());
        EXPECT_FALSE(converter.TakeFrame().empty());
        EXPECT_TRUE(converter.TakeFrame().empty());
        // With room again the waiting frame is encoded.
        EXPECT_EQ(converter.Encode(pcm.data(), 0), 0);
        EXPECT_FALSE(converter.TakeFrame().empty());
    }
}

TEST(AacFileRoutineTest, ConvertFilesAndFailWithoutThem) {
    TempDir dir;
    EXPECT_EQ(pcm_to_aac_file_test(dir.path()), -1);
    EXPECT_EQ(aac_to_pcm_file_test(dir.path()), -1);

    write_bytes(dir.path() + "/mic.pcm", sine_s16(1000, 48000, 2, 48000, 10000));
    ASSERT_EQ(pcm_to_aac_file_test(dir.path()), 0);
    // Raw frames at the encoder's default 64000 bit/s per channel: about 16 kB for the second.
    const size_t aac_bytes = read_bytes(dir.path() + "/mic1.AAC").size();
    EXPECT_GT(aac_bytes, 2000u);
    EXPECT_LT(aac_bytes, 20000u);

    write_bytes(dir.path() + "/music.aac", adts_stream().bytes);
    ASSERT_EQ(aac_to_pcm_file_test(dir.path()), 0);
    const Bytes pcm = read_bytes(dir.path() + "/music.pcm");
    EXPECT_EQ(pcm.size(), (adts_stream().frames.size() - 1) * 4096);
    const auto left = channel_of(pcm, 2, 0);
    ASSERT_GT(left.size(), 3u * 4096);
    EXPECT_NEAR(tone_frequency(std::vector<int16_t>(left.begin() + 4096, left.end() - 4096), 48000), 1000, 2);
}

}  // namespace
