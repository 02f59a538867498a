// The relay with real peers on loopback: FFmpeg publishes, FFmpeg and ffprobe play. These start processes, so
// they run only inside the sandbox (BRISKBOX_SANDBOX=1).
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../net/net_test_util.h"
#include "peer_process.h"
#include "rtmp_server_start.h"
#include "rtmp_test_client.h"

namespace {

// How soon a player that joins a running stream gets its first key frame. Sanitizer builds run the server
// several times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kStartBudgetMs = 600;
#else
constexpr int kStartBudgetMs = 200;
#endif

using peer_process::Capture;
using peer_process::ReadFile;
using peer_process::Spawn;
using peer_process::WaitExit;

struct Packet {
    std::string type;
    double pts;
    bool key;
};

std::vector<Packet> Packets(const std::string& file) {
    std::vector<Packet> packets;
    std::istringstream in(Capture("ffprobe -v error -show_entries packet=codec_type,pts_time,flags -of csv=p=0 " +
                                  file));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string type, pts, flags;
        std::getline(fields, type, ',');
        std::getline(fields, pts, ',');
        std::getline(fields, flags, ',');
        if (type.empty() || pts.empty() || pts == "N/A") continue;
        packets.push_back({type, std::stod(pts), flags.find('K') != std::string::npos});
    }
    return packets;
}

class RtmpE2eTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* sandbox = getenv("BRISKBOX_SANDBOX");
        if (!sandbox || std::string(sandbox) != "1") GTEST_SKIP() << "real peers run only inside the sandbox";
        char tmpl[] = "/tmp/rtmp_e2e_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        port = net_test::FreePort();
        server = rtmp_server_open(&loop, "127.0.0.1", port);
        server->SetEventCallback([this](std::string type, std::string path) {
            std::lock_guard<std::mutex> lock(mutex);
            events.push_back(type + " " + path);
        });
        url = "rtmp://127.0.0.1:" + std::to_string(port) + "/live/av0";
    }
    void TearDown() override {
        if (server) server->Stop();
        server.reset();
        if (!dir.empty()) Capture("rm -rf " + dir);
    }

    std::string Publisher(int seconds, int gop) {
        return "ffmpeg -hide_banner -v error -re -f lavfi -i testsrc2=s=320x240:r=30 -f lavfi -i sine=r=48000 -t " +
               std::to_string(seconds) + " -c:v libx264 -preset ultrafast -g " + std::to_string(gop) +
               " -c:a aac -f flv " + url;
    }
    int CountEvents(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex);
        int n = 0;
        for (auto& e : events) n += e == event + " /live/av0";
        return n;
    }

    mnet::EventLoop loop{1};
    std::shared_ptr<mnet::RtmpServer> server;
    uint16_t port = 0;
    std::string dir, url;
    std::mutex mutex;
    std::vector<std::string> events;
};

}  // namespace

