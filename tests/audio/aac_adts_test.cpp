// ADTS framing: header fields, the AudioSpecificConfig a raw-frame decoder gets from them, and the search
// for a whole frame in bytes that may be cut, corrupt or misaligned.
#include "aac_adts.h"

#include <gtest/gtest.h>

#include <vector>

#include "aac_test_support.h"
#include "test_support.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

using Bytes = std::vector<uint8_t>;

// An ADTS frame of payload bytes 0x11, 0x22, ... (AAC-LC, 48000 Hz, stereo).
Bytes frame_of(size_t payload) {
    Bytes raw(payload);
    for (size_t i = 0; i < payload; ++i) raw[i] = static_cast<uint8_t>(0x11 * (i % 15 + 1));
    return adts_wrap(raw, 3, 2);
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A header whose length field says `length`.
Bytes with_length(Bytes frame, int length) {
    frame[3] = static_cast<uint8_t>((frame[3] & 0xFC) | ((length >> 11) & 3));
    frame[4] = static_cast<uint8_t>((length >> 3) & 0xFF);
    frame[5] = static_cast<uint8_t>(((length & 7) << 5) | (frame[5] & 0x1F));
    return frame;
}

// The AudioSpecificConfig ffmpeg's MP4 muxer stored for the file's first stream.
Bytes mp4_audio_config(const std::string& path) {
    AVFormatContext* format = nullptr;
    Bytes config;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) != 0) return config;
    if (avformat_find_stream_info(format, nullptr) >= 0 && format->nb_streams > 0) {
        const AVCodecParameters* par = format->streams[0]->codecpar;
        config.assign(par->extradata, par->extradata + par->extradata_size);
    }
    avformat_close_input(&format);
    return config;
}

