#include "rtmp_chunk.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "byte_order.h"

using mnet::RtmpChunk;
using mnet::RtmpMessage;

namespace {

std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s.push_back(static_cast<char>(b));
    return s;
}

// Feeds data in pieces of the given sizes (the rest in one) and collects every completed message.
std::vector<RtmpMessage> ParseAll(RtmpChunk& chunk, const std::string& data, const std::vector<size_t>& splits,
                                  bool* error = nullptr) {
    std::vector<RtmpMessage> out;
    std::string pending;
    size_t pos = 0;
    size_t split_index = 0;
    while (pos < data.size()) {
        size_t piece = split_index < splits.size() ? splits[split_index++] : data.size() - pos;
        piece = std::min(piece, data.size() - pos);
        pending.append(data, pos, piece);
        pos += piece;
        for (;;) {
            RtmpMessage msg;
            int n = chunk.Parse(pending.data(), pending.size(), msg);
            if (n < 0) {
                if (error) *error = true;
                return out;
            }
            if (n == 0) break;
            pending.erase(0, static_cast<size_t>(n));
            if (msg.IsCompleted()) {
                if (msg.type_id == mnet::RTMP_SET_CHUNK_SIZE) {
                    chunk.SetInChunkSize(mnet::ReadUint32BE(msg.payload.get()));
                }
                out.push_back(msg);
            }
        }
    }
    if (error) *error = false;
    return out;
}

std::string Build(RtmpChunk& chunk, uint32_t csid, uint8_t type, uint64_t ts, const std::string& payload,
                  uint32_t stream_id = 1) {
    RtmpMessage msg;
    msg.type_id = type;
    msg.abs_timestamp = ts;
    msg.stream_id = stream_id;
    msg.length = static_cast<uint32_t>(payload.size());
    msg.payload.reset(new char[payload.size() + 1], std::default_delete<char[]>());
    memcpy(msg.payload.get(), payload.data(), payload.size());
    std::vector<char> buf(chunk.ChunkedSize(csid, msg));
    int n = chunk.CreateChunk(csid, msg, buf.data(), static_cast<uint32_t>(buf.size()));
    EXPECT_EQ(n, static_cast<int>(buf.size()));
    // The segments of a gathered write carry the same bytes, the payload not copied.
    std::string gathered;
    for (const auto& segment : chunk.CreateChunkSegments(csid, msg)) {
        bool in_payload = segment.data.get() >= msg.payload.get() && segment.data.get() < msg.payload.get() + msg.length;
        bool is_header = segment.size <= 18;
        EXPECT_TRUE(in_payload || is_header) << "a segment of " << segment.size << " bytes is a copy";
        gathered.append(segment.data.get(), segment.size);
    }
    EXPECT_EQ(gathered, std::string(buf.data(), buf.size()));
    return std::string(buf.data(), buf.size());
}

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + 3);
    return s;
}

}  // namespace

// A 300-byte message at the default chunk size: one type-0 chunk and two type-3 continuations.
TEST(RtmpChunkTest, MessageSplitAcrossDefaultChunkSize) {
    std::string payload = Pattern(300);
    std::string wire = Bytes({0x04, 0x00, 0x03, 0xE8, 0x00, 0x01, 0x2C, 0x09, 0x01, 0x00, 0x00, 0x00});
    wire += payload.substr(0, 128) + Bytes({0xC4}) + payload.substr(128, 128) + Bytes({0xC4}) + payload.substr(256);

    RtmpChunk chunk;
    auto messages = ParseAll(chunk, wire, {});
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].abs_timestamp, 1000u);
    EXPECT_EQ(messages[0].type_id, 9);
    EXPECT_EQ(messages[0].stream_id, 1u);
    EXPECT_EQ(messages[0].csid, 4u);
    EXPECT_EQ(std::string(messages[0].payload.get(), 300), payload);

    // The builder writes the same bytes.
    RtmpChunk builder;
    EXPECT_EQ(Build(builder, 4, 9, 1000, payload), wire);
}

