// The outgoing RTMP publisher and player with real servers on loopback: FFmpeg in listen mode, nginx with its
// RTMP module, and our own relay server. What the publisher sends is recorded by FFmpeg and checked with
// ffprobe (codec, size, frame count, clean decode). These start processes, so they run only in the sandbox.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../net/net_test_util.h"
#include "peer_process.h"
#include "rtmp_client.h"
#include "rtmp_publisher.h"
#include "rtmp_server_start.h"

namespace {

using peer_process::Capture;
using peer_process::ReadFile;
using peer_process::Spawn;
using peer_process::WaitExit;

constexpr int kFramesPerSecond = 30;
constexpr int kMediaSeconds = 3;

std::shared_ptr<uint8_t> Share(const test_stream::Bytes& bytes) {
    std::shared_ptr<uint8_t> out(new uint8_t[bytes.size()], std::default_delete<uint8_t[]>());
    memcpy(out.get(), bytes.data(), bytes.size());
    return out;
}

// One received media message of the player.
struct Received {
    std::string payload;
    uint8_t codec;
    uint32_t timestamp;
};

class Collector {
public:
    mnet::RtmpClient::FrameCallback Callback() {
        return [this](uint8_t* payload, uint32_t size, uint8_t codec, uint32_t timestamp) {
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.push_back({std::string(reinterpret_cast<char*>(payload), size), codec, timestamp});
        };
    }
    // Video tags (codec id 7), in arrival order.
    std::vector<Received> Video() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Received> out;
        for (auto& m : messages_) {
            if (m.codec == 7) out.push_back(m);
        }
        return out;
    }
    // Video tags that carry a picture (AVC packet type 1); a player can be sent the sequence header more than
    // once, so the count of all video tags does not tell that the last picture arrived.
    size_t PictureCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (auto& m : messages_) n += m.codec == 7 && m.payload.size() > 1 && m.payload[1] == 1;
        return n;
    }
    size_t AudioCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (auto& m : messages_) n += !m.payload.empty() && (static_cast<uint8_t>(m.payload[0]) >> 4) == 10;
        return n;
    }

private:
    std::mutex mutex_;
    std::vector<Received> messages_;
};

class RtmpOutgoingPeerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!peer_process::InSandbox()) return;
        media_dir_ = peer_process::MakeTempDir("rtmp_media");
        media_ok_ = !media_dir_.empty() && peer_process::MakeTestMedia(media_dir_, kMediaSeconds, &media_);
    }
    static void TearDownTestSuite() {
        if (!media_dir_.empty()) Capture("rm -rf " + media_dir_);
    }

    void SetUp() override {
        if (!peer_process::InSandbox()) GTEST_SKIP() << "real peers run only inside the sandbox";
        ASSERT_TRUE(media_ok_) << "ffmpeg could not make the test media";
        dir_ = peer_process::MakeTempDir("rtmp_peer");
        ASSERT_FALSE(dir_.empty());
        port_ = net_test::FreePort();
    }
    void TearDown() override {
        if (!dir_.empty()) Capture("rm -rf " + dir_);
    }

    std::string Url(const std::string& stream) const {
        return "rtmp://127.0.0.1:" + std::to_string(port_) + "/live/" + stream;
    }

    std::shared_ptr<mnet::RtmpPublisher> MakePublisher() {
        auto publisher = mnet::RtmpPublisher::Create(&loop_);
        mnet::MediaInfo info;
        info.sps = Share(media_.sps);
        info.sps_size = static_cast<uint32_t>(media_.sps.size());
        info.pps = Share(media_.pps);
        info.pps_size = static_cast<uint32_t>(media_.pps.size());
        info.audio_specific_config = Share(media_.audio_specific_config);
        info.audio_specific_config_size = static_cast<uint32_t>(media_.audio_specific_config.size());
        EXPECT_EQ(publisher->SetMediaInfo(info), 0);
        return publisher;
    }

    // Retries while the peer is still starting (connection refused); the last result. FFmpeg's listen mode
    // takes one connection only, so the attempt it accepts gets a generous time-out.
    template <typename Endpoint>
    static int OpenWhenListening(Endpoint& endpoint, const std::string& url, std::string* status) {
        int result = -1;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            result = endpoint->OpenUrl(url, 10000, *status);
            if (result == 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return result;
    }

    // All test video and audio in real time, each frame at its own time (pictures every 1/30 s, AAC frames
    // every 1024/48000 s), as an encoder hands them over.
    static void PushAll(mnet::RtmpPublisher& publisher) {
        auto start = std::chrono::steady_clock::now();
        size_t video = 0, audio = 0;
        while (video < media_.video.size()) {
            int64_t video_us = static_cast<int64_t>(video) * 1000000 / kFramesPerSecond;
            int64_t audio_us = static_cast<int64_t>(audio) * 1024 * 1000000 / 48000;
            bool audio_first = audio < media_.audio.size() && audio_us < video_us;
            std::this_thread::sleep_until(start + std::chrono::microseconds(audio_first ? audio_us : video_us));
            if (audio_first) {
                auto& frame = media_.audio[audio++];
                EXPECT_EQ(publisher.PushAudioFrame(const_cast<uint8_t*>(frame.data()),
                                                   static_cast<uint32_t>(frame.size())),
                          0);
            } else {
                auto& unit = media_.video[video++];
                EXPECT_EQ(publisher.PushVideoFrame(const_cast<uint8_t*>(unit.data()),
                                                   static_cast<uint32_t>(unit.size())),
                          0);
            }
        }
    }

    // Every picture the player got after the sequence headers is the publisher's tag for that picture.
    static void ExpectEveryPicture(const std::vector<Received>& video) {
        std::vector<const Received*> pictures;
        for (auto& v : video) {
            if (v.payload.size() > 1 && v.payload[1] == 1) pictures.push_back(&v);
        }
        ASSERT_EQ(pictures.size(), media_.video.size());
        for (size_t i = 0; i < media_.video.size(); ++i) {
            auto& unit = media_.video[i];
            std::string expected = mnet::RtmpPublisher::BuildAvcVideoTag(
                unit.data(), static_cast<uint32_t>(unit.size()), i % 30 == 0);
            ASSERT_EQ(pictures[i]->payload, expected) << "picture " << i;
        }
        EXPECT_NEAR(pictures.back()->timestamp, (media_.video.size() - 1) * 1000 / kFramesPerSecond, 500);
    }

    // "codec_name,codec_type,width,height,sample_rate,channels" lines of the streams.
    static std::string Streams(const std::string& file) {
        return Capture("ffprobe -v error -show_entries stream=codec_type,codec_name,width,height,sample_rate,channels "
                       "-of csv=p=0 " + file);
    }
    // Pictures ffprobe decodes, or -1.
    static int DecodedPictures(const std::string& file) {
        std::string out = Capture("ffprobe -v error -select_streams v -count_frames -show_entries "
                                  "stream=nb_read_frames -of csv=p=0 " + file + " 2>/dev/null");
        return out.empty() ? -1 : std::stoi(out);
    }
    // What the decoders report while every frame of every stream is decoded (stdout dropped).
    static std::string DecodeErrors(const std::string& file) {
        return Capture("ffprobe -v error -show_frames " + file + " 2>&1 >/dev/null");
    }

    // The recording holds the test video and audio, at least min_pictures pictures (-1: all of them), and
    // decodes without an error.
    static void ExpectCleanRecording(const std::string& file, int min_pictures) {
        std::string streams = Streams(file);
        EXPECT_NE(streams.find("h264,video,320,240"), std::string::npos) << streams;
        EXPECT_NE(streams.find("aac,audio,48000,2"), std::string::npos) << streams;
        if (min_pictures < 0) {
            EXPECT_EQ(DecodedPictures(file), static_cast<int>(media_.video.size()));
        } else {
            EXPECT_GE(DecodedPictures(file), min_pictures);
        }
        EXPECT_EQ(DecodeErrors(file), "");
    }

    static std::string media_dir_;
    static bool media_ok_;
    static peer_process::TestMedia media_;

    mnet::EventLoop loop_{1};
    std::string dir_;
    uint16_t port_ = 0;
};

