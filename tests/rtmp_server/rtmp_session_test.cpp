#include "rtmp_session.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using mnet::AmfObject;
using mnet::AmfObjects;
using mnet::RtmpSession;

namespace {

// Records what the session hands it; becomes "playing" on its first media, as a player connection does.
class FakeSink : public mnet::RtmpSink {
public:
    FakeSink(int id, bool player) : id_(id), player_(player) {}

    struct Call {
        std::string what;  // "meta", "media", "video", "audio"
        int type;
        uint64_t timestamp;
        uint32_t size;
        int first_byte;
    };

    bool SendMetaData(AmfObjects meta) override {
        calls.push_back({"meta", 0, 0, static_cast<uint32_t>(meta.size()), 0});
        return true;
    }
    bool SendMediaData(uint8_t type, uint64_t ts, std::shared_ptr<char> p, uint32_t size) override {
        if (size == 0) return false;
        playing_ = true;
        calls.push_back({"media", type, ts, size, static_cast<uint8_t>(p.get()[0])});
        return true;
    }
    bool SendVideoData(uint64_t ts, std::shared_ptr<char> p, uint32_t size) override {
        calls.push_back({"video", 9, ts, size, static_cast<uint8_t>(p.get()[0])});
        return true;
    }
    bool SendAudioData(uint64_t ts, std::shared_ptr<char> p, uint32_t size) override {
        calls.push_back({"audio", 8, ts, size, static_cast<uint8_t>(p.get()[0])});
        return true;
    }
    bool IsPlayer() override { return player_; }
    bool IsPublisher() override { return !player_; }
    bool IsPlaying() override { return playing_; }
    int GetId() override { return id_; }

    std::vector<Call> calls;

private:
    int id_;
    bool player_;
    bool playing_ = false;
};

std::shared_ptr<char> Payload(std::initializer_list<int> head, size_t size) {
    std::shared_ptr<char> p(new char[size], std::default_delete<char[]>());
    memset(p.get(), 0, size);
    size_t i = 0;
    for (int b : head) p.get()[i++] = static_cast<char>(b);
    return p;
}

struct Media {
    uint8_t type;
    uint64_t ts;
    std::initializer_list<int> head;
    uint32_t size;
};
const Media kKey{9, 0, {0x17, 0x01}, 100};
const Media kInter{9, 0, {0x27, 0x01}, 50};
const Media kAac{8, 0, {0xAF, 0x01}, 20};

void Send(RtmpSession& session, Media m, uint64_t ts) {
    session.SendMediaData(m.type, ts, Payload(m.head, m.size), m.size);
}

class RtmpSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        publisher = std::make_shared<FakeSink>(1, false);
        session.AddSink(publisher);
        session.SetGopCache(5000);
        AmfObjects meta;
        meta["width"] = AmfObject(640.0);
        session.SetMetaData(meta);
        session.SetAvcSequenceHeader(Payload({0x17, 0x00}, 30), 30);
        session.SetAacSequenceHeader(Payload({0xAF, 0x00}, 4), 4);
    }
    RtmpSession session;
    std::shared_ptr<FakeSink> publisher;
};

std::string Describe(const std::vector<FakeSink::Call>& calls) {
    std::string s;
    for (auto& c : calls) s += c.what + ":" + std::to_string(c.type) + "@" + std::to_string(c.timestamp) + " ";
    return s;
}

}  // namespace

TEST_F(RtmpSessionTest, LateJoinerGetsHeadersThenTheNewestGopEndingWithTheCurrentMessage) {
    Send(session, kKey, 0);      // GOP 1
    Send(session, kInter, 33);
    Send(session, kKey, 1000);   // GOP 2 replaces it
    Send(session, kInter, 1033);
    Send(session, kAac, 1040);   // cached: the GOP holds 2 frames
    EXPECT_EQ(session.GopIndex(), 2u);
    EXPECT_EQ(session.CachedFrames(), 3u);

    auto player = std::make_shared<FakeSink>(7, true);
    session.AddSink(player);
    Send(session, kInter, 1066);
    EXPECT_EQ(Describe(player->calls),
              "meta:0@0 media:24@0 media:25@0 video:9@1000 video:9@1033 audio:8@1040 video:9@1066 ");
    // The publisher gets nothing back.
    EXPECT_TRUE(publisher->calls.empty());

    // Later messages go out live, once.
    Send(session, kAac, 1080);
    EXPECT_EQ(player->calls.back().what, "media");
    EXPECT_EQ(player->calls.back().timestamp, 1080u);
}

