// The RTSP pusher: against a scripted server on loopback (the request sequence, interleaved RTP after RECORD,
// a refused ANNOUNCE, RTCP from the server), the calls that are refused before any exchange, and FFmpeg in
// RTSP listen mode recording what the pusher sends, checked with ffprobe (real peer: sandbox only).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "aac_source.h"
#include "h264_source.h"
#include "net_test_util.h"
#include "peer_process.h"
#include "rtsp_pusher.h"

namespace {

mnet::AVFrame MakeFrame(const std::vector<uint8_t>& bytes, uint8_t type, uint32_t timestamp) {
    mnet::AVFrame frame(static_cast<uint32_t>(bytes.size()));
    memcpy(frame.buffer.get(), bytes.data(), bytes.size());
    frame.type = type;
    frame.timestamp = timestamp;
    return frame;
}

std::shared_ptr<mnet::MediaSession> MakeSession() {
    auto session = mnet::MediaSession::Create("live/push");
    session->AddSource(mnet::channel_0, mnet::H264Source::Create(30));
    session->AddSource(mnet::channel_1, mnet::AACSource::Create(48000, 2, false));
    return session;
}

// The test plays the remote server on the connection it accepts.
class ScriptedRtspServer {
public:
    ScriptedRtspServer() { listen_fd_ = peer_process::ListenLoopback(&port_); }
    ~ScriptedRtspServer() {
        if (fd_ >= 0) ::close(fd_);
        ::close(listen_fd_);
    }
    std::string Url() const { return "rtsp://127.0.0.1:" + std::to_string(port_) + "/live/push"; }

    bool Accept() {
        fd_ = ::accept(listen_fd_, nullptr, nullptr);
        return fd_ >= 0;
    }
    bool Send(const std::string& text) { return net_test::SendAll(fd_, text.data(), text.size()); }

    // Reads until the buffer holds n bytes (false on end of stream or after timeout_ms).
    bool Fill(size_t n, int timeout_ms = 3000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (rx_.size() < n) {
            struct pollfd pfd = {fd_, POLLIN, 0};
            if (std::chrono::steady_clock::now() > deadline) return false;
            if (::poll(&pfd, 1, 50) <= 0) continue;
            char buf[4096];
            ssize_t got = ::recv(fd_, buf, sizeof(buf), 0);
            if (got <= 0) return false;
            rx_.append(buf, static_cast<size_t>(got));
        }
        return true;
    }

    // One whole request (header and body).
    bool ReadRequest(std::string* request) {
        size_t end;
        while ((end = rx_.find("\r\n\r\n")) == std::string::npos) {
            if (!Fill(rx_.size() + 1)) return false;
        }
        size_t total = end + 4;
        size_t length_at = rx_.find("Content-Length: ");
        if (length_at != std::string::npos && length_at < end) total += std::stoul(rx_.substr(length_at + 16));
        if (!Fill(total)) return false;
        *request = rx_.substr(0, total);
        rx_.erase(0, total);
        return true;
    }

    // One interleaved frame: its channel and payload.
    bool ReadInterleaved(int* channel, std::string* payload) {
        if (!Fill(4) || rx_[0] != '$') return false;
        size_t size = (static_cast<uint8_t>(rx_[2]) << 8) | static_cast<uint8_t>(rx_[3]);
        if (!Fill(4 + size)) return false;
        *channel = static_cast<uint8_t>(rx_[1]);
        *payload = rx_.substr(4, size);
        rx_.erase(0, 4 + size);
        return true;
    }