TEST_F(RtmpE2eTest, PublishPlayLateJoinAndRefusedSecondPublisher) {
    pid_t early = Spawn("ffmpeg -hide_banner -v error -i " + url + " -t 11 -c copy -y " + dir + "/early.flv",
                        dir + "/early.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    pid_t pub = Spawn(Publisher(15, 60), dir + "/pub.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));

    pid_t late = Spawn("ffmpeg -hide_banner -v error -i " + url + " -t 5 -c copy -y " + dir + "/late.flv",
                       dir + "/late.log");
    pid_t probe = Spawn("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 " + url, dir + "/probe.log");
    pid_t null_play = Spawn("ffmpeg -hide_banner -v error -i " + url + " -t 3 -f null -", dir + "/null.log");
    pid_t second = Spawn(Publisher(3, 60), dir + "/second.log");

    // A raw player that joins now starts on the cached key frame at once.
    rtmp_test::RtmpTestClient raw;
    ASSERT_TRUE(raw.Open(port));
    ASSERT_TRUE(raw.SendStreamCommand("play", "av0"));
    auto joined = std::chrono::steady_clock::now();
    mnet::RtmpMessage msg;
    do {
        ASSERT_TRUE(raw.ReadUntil(mnet::RTMP_VIDEO, &msg, 3000));
    } while (msg.payload.get()[1] == 0);
    auto wait_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - joined).count();
    EXPECT_LT(wait_ms, kStartBudgetMs) << "first key frame after " << wait_ms << " ms";
    EXPECT_EQ(static_cast<uint8_t>(msg.payload.get()[0]), 0x17);
    raw.Close();

    EXPECT_NE(WaitExit(second, 10000), 0) << "a second publisher on a live path must be refused";
    EXPECT_EQ(WaitExit(probe, 10000), 0) << ReadFile(dir + "/probe.log");
    std::string probe_out = ReadFile(dir + "/probe.log");
    EXPECT_NE(probe_out.find("h264"), std::string::npos) << probe_out;
    EXPECT_NE(probe_out.find("aac"), std::string::npos) << probe_out;
    EXPECT_EQ(WaitExit(null_play, 10000), 0);
    EXPECT_EQ(ReadFile(dir + "/null.log"), "");
    EXPECT_EQ(WaitExit(late, 12000), 0) << ReadFile(dir + "/late.log");
    EXPECT_EQ(WaitExit(early, 15000), 0) << ReadFile(dir + "/early.log");
    EXPECT_EQ(WaitExit(pub, 15000), 0) << ReadFile(dir + "/pub.log");

    // The late joiner's recording starts on a key frame, decodes cleanly and carries the relayed metadata.
    auto late_packets = Packets(dir + "/late.flv");
    ASSERT_FALSE(late_packets.empty());
    for (auto& p : late_packets) {
        if (p.type != "video") continue;
        EXPECT_TRUE(p.key) << "first video packet of the late joiner is not a key frame";
        break;
    }
    EXPECT_EQ(Capture("ffmpeg -v error -i " + dir + "/late.flv -f null - 2>&1"), "");
    EXPECT_NE(Capture("ffprobe -v error -show_format " + dir + "/late.flv").find("encoder=Lavf"), std::string::npos);

    // The early player: both tracks, no decode errors, audio and video together after 10 s, audio timestamps
    // advancing by whole AAC frames (1024 samples at 48 kHz) without drift.
    auto packets = Packets(dir + "/early.flv");
    std::vector<double> audio, video;
    for (auto& p : packets) (p.type == "audio" ? audio : video).push_back(p.pts);
    ASSERT_GT(audio.size(), 400u);
    ASSERT_GT(video.size(), 250u);
    EXPECT_GT(video.back(), 10.0);
    EXPECT_NEAR(audio.back(), video.back(), 0.1);
    EXPECT_NEAR(audio.back() - audio.front(), (audio.size() - 1) * 1024.0 / 48000.0, 0.1);
    EXPECT_EQ(Capture("ffmpeg -v error -i " + dir + "/early.flv -f null - 2>&1"), "");

    EXPECT_EQ(CountEvents("publish.start"), 1);
    EXPECT_TRUE(net_test::WaitFor([&] { return CountEvents("publish.stop") == 1; }, 3000));
    EXPECT_GE(CountEvents("play.start"), 4);
}