TEST_F(RtmpSessionTest, AudioCachingConditions) {
    struct Case {
        const char* name;
        std::vector<std::pair<Media, uint64_t>> sent;
        size_t cached;
    };
    const Media mp3{8, 0, {0x2F, 0x01}, 20};
    const Media hevc{9, 0, {0x1C, 0x01}, 20};
    const Media seq{9, 0, {0x17, 0x00}, 20};
    const Case cases[] = {
        {"audio before any key frame", {{kAac, 10}}, 0},
        {"audio right after the key frame", {{kKey, 10}, {kAac, 20}}, 1},
        {"audio after the second frame", {{kKey, 10}, {kInter, 20}, {kAac, 30}}, 3},
        {"audio at timestamp 0", {{kKey, 0}, {kInter, 0}, {kAac, 0}}, 2},
        {"audio that is not AAC", {{kKey, 10}, {kInter, 20}, {mp3, 30}}, 2},
        {"video of another codec", {{kKey, 10}, {hevc, 20}}, 1},
        {"sequence header is never cached", {{kKey, 10}, {seq, 20}}, 1},
        {"inter frame before any key frame", {{kInter, 10}}, 0},
    };
    for (const Case& c : cases) {
        RtmpSession s;
        s.SetGopCache(100);
        for (auto& m : c.sent) Send(s, m.first, m.second);
        EXPECT_EQ(s.CachedFrames(), c.cached) << c.name;
    }
}

TEST_F(RtmpSessionTest, CacheLengthZeroSendsHeadersThenLive) {
    session.SetGopCache(0);
    Send(session, kKey, 0);
    EXPECT_EQ(session.CachedFrames(), 0u);
    auto player = std::make_shared<FakeSink>(7, true);
    session.AddSink(player);
    Send(session, kInter, 33);
    EXPECT_EQ(Describe(player->calls), "meta:0@0 media:24@0 media:25@0 media:9@33 ");
}

TEST_F(RtmpSessionTest, GopOverTheLimitsIsDroppedWhole) {
    // Frame count.
    session.SetGopCache(3);
    Send(session, kKey, 0);
    Send(session, kInter, 33);
    Send(session, kInter, 66);
    EXPECT_EQ(session.CachedFrames(), 3u);
    Send(session, kInter, 99);
    EXPECT_EQ(session.CachedFrames(), 0u);
    Send(session, kInter, 133);  // stays out until the next key frame
    EXPECT_EQ(session.CachedFrames(), 0u);
    auto player = std::make_shared<FakeSink>(7, true);
    session.AddSink(player);
    Send(session, kInter, 166);
    EXPECT_EQ(Describe(player->calls), "meta:0@0 media:24@0 media:25@0 media:9@166 ");
    Send(session, kKey, 200);
    EXPECT_EQ(session.CachedFrames(), 1u);

    // Bytes.
    session.SetGopCache(5000);
    Media big{9, 0, {0x27, 0x01}, static_cast<uint32_t>(RtmpSession::kMaxGopBytes / 4)};
    for (int i = 0; i < 3; ++i) Send(session, big, 300 + i);
    EXPECT_EQ(session.CachedFrames(), 4u);
    Send(session, big, 400);
    EXPECT_EQ(session.CachedFrames(), 0u);
}

TEST_F(RtmpSessionTest, PublisherReconnectResetsHeadersAndCacheButKeepsMetadata) {
    Send(session, kKey, 0);
    session.RemoveSink(publisher);
    EXPECT_EQ(session.CachedFrames(), 0u);
    auto second = std::make_shared<FakeSink>(2, false);
    session.AddSink(second);
    auto player = std::make_shared<FakeSink>(7, true);
    session.AddSink(player);
    Send(session, kInter, 10);
    // No headers (size 0 is refused by the sink), the old metadata, the live message.
    EXPECT_EQ(Describe(player->calls), "meta:0@0 media:9@10 ");
    EXPECT_EQ(player->calls[0].size, 1u);
}

TEST_F(RtmpSessionTest, StalePublisherLeavingDoesNotResetItsSuccessor) {
    auto second = std::make_shared<FakeSink>(2, false);
    session.AddSink(second);  // takes over the stream
    session.SetAvcSequenceHeader(Payload({0x17, 0x00}, 30), 30);
    Send(session, kKey, 0);
    session.RemoveSink(publisher);  // the first publisher's late removal
    EXPECT_EQ(session.CachedFrames(), 1u);
    EXPECT_EQ(session.GetClients(), 1);
}

TEST_F(RtmpSessionTest, DeadPlayerIsErased) {
    auto player = std::make_shared<FakeSink>(7, true);
    session.AddSink(player);
    EXPECT_EQ(session.GetClients(), 2);
    player.reset();
    EXPECT_EQ(session.GetClients(), 1);
    Send(session, kKey, 0);
    session.SendMetaData(AmfObjects());
    EXPECT_EQ(session.GetClients(), 1);
    // A publisher sink that is not a server connection does not count as a live publisher.
    EXPECT_EQ(session.GetPublisher(), nullptr);
}