    // True when the pusher closed the connection within timeout_ms.
    bool WaitClosed(int timeout_ms = 3000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (std::chrono::steady_clock::now() < deadline) {
            struct pollfd pfd = {fd_, POLLIN, 0};
            if (::poll(&pfd, 1, 50) <= 0) continue;
            char buf[4096];
            if (::recv(fd_, buf, sizeof(buf), 0) <= 0) return true;
        }
        return false;
    }

private:
    int listen_fd_ = -1;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::string rx_;
};

std::string Ok(int cseq) {
    return "RTSP/1.0 200 OK\r\nCSeq: " + std::to_string(cseq) + "\r\nSession: 7A3F19C2;timeout=60\r\n\r\n";
}

TEST(RtspPusherTest, AnnouncesSetsUpRecordsThenSendsInterleavedRtp) {
    mnet::EventLoop loop(1);
    ScriptedRtspServer server;
    auto pusher = mnet::RtspPusher::Create(&loop);
    pusher->AddSession(MakeSession());
    auto opened = std::async(std::launch::async, [&] { return pusher->OpenUrl(server.Url(), 3000); });
    ASSERT_TRUE(server.Accept());

    const std::string url = server.Url();
    struct Step {
        std::string starts;    // the request line
        std::string contains;  // a header or body line it must carry
    } steps[] = {
        {"OPTIONS " + url + " RTSP/1.0\r\n", "CSeq: 1\r\n"},
        {"ANNOUNCE " + url + " RTSP/1.0\r\n", "Content-Type: application/sdp\r\n"},
        {"SETUP " + url + "/track0 RTSP/1.0\r\n", "Transport: RTP/AVP/TCP;unicast;mode=record;interleaved=0-1\r\n"},
        {"SETUP " + url + "/track1 RTSP/1.0\r\n", "Transport: RTP/AVP/TCP;unicast;mode=record;interleaved=2-3\r\n"},
        {"RECORD " + url + " RTSP/1.0\r\n", "Session: 7A3F19C2;timeout=60\r\n"},
    };
    int cseq = 0;
    for (auto& step : steps) {
        std::string request;
        ASSERT_TRUE(server.ReadRequest(&request)) << "waiting for " << step.starts;
        ++cseq;
        EXPECT_EQ(request.compare(0, step.starts.size(), step.starts), 0) << request;
        EXPECT_NE(request.find(step.contains), std::string::npos) << request;
        EXPECT_NE(request.find("CSeq: " + std::to_string(cseq) + "\r\n"), std::string::npos) << request;
        if (cseq == 2) {
            EXPECT_NE(request.find("m=video 0 RTP/AVP 96"), std::string::npos) << request;
            EXPECT_NE(request.find("a=rtpmap:97 MPEG4-GENERIC/48000/2"), std::string::npos) << request;
        }
        ASSERT_TRUE(server.Send(Ok(cseq)));
    }
    ASSERT_EQ(opened.get(), 0);
    EXPECT_TRUE(pusher->IsConnected());

    // An RTCP report from the server, interleaved on the control connection, is skipped.
    ASSERT_TRUE(server.Send(std::string("$\x01\x00\x08\x81\xC9\x00\x01\x00\x00\x00\x01", 12)));
    // Audio before the first key frame is held back; then the key frame and audio go out as RTP.
    EXPECT_TRUE(pusher->PushFrame(mnet::channel_1, MakeFrame({0x21, 0x10, 0x04, 0x60}, mnet::AUDIO_FRAME, 1024)));
    std::vector<uint8_t> key = {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1E, 0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80,
                                0, 0, 0, 1, 0x65, 0x88, 0x84, 0x21};
    EXPECT_TRUE(pusher->PushFrame(mnet::channel_0, MakeFrame(key, mnet::VIDEO_FRAME_I, 3000)));
    EXPECT_TRUE(pusher->PushFrame(mnet::channel_1, MakeFrame({0x21, 0x10, 0x04, 0x61}, mnet::AUDIO_FRAME, 2048)));

    std::vector<uint8_t> nal_types;
    bool audio_seen = false;
    while (!audio_seen) {
        int channel = -1;
        std::string rtp;
        ASSERT_TRUE(server.ReadInterleaved(&channel, &rtp));
        ASSERT_GT(rtp.size(), 12u);
        uint8_t payload_type = static_cast<uint8_t>(rtp[1]) & 0x7F;
        if (channel == 0) {
            EXPECT_EQ(payload_type, 96);
            nal_types.push_back(static_cast<uint8_t>(rtp[12]) & 0x1F);
        } else {
            EXPECT_EQ(channel, 2);
            EXPECT_EQ(payload_type, 97);
            // AU-headers-length 16 bits, one AU of 4 bytes, then the frame pushed after the key frame.
            EXPECT_EQ(rtp.substr(12), std::string("\x00\x10\x00\x20\x21\x10\x04\x61", 8));
            audio_seen = true;
        }
    }
    EXPECT_EQ(nal_types, (std::vector<uint8_t>{7, 8, 5}));
    pusher->Close();
    EXPECT_TRUE(server.WaitClosed());
    EXPECT_FALSE(pusher->IsConnected());
    EXPECT_FALSE(pusher->PushFrame(mnet::channel_0, MakeFrame(key, mnet::VIDEO_FRAME_I, 6000)));
}

TEST(RtspPusherTest, RefusedAnnounceEndsTheAttemptAtOnce) {
    mnet::EventLoop loop(1);
    ScriptedRtspServer server;
    auto pusher = mnet::RtspPusher::Create(&loop);
    pusher->AddSession(MakeSession());
    auto opened = std::async(std::launch::async, [&] { return pusher->OpenUrl(server.Url(), 5000); });
    ASSERT_TRUE(server.Accept());
    std::string request;
    ASSERT_TRUE(server.ReadRequest(&request));
    ASSERT_TRUE(server.Send(Ok(1)));
    ASSERT_TRUE(server.ReadRequest(&request));
    EXPECT_EQ(request.compare(0, 9, "ANNOUNCE "), 0);
    auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(server.Send("RTSP/1.0 403 Forbidden\r\nCSeq: 2\r\n\r\n"));
    EXPECT_EQ(opened.get(), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(2500));
    EXPECT_TRUE(server.WaitClosed());
    EXPECT_FALSE(pusher->IsConnected());
}

TEST(RtspPusherTest, RefusedBeforeAnyExchange) {
    mnet::EventLoop loop(1);
    auto pusher = mnet::RtspPusher::Create(&loop);
    // No session and no connection yet.
    EXPECT_FALSE(pusher->PushFrame(mnet::channel_0, MakeFrame({0, 0, 0, 1, 0x65, 1}, mnet::VIDEO_FRAME_I, 0)));
    pusher->AddSession(MakeSession());
    EXPECT_FALSE(pusher->PushFrame(mnet::channel_0, MakeFrame({0, 0, 0, 1, 0x65, 1}, mnet::VIDEO_FRAME_I, 0)));
    auto began = std::chrono::steady_clock::now();
    for (const char* url : {"rtsp:/", "rtmp://127.0.0.1:554/live/push", "http://x"}) {
        EXPECT_EQ(pusher->OpenUrl(url, 5000), -1) << url;
    }
    std::string refused = "rtsp://127.0.0.1:" + std::to_string(net_test::FreePort()) + "/live/push";
    EXPECT_EQ(pusher->OpenUrl(refused, 5000), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(2000));
    EXPECT_FALSE(pusher->IsConnected());
}

TEST(RtspPusherPeerTest, FfmpegListenRecordsWhatThePusherSends) {
    if (!peer_process::InSandbox()) GTEST_SKIP() << "real peers run only inside the sandbox";
    std::string dir = peer_process::MakeTempDir("rtsp_push");
    ASSERT_FALSE(dir.empty());
    peer_process::TestMedia media;
    ASSERT_TRUE(peer_process::MakeTestMedia(dir, 3, &media));

    const uint16_t port = net_test::FreePort();
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/live/push";
    pid_t ffmpeg = peer_process::Spawn("ffmpeg -hide_banner -v error -rtsp_flags listen -i " + url +
                                           " -c copy -y " + dir + "/out.mkv",
                                       dir + "/ffmpeg.log");
    mnet::EventLoop loop(1);
    auto pusher = mnet::RtspPusher::Create(&loop);
    pusher->AddSession(MakeSession());
    // Retried while FFmpeg is still starting; it takes one connection only, so that one gets a generous time-out.
    int opened = -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (opened != 0 && std::chrono::steady_clock::now() < deadline) {
        opened = pusher->OpenUrl(url, 10000);
        if (opened != 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(opened, 0) << peer_process::ReadFile(dir + "/ffmpeg.log");

    // Real time: pictures every 1/30 s, AAC frames every 1024/48000 s, with their own timestamps.
    auto start = std::chrono::steady_clock::now();
    size_t video = 0, audio = 0;
    while (video < media.video.size()) {
        int64_t video_us = static_cast<int64_t>(video) * 1000000 / 30;
        int64_t audio_us = static_cast<int64_t>(audio) * 1024 * 1000000 / 48000;
        bool audio_first = audio < media.audio.size() && audio_us < video_us;
        std::this_thread::sleep_until(start + std::chrono::microseconds(audio_first ? audio_us : video_us));
        if (audio_first) {
            pusher->PushFrame(mnet::channel_1,
                              MakeFrame(media.audio[audio], mnet::AUDIO_FRAME, static_cast<uint32_t>(audio * 1024)));
            ++audio;
        } else {
            const auto& unit = media.video[video];
            uint8_t type = (unit[4] & 0x1F) == 7 ? mnet::VIDEO_FRAME_I : mnet::VIDEO_FRAME_P;
            EXPECT_TRUE(pusher->PushFrame(mnet::channel_0,
                                          MakeFrame(unit, type, static_cast<uint32_t>(video * 3000 + 3000))));
            ++video;
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pusher->Close();
    EXPECT_EQ(peer_process::WaitExit(ffmpeg, 10000), 0) << peer_process::ReadFile(dir + "/ffmpeg.log");

    const std::string out = dir + "/out.mkv";
    std::string streams = peer_process::Capture(
        "ffprobe -v error -show_entries stream=codec_name,codec_type,width,height,sample_rate,channels -of csv=p=0 " +
        out);
    EXPECT_NE(streams.find("h264,video,320,240"), std::string::npos) << streams;
    EXPECT_NE(streams.find("aac,audio,48000,2"), std::string::npos) << streams;
    // Every picture decodes, without a decoder complaint.
    std::string pictures = peer_process::Capture("ffprobe -v error -select_streams v -count_frames -show_entries "
                                                 "stream=nb_read_frames -of csv=p=0 " + out + " 2>/dev/null");
    EXPECT_EQ(pictures, std::to_string(media.video.size()) + "\n");
    EXPECT_EQ(peer_process::Capture("ffprobe -v error -show_frames " + out + " 2>&1 >/dev/null"), "");
    peer_process::Capture("rm -rf " + dir);
}

}  // namespace
