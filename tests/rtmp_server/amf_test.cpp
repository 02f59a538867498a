#include "amf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "byte_order.h"
#include "rtmp_chunk.h"

using mnet::AmfDecoder;
using mnet::AmfEncoder;
using mnet::AmfObject;
using mnet::AmfObjects;

namespace {

std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) s.push_back(static_cast<char>(b));
    return s;
}
std::string Str(const std::string& s) { return B({2, 0, static_cast<int>(s.size())}) + s; }
std::string Key(const std::string& s) { return B({0, static_cast<int>(s.size())}) + s; }
std::string Num(double v) {
    uint64_t bits;
    memcpy(&bits, &v, 8);
    std::string s(1, '\0');
    for (int i = 7; i >= 0; --i) s.push_back(static_cast<char>(bits >> (i * 8)));
    return s;
}
const std::string kEnd = B({0, 0, 9});
std::string Encoded(const AmfEncoder& enc) { return std::string(enc.Data().get(), enc.Size()); }

}  // namespace

TEST(AmfDecoderTest, DecodeTable) {
    struct Case {
        const char* name;
        std::string input;
        int n;
        int result;
        std::string string;
        double number;
        size_t properties;
    };
    const Case cases[] = {
        {"connect and 1.0", Str("connect") + Num(1.0), 2, 19, "connect", 1.0, 0},
        {"only the first value", Str("connect") + Num(1.0), 1, 10, "connect", 0, 0},
        {"object", B({3}) + Key("app") + Str("live") + Key("type") + Str("nonprivate") + kEnd, -1, 35, "", 0, 2},
        {"ECMA array then a value", B({8, 0, 0, 0, 2}) + Key("width") + Num(640) + kEnd + Str("after"), -1,
         1 + 4 + 7 + 9 + 3 + 8, "after", 0, 1},
        {"null value is skipped, later properties kept",
         B({3}) + Key("a") + B({5}) + Key("b") + Str("x") + kEnd, -1, 15, "", 0, 1},
        {"nested object walked, not kept", B({3}) + Key("o") + B({3}) + Key("x") + Num(1) + kEnd + Key("s") +
                                               Str("v") + kEnd, -1, 1 + 3 + 1 + 3 + 9 + 3 + 3 + 4 + 3, "", 0, 1},
        {"strict array, date, undefined, reference skipped",
         B({10, 0, 0, 0, 2}) + Num(1) + Str("z") + B({11}) + std::string(10, '\0') + B({6}) + B({7, 0, 1}) +
             Num(5), -1, 5 + 9 + 4 + 11 + 1 + 3 + 9, "", 5, 0},
        {"long string", B({12, 0, 0, 0, 3}) + "abc", -1, 8, "abc", 0, 0},
        {"boolean", B({1, 1}), -1, 2, "", 0, 0},
    };
    for (const Case& c : cases) {
        AmfDecoder dec;
        int result = dec.Decode(c.input.data(), static_cast<int>(c.input.size()), c.n);
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(dec.GetString(), c.string) << c.name;
        EXPECT_EQ(dec.GetNumber(), c.number) << c.name;
        EXPECT_EQ(dec.GetObjects().size(), c.properties) << c.name;
    }
}

TEST(AmfDecoderTest, ObjectProperties) {
    std::string input = B({3}) + Key("app") + Str("live") + Key("fpad") + B({1, 0}) + Key("capabilities") +
                        Num(15) + Key("app") + Str("second") + kEnd;
    AmfDecoder dec;
    ASSERT_EQ(dec.Decode(input.data(), static_cast<int>(input.size())), static_cast<int>(input.size()));
    ASSERT_TRUE(dec.HasObject("app"));
    EXPECT_EQ(dec.GetObject("app").amf_string, "live");  // a later duplicate keeps the first value
    EXPECT_EQ(dec.GetObject("fpad").type, mnet::AMF0_BOOLEAN);
    EXPECT_FALSE(dec.GetObject("fpad").amf_boolean);
    EXPECT_EQ(dec.GetObject("capabilities").amf_number, 15);
    EXPECT_FALSE(dec.HasObject("missing"));
    EXPECT_EQ(dec.GetObject("missing").amf_string, "");
}

TEST(AmfDecoderTest, MalformedInputIsRefused) {
    std::string deep;
    for (int i = 0; i < 40; ++i) deep += B({3}) + Key("k");
    deep += Num(1);
    std::string many = B({3});
    for (int i = 0; i < 1100; ++i) many += Key("k" + std::to_string(i)) + B({1, 1});
    many += kEnd;
    struct Case {
        const char* name;
        std::string input;
    };
    const Case cases[] = {
        {"truncated number", B({0, 1, 2, 3})},
        {"truncated boolean", B({1})},
        {"string longer than the data", B({2, 0, 10}) + "abc"},
        {"string length cut", B({2, 0})},
        {"key length with one byte left", B({3, 0})},
        {"key longer than the data", B({3, 0, 9}) + "ab"},
        {"object without end marker", B({3}) + Key("a") + Num(1)},
        {"ECMA count cut", B({8, 0, 0})},
        {"strict array count larger than data", B({10, 0xFF, 0xFF, 0xFF, 0xFF, 5})},
        {"unknown marker", B({0x42})},
        {"AMF3 switch", B({17, 1})},
        {"nesting beyond the depth limit", deep},
        {"too many properties", many},
    };
    for (const Case& c : cases) {
        AmfDecoder dec;
        EXPECT_EQ(dec.Decode(c.input.data(), static_cast<int>(c.input.size())), -1) << c.name;
    }
}