TEST(RtmpChunkTest, TimestampRules) {
    struct Case {
        const char* name;
        std::string wire;
        std::vector<uint64_t> expected;
    };
    const std::string p4 = "abcd";
    const Case cases[] = {
        // type 0 at 1000, two type-1 messages with delta 40, then a type-3 message start repeats the delta.
        {"deltas and type-3 start",
         Bytes({0x04, 0x00, 0x03, 0xE8, 0x00, 0x00, 0x04, 0x08, 0x01, 0, 0, 0}) + p4 +
             Bytes({0x44, 0x00, 0x00, 0x28, 0x00, 0x00, 0x04, 0x08}) + p4 +
             Bytes({0x44, 0x00, 0x00, 0x28, 0x00, 0x00, 0x04, 0x08}) + p4 + Bytes({0xC4}) + p4,
         {1000, 1040, 1080, 1120}},
        // type 2 carries only a delta.
        {"type 2 delta",
         Bytes({0x04, 0x00, 0x00, 0x64, 0x00, 0x00, 0x04, 0x08, 0x01, 0, 0, 0}) + p4 +
             Bytes({0x84, 0x00, 0x00, 0x15}) + p4,
         {100, 121}},
        // extended timestamp on a type-0 header.
        {"extended type 0",
         Bytes({0x04, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x04, 0x08, 0x01, 0, 0, 0, 0x01, 0x00, 0x00, 0x00}) + p4,
         {0x01000000}},
        // extended delta re-applied by a type-3 message start, whose header repeats the extended field.
        {"extended delta on type 3",
         Bytes({0x04, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x04, 0x08, 0x01, 0, 0, 0}) + p4 +
             Bytes({0x84, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00}) + p4 +
             Bytes({0xC4, 0x01, 0x00, 0x00, 0x00}) + p4,
         {10, 10 + 0x01000000ull, 10 + 0x02000000ull}},
    };
    for (const Case& c : cases) {
        RtmpChunk chunk;
        auto messages = ParseAll(chunk, c.wire, {});
        ASSERT_EQ(messages.size(), c.expected.size()) << c.name;
        for (size_t i = 0; i < messages.size(); ++i) {
            EXPECT_EQ(messages[i].abs_timestamp, c.expected[i]) << c.name << " message " << i;
            EXPECT_EQ(std::string(messages[i].payload.get(), 4), p4) << c.name;
        }
    }
}