TEST_F(RtmpE2eTest, PublisherLeavesAndComesBack) {
    pid_t first = Spawn(Publisher(3, 30), dir + "/first.log");
    rtmp_test::RtmpTestClient player;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(player.Open(port));
    ASSERT_TRUE(player.SendStreamCommand("play", "av0"));
    EXPECT_EQ(WaitExit(first, 10000), 0) << ReadFile(dir + "/first.log");
    ASSERT_TRUE(net_test::WaitFor([&] { return !server->HasPublisher("/live/av0"); }, 3000));

    pid_t second = Spawn(Publisher(4, 30), dir + "/second.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // A player that comes now gets the new publisher's stream, decodable from its first packet.
    pid_t fresh = Spawn("ffmpeg -hide_banner -v error -i " + url + " -t 2 -c copy -y " + dir + "/fresh.flv",
                        dir + "/fresh.log");
    EXPECT_EQ(WaitExit(fresh, 10000), 0) << ReadFile(dir + "/fresh.log");
    EXPECT_EQ(WaitExit(second, 10000), 0) << ReadFile(dir + "/second.log");
    auto packets = Packets(dir + "/fresh.flv");
    ASSERT_GT(packets.size(), 30u);
    EXPECT_EQ(Capture("ffmpeg -v error -i " + dir + "/fresh.flv -f null - 2>&1"), "");

    // The player that stayed received the second publisher's sequence header and key frame too.
    mnet::RtmpMessage msg;
    int headers = 0;
    while (player.ReadUntil(mnet::RTMP_VIDEO, &msg, 1000)) headers += msg.payload.get()[1] == 0;
    EXPECT_GE(headers, 2);
    EXPECT_EQ(CountEvents("publish.start"), 2);
}

// A publisher whose process freezes (SIGSTOP: no FIN, no RST, like a pulled cable) loses its stream name once
// it has been silent for the publisher time-out (10 s); a new FFmpeg publish of the same name is then taken
// within 15 s of the freeze, the player that stayed is told the stream ended and then gets the new one, and a
// new FFmpeg player records it cleanly. The 15 s are the promise to users: 10 s of silence, half a second of
// check period, and the new FFmpeg's start.
TEST_F(RtmpE2eTest, FrozenPublisherFreesItsNameForAReconnect) {
    pid_t frozen = Spawn(Publisher(60, 30), dir + "/frozen.log");
    ASSERT_TRUE(net_test::WaitFor([&] { return CountEvents("publish.start") == 1; }, 10000));
    rtmp_test::RtmpTestClient player;
    ASSERT_TRUE(player.Open(port));
    ASSERT_TRUE(player.SendStreamCommand("play", "av0"));
    mnet::RtmpMessage msg;
    ASSERT_TRUE(player.ReadUntil(mnet::RTMP_VIDEO, &msg, 5000));

    ASSERT_EQ(kill(frozen, SIGSTOP), 0);
    auto frozen_at = std::chrono::steady_clock::now();
    ASSERT_TRUE(net_test::WaitFor([&] { return CountEvents("publish.stop") == 1; }, 14000))
        << "the frozen publisher still holds the stream";
    pid_t second = Spawn(Publisher(6, 30), dir + "/second.log");
    bool accepted = net_test::WaitFor([&] { return CountEvents("publish.start") == 2; }, 10000);
    auto accepted_ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                            frozen_at).count();
    kill(frozen, SIGKILL);
    WaitExit(frozen, 5000);
    ASSERT_TRUE(accepted) << ReadFile(dir + "/second.log");
    EXPECT_LT(accepted_ms, 15000);

    // The player that stayed: the end of the first stream, then the second one from a key frame.
    bool unpublished = false;
    while (!unpublished && player.ReadMessage(&msg, 5000)) {
        if (msg.type_id != mnet::RTMP_INVOKE) continue;
        mnet::AmfDecoder dec;
        dec.Decode(msg.payload.get(), static_cast<int>(msg.length));
        unpublished = dec.HasObject("code") && dec.GetObject("code").amf_string == "NetStream.Play.UnpublishNotify";
    }
    EXPECT_TRUE(unpublished);
    do {
        ASSERT_TRUE(player.ReadUntil(mnet::RTMP_VIDEO, &msg, 5000));
    } while (msg.payload.get()[1] == 0);
    EXPECT_EQ(static_cast<uint8_t>(msg.payload.get()[0]), 0x17);

    pid_t fresh = Spawn("ffmpeg -hide_banner -v error -i " + url + " -t 2 -c copy -y " + dir + "/fresh.flv",
                        dir + "/fresh.log");
    EXPECT_EQ(WaitExit(fresh, 15000), 0) << ReadFile(dir + "/fresh.log");
    EXPECT_EQ(WaitExit(second, 15000), 0) << ReadFile(dir + "/second.log");
    EXPECT_GT(Packets(dir + "/fresh.flv").size(), 30u);
    EXPECT_EQ(Capture("ffmpeg -v error -i " + dir + "/fresh.flv -f null - 2>&1"), "");
}