std::string RtmpOutgoingPeerTest::media_dir_;
bool RtmpOutgoingPeerTest::media_ok_ = false;
peer_process::TestMedia RtmpOutgoingPeerTest::media_;

TEST_F(RtmpOutgoingPeerTest, PublisherToFfmpegListenRecordsEveryFrame) {
    pid_t ffmpeg = Spawn("ffmpeg -hide_banner -v error -listen 1 -i " + Url("x") + " -c copy -y " + dir_ + "/out.flv",
                         dir_ + "/ffmpeg.log");
    auto publisher = MakePublisher();
    std::string status;
    ASSERT_EQ(OpenWhenListening(publisher, Url("x"), &status), 0) << status;
    EXPECT_EQ(status, "NetStream.Publish.Start");
    EXPECT_TRUE(publisher->IsConnected());
    PushAll(*publisher);
    // Let the queued frames leave before the connection closes.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    publisher->Close();
    EXPECT_EQ(WaitExit(ffmpeg, 10000), 0) << ReadFile(dir_ + "/ffmpeg.log");
    ExpectCleanRecording(dir_ + "/out.flv", -1);
}

TEST_F(RtmpOutgoingPeerTest, PlayerTakesWhatFfmpegListenServes) {
    std::string fixture = dir_ + "/fixture.flv";
    ASSERT_EQ(system(("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=30 -f lavfi -i sine=r=48000 -t 2 "
                      "-c:v libx264 -preset veryfast -g 30 -bf 0 -c:a aac -ac 2 " + fixture).c_str()),
              0);
    pid_t ffmpeg = Spawn("ffmpeg -hide_banner -v error -re -i " + fixture + " -c copy -f flv -listen 1 " + Url("x"),
                         dir_ + "/ffmpeg.log");
    Collector collector;
    auto client = mnet::RtmpClient::Create(&loop_);
    client->SetFrameCB(collector.Callback());
    std::string status;
    ASSERT_EQ(OpenWhenListening(client, Url("x"), &status), 0) << status;
    EXPECT_EQ(status, "NetStream.Play.Start");
    EXPECT_EQ(WaitExit(ffmpeg, 15000), 0) << ReadFile(dir_ + "/ffmpeg.log");
    ASSERT_TRUE(net_test::WaitFor([&] { return !client->IsConnected(); }, 3000));

    // The AVC sequence header, then all 60 pictures beginning with a key frame, with their timestamps.
    auto video = collector.Video();
    ASSERT_GE(video.size(), 61u);
    EXPECT_EQ(video[0].payload.substr(0, 2), std::string("\x17\x00", 2));
    EXPECT_EQ(video[1].payload.substr(0, 2), std::string("\x17\x01", 2));
    std::vector<uint32_t> times;
    for (auto& v : video) {
        if (v.payload.size() > 1 && v.payload[1] == 1) times.push_back(v.timestamp);
    }
    ASSERT_EQ(times.size(), 60u);
    EXPECT_NEAR(times.back() - times.front(), 59 * 1000 / 30, 2);
    EXPECT_GT(collector.AudioCount(), 90u);
}