TEST(RtmpChunkTest, ExtendedTimestampRepeatedOnContinuations) {
    std::string payload = Pattern(200);
    RtmpChunk builder;
    std::string wire = Build(builder, 5, 9, 0x1000000, payload);
    // 0xFFFFFF in the header, 0x01000000 after it and after the type-3 basic header.
    EXPECT_EQ(wire.substr(1, 3), Bytes({0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(wire.substr(12, 4), Bytes({0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(wire.substr(16 + 128, 5), Bytes({0xC5, 0x01, 0x00, 0x00, 0x00}));

    RtmpChunk chunk;
    auto messages = ParseAll(chunk, wire, {});
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].abs_timestamp, 0x1000000u);
    EXPECT_EQ(std::string(messages[0].payload.get(), 200), payload);
}

TEST(RtmpChunkTest, BasicHeaderForms) {
    struct Case {
        uint32_t csid;
        std::string header;
    };
    const Case cases[] = {
        {3, Bytes({0x03})},
        {63, Bytes({0x3F})},
        {64, Bytes({0x00, 0x00})},
        {69, Bytes({0x00, 0x05})},
        {318, Bytes({0x00, 0xFE})},
        {319, Bytes({0x01, 0xFF, 0x00})},
        {1000, Bytes({0x01, 0xA8, 0x03})},
    };
    for (const Case& c : cases) {
        RtmpChunk builder;
        std::string wire = Build(builder, c.csid, 20, 0, "x");
        EXPECT_EQ(wire.substr(0, c.header.size()), c.header) << c.csid;
        RtmpChunk chunk;
        auto messages = ParseAll(chunk, wire, {});
        ASSERT_EQ(messages.size(), 1u) << c.csid;
        EXPECT_EQ(messages[0].csid, c.csid);
    }
}

// Build then parse across chunk-size boundaries and timestamps around the extended threshold, with every message
// delivered whole whatever the input splits.
TEST(RtmpChunkTest, RoundTripAcrossSizesAndTimestamps) {
    const uint32_t chunk_sizes[] = {1, 2, 127, 128, 129, 4096, 60000};
    const size_t lengths[] = {1, 127, 128, 129, 256, 257, 70000};
    const uint64_t timestamps[] = {0, 1, 0xFFFFFE, 0xFFFFFF, 0x1000000, 0xFFFFFFFF};
    std::mt19937 rng(7);
    for (uint32_t size : chunk_sizes) {
        RtmpChunk builder;
        builder.SetOutChunkSize(size);
        std::string wire;
        std::vector<std::pair<uint64_t, std::string>> sent;
        for (size_t length : lengths) {
            for (uint64_t ts : timestamps) {
                std::string payload = Pattern(length);
                payload[0] = static_cast<char>(sent.size());
                wire += Build(builder, 6, 8, ts, payload);
                sent.emplace_back(ts, payload);
            }
        }
        std::vector<size_t> splits;
        for (size_t pos = 0; pos < wire.size();) {
            size_t piece = 1 + rng() % 3000;
            splits.push_back(piece);
            pos += piece;
        }
        RtmpChunk parser;
        parser.SetInChunkSize(size);
        auto messages = ParseAll(parser, wire, splits);
        ASSERT_EQ(messages.size(), sent.size()) << "chunk size " << size;
        for (size_t i = 0; i < sent.size(); ++i) {
            EXPECT_EQ(messages[i].abs_timestamp, sent[i].first & 0xFFFFFFFF) << size << " " << i;
            EXPECT_EQ(std::string(messages[i].payload.get(), messages[i].length), sent[i].second) << size << " " << i;
        }
    }
}

TEST(RtmpChunkTest, HeaderSplitMidwayIsLeftUntouched) {
    std::string wire = Bytes({0x04, 0x00, 0x03, 0xE8, 0x00, 0x00, 0x01, 0x08, 0x01, 0, 0, 0, 'z'});
    RtmpChunk chunk;
    RtmpMessage msg;
    for (size_t n = 1; n < 12; ++n) EXPECT_EQ(chunk.Parse(wire.data(), n, msg), 0) << n;
    EXPECT_EQ(chunk.Parse(wire.data(), wire.size(), msg), 12);
    EXPECT_EQ(chunk.Parse(wire.data() + 12, 1, msg), 1);
    EXPECT_TRUE(msg.IsCompleted());
}

TEST(RtmpChunkTest, EmptyMessageIsSkippedWithoutStalling) {
    std::string wire = Bytes({0x04, 0, 0, 0, 0, 0, 0, 0x08, 0x01, 0, 0, 0}) +
                       Bytes({0x05, 0, 0, 5, 0, 0, 1, 0x09, 0x01, 0, 0, 0, 'v'});
    RtmpChunk chunk;
    auto messages = ParseAll(chunk, wire, {});
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].type_id, 9);
}

TEST(RtmpChunkTest, HostileHeadersAreRefused) {
    struct Case {
        const char* name;
        std::string wire;
    };
    std::string too_many;
    for (int i = 0; i < 70; ++i) too_many += Bytes({0x00, i, 0, 0, 0, 0, 0, 0, 0x08, 0, 0, 0, 0});
    const Case cases[] = {
        {"message above the size limit", Bytes({0x04, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x09, 1, 0, 0, 0})},
        {"chunk stream id above the limit", Bytes({0x01, 0xFF, 0xFF, 0, 0, 0, 0, 0, 1, 0x09, 1, 0, 0, 0})},
        {"too many open chunk streams", too_many},
    };
    for (const Case& c : cases) {
        RtmpChunk chunk;
        bool error = false;
        ParseAll(chunk, c.wire, {}, &error);
        EXPECT_TRUE(error) << c.name;
    }
}

// Partly received messages are bounded per connection, across its chunk streams: a large message with audio
// beside it fits, a large message started on many chunk streams does not.
TEST(RtmpChunkTest, PartialMessagesAreBoundedAcrossChunkStreams) {
    // The first chunk of a message of length bytes on chunk stream csid (2-byte form from 64): a type-0
    // header and piece payload bytes, piece being the chunk size.
    auto start = [](uint32_t csid, uint32_t length, uint32_t piece) {
        std::string wire = csid < 64 ? Bytes({static_cast<int>(csid)}) : Bytes({0, static_cast<int>(csid - 64)});
        wire += Bytes({0, 0, 0, static_cast<int>(length >> 16), static_cast<int>((length >> 8) & 0xFF),
                       static_cast<int>(length & 0xFF), 0x09, 1, 0, 0, 0});
        return wire + Pattern(piece);
    };
    {
        RtmpChunk chunk;
        ASSERT_TRUE(chunk.SetInChunkSize(200));
        bool error = true;
        EXPECT_TRUE(ParseAll(chunk, start(4, 1000, 200), {}, &error).empty());
        ASSERT_FALSE(error);
        EXPECT_EQ(chunk.PartialBytes(), 1000u);
        RtmpChunk out;
        out.SetOutChunkSize(200);
        auto big = ParseAll(chunk, Build(out, 6, 9, 0, Pattern(RtmpChunk::kMaxMessageSize)), {}, &error);
        ASSERT_FALSE(error);
        ASSERT_EQ(big.size(), 1u);
        EXPECT_EQ(big[0].length, RtmpChunk::kMaxMessageSize);
        EXPECT_EQ(chunk.PartialBytes(), 1000u) << "a completed message no longer counts";
        chunk.Clear();
        EXPECT_EQ(chunk.PartialBytes(), 0u);
    }
    {
        RtmpChunk chunk;
        ASSERT_TRUE(chunk.SetInChunkSize(100 * 1024));
        std::string wire;
        for (uint32_t csid = 3; csid < 3 + RtmpChunk::kMaxChunkStreams - 1; ++csid) {
            wire += start(csid, 1024 * 1024, 100 * 1024);
        }
        bool error = false;
        ParseAll(chunk, wire, {}, &error);
        EXPECT_TRUE(error);
        EXPECT_LE(chunk.PartialBytes(), RtmpChunk::kMaxPartialBytes);
    }
}

TEST(RtmpChunkTest, ChunkSizeLimits) {
    RtmpChunk chunk;
    EXPECT_FALSE(chunk.SetInChunkSize(0));
    EXPECT_EQ(chunk.GetInChunkSize(), 128u);
    EXPECT_TRUE(chunk.SetInChunkSize(0x7FFFFFFF));
    EXPECT_EQ(chunk.GetInChunkSize(), RtmpChunk::kMaxChunkSize);
    EXPECT_LT(RtmpChunk::kMaxChunkSize + 64, mnet::BufferReader::kMaxUnreadBytes);
}

// A recorded FFmpeg publish (chunk stream after the handshake), split at random points from 1 byte to 64 KB,
// gives the same messages as parsed whole; its audio timestamps advance by whole AAC frames without drift.
TEST(RtmpChunkTest, RecordedPublishRandomSplits) {
    std::ifstream in(RTMP_TEST_DATA_DIR "/ffmpeg_publish_chunks.bin", std::ios::binary);
    std::string wire((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(wire.size(), 10000u);

    RtmpChunk whole;
    bool error = true;
    auto reference = ParseAll(whole, wire, {}, &error);
    ASSERT_FALSE(error);
    ASSERT_GT(reference.size(), 100u);

    std::vector<uint64_t> audio;
    std::vector<uint64_t> video;
    for (auto& m : reference) {
        if (m.type_id == 8) audio.push_back(m.abs_timestamp);
        if (m.type_id == 9) video.push_back(m.abs_timestamp);
    }
    ASSERT_GT(audio.size(), 50u);
    ASSERT_GT(video.size(), 30u);
    // 1024 samples at 48 kHz: 21.33 ms a frame; the last audio timestamp stays with the last video one.
    double expected = (audio.size() - 2) * 1024.0 / 48.0;  // the first audio message is the sequence header
    EXPECT_NEAR(static_cast<double>(audio.back() - audio[1]), expected, 30.0);
    EXPECT_NEAR(static_cast<double>(audio.back()), static_cast<double>(video.back()), 100.0);

    std::mt19937 rng(42);
    for (int round = 0; round < 20; ++round) {
        size_t max_piece = round < 5 ? 16 : (round < 10 ? 700 : 65536);
        std::vector<size_t> splits;
        for (size_t pos = 0; pos < wire.size();) {
            size_t piece = 1 + rng() % max_piece;
            splits.push_back(piece);
            pos += piece;
        }
        RtmpChunk chunk;
        auto messages = ParseAll(chunk, wire, splits, &error);
        ASSERT_FALSE(error);
        ASSERT_EQ(messages.size(), reference.size());
        for (size_t i = 0; i < messages.size(); ++i) {
            ASSERT_EQ(messages[i].abs_timestamp, reference[i].abs_timestamp) << i;
            ASSERT_EQ(messages[i].type_id, reference[i].type_id) << i;
            ASSERT_EQ(messages[i].stream_id, reference[i].stream_id) << i;
            ASSERT_EQ(std::string(messages[i].payload.get(), messages[i].length),
                      std::string(reference[i].payload.get(), reference[i].length))
                << i;
        }
    }
}