TEST(AdtsHeaderTest, ReadsTheFieldsAndRefusesWhatIsNoHeader) {
    struct Case {
        const char* name;
        Bytes bytes;
        bool parsed;
        int rate;
        int channels;
        int length;
        int header_length;
    };
    Bytes crc = frame_of(20);
    crc[1] = 0xF0;  // protection_absent 0: two CRC bytes follow
    Bytes mp3 = frame_of(20);
    mp3[1] = 0xFB;  // layer bits set: an MPEG audio (MP3) header, not ADTS
    Bytes reserved_rate = frame_of(20);
    reserved_rate[2] = static_cast<uint8_t>((reserved_rate[2] & 0xC3) | (13 << 2));
    const uint8_t stored[] = {0xFF, 0xF1, 0x50, 0x40, 0x01, 0xBF, 0xFC};
    const Case cases[] = {
        {"AAC-LC 48 kHz stereo", frame_of(20), true, 48000, 2, 27, 7},
        {"44.1 kHz mono", Bytes(stored, stored + 7), true, 44100, 1, 13, 7},
        {"with CRC", crc, true, 48000, 2, 27, 9},
        {"length below the header", with_length(frame_of(20), 6), false, 0, 0, 0, 0},
        {"length 0", with_length(frame_of(20), 0), false, 0, 0, 0, 0},
        {"CRC header longer than its length", with_length(crc, 8), false, 0, 0, 0, 0},
        {"layer bits", mp3, false, 0, 0, 0, 0},
        {"reserved rate index", reserved_rate, false, 0, 0, 0, 0},
        {"six bytes", Bytes(stored, stored + 6), false, 0, 0, 0, 0},
        {"no sync", Bytes{0xFF, 0xE1, 0x50, 0x40, 0x01, 0xBF, 0xFC}, false, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        AdtsHeader h;
        ASSERT_EQ(adts_parse_header(c.bytes.data(), c.bytes.size(), &h), c.parsed) << c.name;
        if (!c.parsed) continue;
        EXPECT_EQ(h.sample_rate, c.rate) << c.name;
        EXPECT_EQ(h.channel_config, c.channels) << c.name;
        EXPECT_EQ(h.frame_length, c.length) << c.name;
        EXPECT_EQ(h.header_length, c.header_length) << c.name;
        EXPECT_EQ(h.object_type, 2) << c.name;
    }
}

TEST(AdtsHeaderTest, AudioSpecificConfigMatchesWhatFfmpegStoresForTheSameStream) {
    // ffmpeg's MP4 muxer stores the stream's AudioSpecificConfig; the ADTS header of the same stream must
    // give the same two bytes.
    struct Case {
        int rate;
        int channels;
    };
    TempDir dir;
    for (const Case c : {Case{48000, 2}, Case{44100, 1}, Case{22050, 2}}) {
        const std::string aac = dir.path() + "/s.aac";
        const std::string m4a = dir.path() + "/s.m4a";
        ASSERT_TRUE(run_ffmpeg("-f lavfi -i sine=frequency=440:sample_rate=" + std::to_string(c.rate) +
                               ":duration=0.2 -ac " + std::to_string(c.channels) + " -c:a aac -f adts " + aac));
        ASSERT_TRUE(run_ffmpeg("-i " + aac + " -c copy " + m4a));
        const Bytes adts = read_bytes(aac);
        AdtsHeader h;
        ASSERT_TRUE(adts_parse_header(adts.data(), adts.size(), &h));
        uint8_t config[2] = {};
        ASSERT_EQ(adts_audio_specific_config(h, config), 2);
        EXPECT_EQ(Bytes(config, config + 2), mp4_audio_config(m4a)) << c.rate << " Hz " << c.channels << " ch";
    }
}

TEST(AdtsFrameSearchTest, FindsTheFirstWholeFrameOnly) {
    const Bytes a = frame_of(20);  // 27 bytes
    const Bytes b = frame_of(40);  // 47 bytes
    struct Case {
        const char* name;
        Bytes bytes;
        int result;
        Bytes expected;  // the frame copied out
    };
    const Case cases[] = {
        {"one frame", a, 0, a},
        {"the first of two", join({a, b}), 0, a},
        {"after leading garbage", join({Bytes{0x00, 0xFF, 0x12, 0xFF}, b}), 0, b},
        // A corrupt length below the header is no frame: the search moves a byte on and finds the real one.
        {"after a header with length 0", join({with_length(a, 0), b}), 0, b},
        {"after a header with length 6", join({with_length(a, 6), b}), 0, b},
        {"cut inside the frame", Bytes(b.begin(), b.end() - 1), -1, {}},
        {"cut inside the header", Bytes(b.begin(), b.begin() + 5), -1, {}},
        {"no sync", Bytes(64, 0x55), -1, {}},
        {"empty", Bytes{}, -1, {}},
    };
    for (const Case& c : cases) {
        Bytes out(kAdtsMaxFrameBytes, 0);
        int length = -7;
        ASSERT_EQ(aac_get_adts_frame(c.bytes.data(), static_cast<int>(c.bytes.size()), out.data(),
                                     static_cast<int>(out.size()), &length),
                  c.result)
            << c.name;
        if (c.result != 0) {
            EXPECT_EQ(length, -7) << c.name;
            continue;
        }
        ASSERT_EQ(length, static_cast<int>(c.expected.size())) << c.name;
        EXPECT_EQ(Bytes(out.begin(), out.begin() + length), c.expected) << c.name;
    }
}

TEST(AdtsFrameSearchTest, RefusesNullArgumentsAndAFrameLargerThanTheOutput) {
    const Bytes a = frame_of(20);
    Bytes out(26, 0xEE);
    int length = 0;
    EXPECT_EQ(aac_get_adts_frame(nullptr, 27, out.data(), 26, &length), -1);
    EXPECT_EQ(aac_get_adts_frame(a.data(), 27, nullptr, 26, &length), -1);
    EXPECT_EQ(aac_get_adts_frame(a.data(), 27, out.data(), 26, nullptr), -1);
    EXPECT_EQ(aac_get_adts_frame(a.data(), 27, out.data(), 26, &length), -1);
    EXPECT_EQ(out, Bytes(26, 0xEE));
}

TEST(AdtsFrameSearchTest, ReportsWhereAnIncompleteFrameStarts) {
    const Bytes a = frame_of(20);
    const Bytes b = frame_of(40);
    struct Case {
        const char* name;
        Bytes bytes;
        AdtsScan scan;
        size_t offset;
    };
    const Case cases[] = {
        {"whole frame after garbage", join({Bytes{1, 2, 3}, a}), AdtsScan::kFound, 3},
        {"frame cut at its end", join({Bytes{1, 2}, Bytes(b.begin(), b.end() - 3)}), AdtsScan::kIncomplete, 2},
        {"a lone 0xFF at the end", Bytes{1, 2, 0xFF}, AdtsScan::kIncomplete, 2},
        {"nothing", Bytes{1, 2, 3}, AdtsScan::kNone, 0},
    };
    for (const Case& c : cases) {
        size_t offset = 99;
        size_t length = 0;
        EXPECT_EQ(adts_find_frame(c.bytes.data(), c.bytes.size(), &offset, &length), c.scan) << c.name;
        if (c.scan != AdtsScan::kNone) {
            EXPECT_EQ(offset, c.offset) << c.name;
        }
    }
}

}  // namespace