TEST_F(RtmpOutgoingPeerTest, OwnServerRelaysOurPublisherToOurPlayerAndFfmpeg) {
    auto server = rtmp_server_open(&loop_, "127.0.0.1", port_);
    ASSERT_TRUE(server);
    std::atomic<int> plays{0};
    server->SetEventCallback([&plays](std::string type, std::string) {
        if (type == "play.start") ++plays;
    });
    // Our player and FFmpeg come first and wait for the publisher.
    Collector collector;
    auto client = mnet::RtmpClient::Create(&loop_);
    client->SetFrameCB(collector.Callback());
    std::string status;
    ASSERT_EQ(client->OpenUrl(Url("own"), 3000, status), 0) << status;
    pid_t ffmpeg = Spawn("ffmpeg -hide_banner -v error -i " + Url("own") + " -t 2 -c copy -y " + dir_ + "/out.flv",
                         dir_ + "/ffmpeg.log");
    EXPECT_TRUE(net_test::WaitFor([&] { return plays.load() >= 2; }, 10000));

    auto publisher = MakePublisher();
    ASSERT_EQ(publisher->OpenUrl(Url("own"), 3000, status), 0) << status;
    EXPECT_TRUE(server->HasPublisher("/live/own"));
    PushAll(*publisher);
    EXPECT_EQ(WaitExit(ffmpeg, 15000), 0) << ReadFile(dir_ + "/ffmpeg.log");
    net_test::WaitFor([&] { return collector.PictureCount() >= media_.video.size(); }, 10000);
    publisher->Close();
    EXPECT_TRUE(net_test::WaitFor([&] { return !server->HasPublisher("/live/own"); }, 3000));

    // Our player got the sequence header and every picture, byte for byte as the publisher built it.
    auto video = collector.Video();
    ASSERT_FALSE(video.empty());
    EXPECT_EQ(video[0].payload.substr(0, 2), std::string("\x17\x00", 2));
    ExpectEveryPicture(video);
    EXPECT_GT(collector.AudioCount(), 100u);

    // FFmpeg records a clean H.264/AAC stream from the first key frame on.
    ExpectCleanRecording(dir_ + "/out.flv", 25);
    client->Close();
    server->Stop();
}

TEST_F(RtmpOutgoingPeerTest, NginxTakesOurPublisherAndServesOurPlayer) {
    std::ofstream conf(dir_ + "/nginx.conf");
    conf << "load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;\n"
            "daemon off;\nmaster_process off;\npid " << dir_ << "/nginx.pid;\n"
            "error_log " << dir_ << "/error.log info;\n"
            "events { worker_connections 64; }\n"
            "rtmp { server { listen 127.0.0.1:" << port_ << "; chunk_size 4096;\n"
            "  application live { live on; wait_key on; } } }\n";
    conf.close();
    pid_t nginx = Spawn("nginx -p " + dir_ + " -c " + dir_ + "/nginx.conf", dir_ + "/nginx.log");
    ASSERT_TRUE(net_test::WaitFor([&] { return net_test::ConnectClient(port_, 100) >= 0; }, 5000))
        << ReadFile(dir_ + "/nginx.log") << ReadFile(dir_ + "/error.log");

    auto publisher = MakePublisher();
    std::string status;
    ASSERT_EQ(publisher->OpenUrl(Url("ng"), 3000, status), 0) << status << ReadFile(dir_ + "/error.log");
    Collector collector;
    auto client = mnet::RtmpClient::Create(&loop_);
    client->SetFrameCB(collector.Callback());
    ASSERT_EQ(client->OpenUrl(Url("ng"), 3000, status), 0) << status << ReadFile(dir_ + "/error.log");
    pid_t ffmpeg = Spawn("ffmpeg -hide_banner -v error -i " + Url("ng") + " -t 2 -c copy -y " + dir_ + "/out.flv",
                         dir_ + "/ffmpeg.log");
    // Both players wait for the stream before the first key frame is sent: nginx logs each play.
    auto plays = [&] {
        std::string log = ReadFile(dir_ + "/error.log");
        size_t n = 0;
        for (size_t at = log.find("play: name='ng'"); at != std::string::npos; at = log.find("play: name='ng'", at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_TRUE(net_test::WaitFor([&] { return plays() >= 2; }, 10000)) << ReadFile(dir_ + "/error.log");
    PushAll(*publisher);
    EXPECT_EQ(WaitExit(ffmpeg, 15000), 0) << ReadFile(dir_ + "/ffmpeg.log");
    net_test::WaitFor([&] { return collector.PictureCount() >= media_.video.size(); }, 10000);
    publisher->Close();
    client->Close();
    peer_process::Stop(nginx);

    // Both players started before the first key frame: our player gets the headers and every picture.
    auto video = collector.Video();
    ASSERT_FALSE(video.empty());
    EXPECT_EQ(video[0].payload.substr(0, 2), std::string("\x17\x00", 2));
    ExpectEveryPicture(video);
    EXPECT_GT(collector.AudioCount(), 100u);
    // FFmpeg's recording (how much of the stream it catches depends on its own start) decodes cleanly.
    ExpectCleanRecording(dir_ + "/out.flv", 25);
}

}  // namespace