TEST(AmfEncoderTest, EncodeTable) {
    AmfEncoder enc;
    enc.EncodeObjects(AmfObjects());
    EXPECT_EQ(Encoded(enc), B({5}));

    enc.Reset();
    enc.EncodeString("abc", 3, false);
    EXPECT_EQ(Encoded(enc), B({0, 3}) + "abc");

    enc.Reset();
    enc.EncodeNumber(1.0);
    enc.EncodeBoolean(5);
    EXPECT_EQ(Encoded(enc), Num(1.0) + B({1, 1}));

    enc.Reset();
    std::string big(70000, 'q');
    enc.EncodeString(big.data(), static_cast<int>(big.size()));
    EXPECT_EQ(Encoded(enc), B({12, 0, 1, 0x11, 0x70}) + big);

    enc.Reset();
    AmfObjects one;
    one["k"] = AmfObject(2.0);
    enc.EncodeEcma(one);
    EXPECT_EQ(Encoded(enc), B({8, 0, 0, 0, 0}) + Key("k") + Num(2.0) + kEnd);
}

TEST(AmfEncoderTest, GrowthKeepsEveryByte) {
    AmfEncoder enc(16);
    std::string expected;
    for (int i = 0; i < 100; ++i) {
        std::string s(i * 3 % 41, static_cast<char>('a' + i % 26));
        enc.EncodeString(s.data(), static_cast<int>(s.size()));
        expected += Str(s);
    }
    EXPECT_EQ(Encoded(enc), expected);
    EXPECT_GT(expected.size(), 1025u);
}

TEST(AmfTest, RoundTrip) {
    AmfObjects meta;
    meta["width"] = AmfObject(1920.0);
    meta["encoder"] = AmfObject(std::string("Lavf59.27.100"));
    meta["stereo"] = AmfObject(true);
    meta["empty"] = AmfObject(std::string());
    AmfEncoder enc;
    enc.EncodeString("onMetaData", 10);
    enc.EncodeEcma(meta);
    enc.EncodeNumber(-0.5);

    AmfDecoder dec;
    ASSERT_EQ(dec.Decode(enc.Data().get(), static_cast<int>(enc.Size())), static_cast<int>(enc.Size()));
    EXPECT_EQ(dec.GetNumber(), -0.5);
    AmfObjects back = dec.GetObjects();
    ASSERT_EQ(back.size(), meta.size());
    for (auto& entry : meta) {
        ASSERT_TRUE(back.count(entry.first)) << entry.first;
        EXPECT_EQ(back[entry.first].type, entry.second.type) << entry.first;
        EXPECT_EQ(back[entry.first].amf_string, entry.second.amf_string) << entry.first;
        EXPECT_EQ(back[entry.first].amf_number, entry.second.amf_number) << entry.first;
        EXPECT_EQ(back[entry.first].amf_boolean, entry.second.amf_boolean) << entry.first;
    }
}

// FFmpeg's own connect, publish and metadata, taken from a recorded publish.
TEST(AmfTest, FfmpegPayloads) {
    std::ifstream in(RTMP_TEST_DATA_DIR "/ffmpeg_publish_chunks.bin", std::ios::binary);
    std::string wire((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    mnet::RtmpChunk chunk;
    std::vector<mnet::RtmpMessage> commands;
    size_t pos = 0;
    while (pos < wire.size() && commands.size() < 6) {
        mnet::RtmpMessage msg;
        int n = chunk.Parse(wire.data() + pos, wire.size() - pos, msg);
        ASSERT_GT(n, 0);
        pos += static_cast<size_t>(n);
        if (!msg.IsCompleted()) continue;
        if (msg.type_id == mnet::RTMP_SET_CHUNK_SIZE) chunk.SetInChunkSize(mnet::ReadUint32BE(msg.payload.get()));
        if (msg.type_id == mnet::RTMP_INVOKE || msg.type_id == mnet::RTMP_NOTIFY) commands.push_back(msg);
    }
    ASSERT_EQ(commands.size(), 6u);
    auto decode = [](const mnet::RtmpMessage& msg, AmfDecoder& dec) {
        EXPECT_EQ(dec.Decode(msg.payload.get(), static_cast<int>(msg.length)), static_cast<int>(msg.length));
    };
    AmfDecoder connect;
    decode(commands[0], connect);
    EXPECT_EQ(connect.GetObject("app").amf_string, "live");
    EXPECT_EQ(connect.GetObject("tcUrl").amf_string.rfind("rtmp://127.0.0.1:", 0), 0u);
    EXPECT_EQ(connect.GetObject("type").amf_string, "nonprivate");

    AmfDecoder publish;
    ASSERT_EQ(publish.Decode(commands[4].payload.get(), static_cast<int>(commands[4].length), 1), 10);
    EXPECT_EQ(publish.GetString(), "publish");
    int used = publish.Decode(commands[4].payload.get() + 10, static_cast<int>(commands[4].length) - 10, 3);
    EXPECT_GT(used, 0);
    EXPECT_EQ(publish.GetString(), "x");

    AmfDecoder meta;
    decode(commands[5], meta);
    EXPECT_EQ(meta.GetString(), "onMetaData");
    EXPECT_EQ(meta.GetObject("width").amf_number, 160);
    EXPECT_EQ(meta.GetObject("encoder").amf_string.rfind("Lavf", 0), 0u);
    EXPECT_EQ(meta.GetObject("stereo").type, mnet::AMF0_BOOLEAN);
}
