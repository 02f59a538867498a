// The RTSP server spoken to over raw sockets: hand-written requests and the exact replies.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "aac_source.h"
#include "digest_authentication.h"
#include "h264_source.h"
#include "net_test_util.h"
#include "rtsp_server.h"

namespace {

// One player connection: sends text, reads replies (skipping interleaved RTP frames) and frames.
class RawClient {
public:
    explicit RawClient(uint16_t port) : fd_(net_test::ConnectClient(port, 3000)) {}
    ~RawClient() {
        if (fd_ >= 0) close(fd_);
    }
    bool Send(const std::string& text) { return net_test::SendAll(fd_, text.data(), text.size()); }

    // The next reply, or "" when none arrives within the time-out or the connection closed.
    std::string Reply(int timeout_ms = 2000) {
        for (;;) {
            if (!buffer_.empty() && buffer_[0] == '$') {
                if (buffer_.size() < 4 && !Fill(timeout_ms)) return "";
                if (buffer_.size() < 4) continue;
                size_t len = 4 + ((static_cast<uint8_t>(buffer_[2]) << 8) | static_cast<uint8_t>(buffer_[3]));
                if (buffer_.size() < len) {
                    if (!Fill(timeout_ms)) return "";
                    continue;
                }
                frames_.push_back(buffer_.substr(0, len));
                buffer_.erase(0, len);
                if (stop_at_frame_) return "";
                continue;
            }
            size_t end = buffer_.find("\r\n\r\n");
            if (end != std::string::npos) {
                size_t total = end + 4;
                std::smatch m;
                std::string head = buffer_.substr(0, end);
                if (std::regex_search(head, m, std::regex("Content-Length: (\\d+)"))) total += std::stoul(m[1]);
                if (buffer_.size() >= total) {
                    std::string reply = buffer_.substr(0, total);
                    buffer_.erase(0, total);
                    return reply;
                }
            }
            if (!Fill(timeout_ms)) return "";
        }
    }
    // An interleaved frame (header included), or "" on time-out.
    std::string Frame(int timeout_ms = 2000) {
        while (frames_.empty()) {
            stop_at_frame_ = true;
            std::string reply = Reply(timeout_ms);
            stop_at_frame_ = false;
            if (frames_.empty() && reply.empty()) return "";
        }
        std::string frame = frames_.front();
        frames_.erase(frames_.begin());
        return frame;
    }
    // True when the server closed the connection within the time-out.
    bool Closed(int timeout_ms = 2000) {
        while (Fill(timeout_ms)) {
        }
        return closed_;
    }
    bool Silent(int timeout_ms) { return Reply(timeout_ms).empty() && !closed_; }
    // Reads whatever comes for wait_ms; true as soon as the server closes the connection.
    bool ClosedWithin(int wait_ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
        while (!closed_) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            Fill(static_cast<int>(left.count()));
        }
        if (buffer_.size() > (1u << 20)) buffer_.clear();
        return closed_;
    }
    // Interleaved frames read so far and not yet taken.
    std::vector<std::string> TakeFrames() {
        std::vector<std::string> frames;
        frames.swap(frames_);
        return frames;
    }
    int fd() const { return fd_; }

private:
    bool Fill(int timeout_ms) {
        struct pollfd pfd = {fd_, POLLIN, 0};
        if (poll(&pfd, 1, timeout_ms) <= 0) return false;
        char buf[8192];
        ssize_t n = recv(fd_, buf, sizeof(buf), 0);
        if (n <= 0) {
            closed_ = true;
            return false;
        }
        buffer_.append(buf, static_cast<size_t>(n));
        return true;
    }
    int fd_;
    std::string buffer_;
    std::vector<std::string> frames_;
    bool closed_ = false;
    bool stop_at_frame_ = false;
};

class RtspServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = mnet::RtspServer::Create(&loop_);
        port_ = net_test::FreePort();
        ASSERT_TRUE(server_->Start("127.0.0.1", port_));
        auto session = mnet::MediaSession::Create("live/main");
        session->AddSource(mnet::channel_0, mnet::H264Source::Create(30));
        session->AddSource(mnet::channel_1, mnet::AACSource::Create(48000, 2, true));
        session_ = session;
        session_id_ = server_->AddSession(session);
        ASSERT_NE(session_id_, 0u);
        url_ = "rtsp://127.0.0.1:" + std::to_string(port_) + "/live/main";
    }
    void TearDown() override {
        server_->Stop();
        server_.reset();
    }

    std::string Request(const std::string& method, const std::string& url, int cseq, const std::string& extra = "") {
        return method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(cseq) + "\r\n" + extra + "\r\n";
    }
    // DESCRIBE then SETUP of both tracks over TCP; returns the session number.
    std::string Prepare(RawClient& c) {
        EXPECT_TRUE(c.Send(Request("DESCRIBE", url_, 2, "Accept: application/sdp\r\n")));
        EXPECT_EQ(c.Reply().substr(0, 30), "RTSP/1.0 200 OK\r\nCSeq: 2\r\nCont");
        c.Send(Request("SETUP", url_ + "/track0", 3, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"));
        std::string reply = c.Reply();
        std::smatch m;
        EXPECT_TRUE(std::regex_search(reply, m, std::regex("Session: (\\d+)\r\n"))) << reply;
        return m.size() > 1 ? m[1].str() : "";
    }
    void PushFrame(bool key) {
        const std::vector<uint8_t> unit =
            key ? std::vector<uint8_t>{0, 0, 0, 1, 0x67, 0x42, 0, 0x1f, 0, 0, 0, 1, 0x65, 0x88}
                : std::vector<uint8_t>{0, 0, 0, 1, 0x41, 0x9a, 0x01};
        mnet::AVFrame frame(static_cast<uint32_t>(unit.size()));
        memcpy(frame.buffer.get(), unit.data(), unit.size());
        frame.type = key ? mnet::VIDEO_FRAME_I : mnet::VIDEO_FRAME_P;
        server_->PushFrame(session_id_, mnet::channel_0, frame);
    }
    void PushKeyFrame() {
        mnet::AVFrame frame(8);
        const uint8_t unit[8] = {0, 0, 0, 1, 0x67, 0x42, 0, 0x1f};
        memcpy(frame.buffer.get(), unit, 8);
        frame.type = mnet::VIDEO_FRAME_I;
        server_->PushFrame(session_id_, mnet::channel_0, frame);
    }

    mnet::EventLoop loop_{1};
    std::shared_ptr<mnet::RtspServer> server_;
    std::shared_ptr<mnet::MediaSession> session_;
    uint32_t session_id_ = 0;
    uint16_t port_ = 0;
    std::string url_;
};

TEST_F(RtspServerTest, FullPlayerSequenceOverTcp) {
    RawClient c(port_);
    c.Send(Request("OPTIONS", url_, 1));
    EXPECT_EQ(c.Reply(),
              "RTSP/1.0 200 OK\r\nCSeq: 1\r\nPublic: OPTIONS, DESCRIBE, SETUP, TEARDOWN, PLAY, PAUSE, GET_PARAMETER, "
              "SET_PARAMETER\r\n\r\n");

    c.Send(Request("DESCRIBE", url_, 2, "Accept: application/sdp\r\n"));
    std::string describe = c.Reply();
    EXPECT_TRUE(
        std::regex_match(describe, std::regex("RTSP/1\\.0 200 OK\r\nCSeq: 2\r\nContent-Length: \\d+\r\n"
                                              "Content-Type: application/sdp\r\n\r\nv=0\r\n"
                                              "o=- 9\\d+ 1 IN IP4 127\\.0\\.0\\.1\r\n[^]*a=control:track1\r\n")))
        << describe;

    c.Send(Request("SETUP", url_ + "/track0", 3, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"));
    std::string setup0 = c.Reply();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(setup0, m,
                                 std::regex("RTSP/1\\.0 200 OK\r\nCSeq: 3\r\nTransport: RTP/AVP/TCP;unicast;"
                                            "interleaved=0-1\r\nSession: (\\d+)\r\n\r\n")))
        << setup0;
    const std::string session = m[1];
    c.Send(Request("SETUP", url_ + "/track1", 4,
                   "Transport: RTP/AVP/TCP;unicast;interleaved=2-3\r\nSession: " + session + "\r\n"));
    EXPECT_EQ(c.Reply(), "RTSP/1.0 200 OK\r\nCSeq: 4\r\nTransport: RTP/AVP/TCP;unicast;interleaved=2-3\r\nSession: " +
                             session + "\r\n\r\n");
    c.Send(Request("PLAY", url_ + "/", 5, "Range: npt=0.000-\r\nSession: " + session + "\r\n"));
    EXPECT_EQ(c.Reply(),
              "RTSP/1.0 200 OK\r\nCSeq: 5\r\nRange: npt=0.000-\r\nSession: " + session + "; timeout=60\r\n\r\n");
    EXPECT_EQ(session_->GetClientCount(), 1u);

    PushKeyFrame();
    std::string frame = c.Frame();
    ASSERT_EQ(frame.size(), 4u + 12 + 4);
    EXPECT_EQ(frame[1], 0);
    EXPECT_EQ(static_cast<uint8_t>(frame[16]), 0x67);

    c.Send(Request("GET_PARAMETER", url_ + "/", 6, "Session: " + session + "\r\n"));
    EXPECT_EQ(c.Reply(), "RTSP/1.0 200 OK\r\nCSeq: 6\r\nSession: " + session + "\r\n\r\n");
    c.Send(Request("TEARDOWN", url_ + "/", 7, "Session: " + session + "\r\n"));
    EXPECT_EQ(c.Reply(), "RTSP/1.0 200 OK\r\nCSeq: 7\r\nSession: " + session + "\r\n\r\n");
    // The control connection stays open after TEARDOWN.
    c.Send(Request("OPTIONS", url_, 8));
    EXPECT_EQ(c.Reply().substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: 8\r\n");
}

TEST_F(RtspServerTest, ErrorReplies) {
    struct Case {
        const char* name;
        bool describe_first;
        std::string request;
        std::string reply;
    };
    const std::string other = "rtsp://127.0.0.1:" + std::to_string(port_) + "/live/other";
    const Case cases[] = {
        {"unknown stream", false, Request("DESCRIBE", other, 2, "Accept: application/sdp\r\n"),
         "RTSP/1.0 404 Stream Not Found\r\nCSeq: 2\r\n\r\n"},
        {"setup before describe", false,
         Request("SETUP", url_ + "/track0", 3, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"),
         "RTSP/1.0 500 Internal Server Error\r\nCSeq: 3\r\n\r\n"},
        {"multicast on a unicast session", true,
         Request("SETUP", url_ + "/track0", 3, "Transport: RTP/AVP;multicast\r\n"),
         "RTSP/1.0 461 Unsupported transport\r\nCSeq: 3\r\n\r\n"},
        {"unreadable transport", true, Request("SETUP", url_ + "/track0", 3, "Transport: RTP/AVP;unicast\r\n"),
         "RTSP/1.0 461 Unsupported transport\r\nCSeq: 3\r\n\r\n"},
        {"no transport", true, Request("SETUP", url_ + "/track0", 3),
         "RTSP/1.0 461 Unsupported transport\r\nCSeq: 3\r\n\r\n"},
        {"privileged client ports", true,
         Request("SETUP", url_ + "/track0", 3, "Transport: RTP/AVP;unicast;client_port=80-81\r\n"),
         "RTSP/1.0 461 Unsupported transport\r\nCSeq: 3\r\n\r\n"},
    };
    for (const Case& c : cases) {
        RawClient client(port_);
        if (c.describe_first) {
            client.Send(Request("DESCRIBE", url_, 2, "Accept: application/sdp\r\n"));
            ASSERT_FALSE(client.Reply().empty()) << c.name;
        }
        client.Send(c.request);
        EXPECT_EQ(client.Reply(), c.reply) << c.name;
    }
    // The 404 client registered nowhere; the others leave as their connections close.
    for (int i = 0; i < 100 && session_->GetClientCount() > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(session_->GetClientCount(), 0u);
}

TEST_F(RtspServerTest, UdpSetupAnswersWithServerPorts) {
    RawClient c(port_);
    c.Send(Request("DESCRIBE", url_, 2, "Accept: application/sdp\r\n"));
    c.Reply();
    c.Send(Request("SETUP", url_ + "/track0", 3, "Transport: RTP/AVP/UDP;unicast;client_port=40000-40001\r\n"));
    std::string reply = c.Reply();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(reply, m,
                                 std::regex("RTSP/1\\.0 200 OK\r\nCSeq: 3\r\nTransport: RTP/AVP;unicast;"
                                            "client_port=40000-40001;server_port=(\\d+)-(\\d+)\r\n"
                                            "Session: \\d+\r\n\r\n")))
        << reply;
    int rtp = std::stoi(m[1]);
    EXPECT_EQ(rtp % 2, 0);
    EXPECT_EQ(std::stoi(m[2]), rtp + 1);
    // RTCP sent to the server port is read and dropped; the connection carries on.
    int udp = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(rtp + 1));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(udp, "rtcp", 4, 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    close(udp);
    c.Send(Request("OPTIONS", url_, 4));
    EXPECT_EQ(c.Reply().substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: 4\r\n");
}

// Before DESCRIBE: PLAY and TEARDOWN are ignored; the keep-alives are answered; PAUSE names no session.
TEST_F(RtspServerTest, RequestsBeforeDescribe) {
    RawClient c(port_);
    c.Send(Request("PLAY", url_, 1, "Session: 1\r\n"));
    EXPECT_TRUE(c.Silent(300));
    c.Send(Request("TEARDOWN", url_, 3));
    EXPECT_TRUE(c.Silent(300));
    c.Send(Request("GET_PARAMETER", url_, 4));
    EXPECT_EQ(c.Reply(), "RTSP/1.0 200 OK\r\nCSeq: 4\r\n\r\n");
    c.Send(Request("SET_PARAMETER", url_, 5, "Content-Length: 4\r\n") + "a: b");
    EXPECT_EQ(c.Reply(), "RTSP/1.0 200 OK\r\nCSeq: 5\r\n\r\n");
    c.Send(Request("PAUSE", url_, 6, "Session: 1\r\n"));
    EXPECT_EQ(c.Reply(), "RTSP/1.0 454 Session Not Found\r\nCSeq: 6\r\n\r\n");
    c.Send(Request("OPTIONS", url_, 7));
    EXPECT_EQ(c.Reply().substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: 7\r\n");
}

TEST_F(RtspServerTest, RefusedRequestsCloseTheConnectionWithoutReply) {
    const std::string refused[] = {
        Request("RECORD", url_, 1),
        "OPTIONS " + url_ + " RTSP/1.0\r\nUser-Agent: x\r\n\r\n",  // no CSeq
        "OPTIONS " + std::string(10000, 'x') + "\r\n\r\n",         // oversize request line
        std::string("GARBAGE\x01\x02 \xff\xfe x\r\n", 16) + std::string(3000, 'z'),
    };
    for (const std::string& text : refused) {
        RawClient c(port_);
        c.Send(text);
        EXPECT_TRUE(c.Closed()) << text.substr(0, 40);
    }
    RawClient still_serving(port_);
    still_serving.Send(Request("OPTIONS", url_, 9));
    EXPECT_EQ(still_serving.Reply().substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: 9\r\n");
}

TEST_F(RtspServerTest, PipelinedRequestsAndInterleavedFramesAreAllHandled) {
    RawClient c(port_);
    std::string rtcp(
        "$\x01\x00\x04"
        "abcd",
        8);
    c.Send(Request("OPTIONS", url_, 1) + rtcp + Request("OPTIONS", url_, 2) + Request("OPTIONS", url_, 3));
    EXPECT_EQ(c.Reply().substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: 1\r\n");
    EXPECT_EQ(c.Reply().substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: 2\r\n");
    EXPECT_EQ(c.Reply().substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: 3\r\n");

    // A frame that arrives in two pieces waits for its rest.
    c.Send(
        std::string("$\x01\x00\x10"
                    "0123",
                    8));
    EXPECT_TRUE(c.Silent(200));
    c.Send("456789abcdef" + Request("OPTIONS", url_, 4));
    EXPECT_EQ(c.Reply().substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: 4\r\n");
}

TEST_F(RtspServerTest, LeftoverTextBeyondTheLimitIsDropped) {
    RawClient c(port_);
    c.Send(Request("OPTIONS", url_, 1) + "DESCRIBE " + url_ + " RTSP/1.0\r\nX-Pad: " + std::string(2100, 'p'));
    EXPECT_EQ(c.Reply().substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: 1\r\n");
    c.Send(Request("OPTIONS", url_, 2));
    EXPECT_EQ(c.Reply().substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: 2\r\n");
}

TEST_F(RtspServerTest, DigestAuthenticationChallengesAndAccepts) {
    server_->SetAuthentication("briskbox", "user", "secret");
    RawClient c(port_);
    c.Send(Request("DESCRIBE", url_, 2, "Accept: application/sdp\r\n"));
    std::string challenge = c.Reply();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(challenge, m,
                                 std::regex("RTSP/1\\.0 401 Unauthorized\r\nCSeq: 2\r\nWWW-Authenticate: "
                                            "Digest realm=\"briskbox\", nonce=\"([0-9a-f]{32})\"\r\n\r\n")))
        << challenge;
    mnet::DigestAuthentication wrong("briskbox", "user", "guess");
    auto authorization = [&](mnet::DigestAuthentication& auth, const std::string& nonce) {
        return "Authorization: Digest username=\"user\", realm=\"briskbox\", nonce=\"" + nonce + "\", uri=\"" + url_ +
               "\", response=\"" + auth.GetResponse(nonce, "DESCRIBE", url_) + "\"\r\n";
    };
    c.Send(Request("DESCRIBE", url_, 3, "Accept: application/sdp\r\n" + authorization(wrong, m[1])));
    std::string again = c.Reply();
    ASSERT_TRUE(std::regex_search(again, m, std::regex("401 Unauthorized\r\nCSeq: 3\r\n[^]*nonce=\"([0-9a-f]{32})\"")))
        << again;
    mnet::DigestAuthentication right("briskbox", "user", "secret");
    c.Send(Request("DESCRIBE", url_, 4, "Accept: application/sdp\r\n" + authorization(right, m[1])));
    EXPECT_EQ(c.Reply().substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: 4\r\n");
}

TEST_F(RtspServerTest, SessionTablesAndPushFrame) {
    EXPECT_EQ(server_->FindSessionBySuffix("live/main"), session_);
    EXPECT_EQ(server_->FindSessionBySuffix("live/main/track0"), nullptr);
    EXPECT_EQ(server_->AddSession(mnet::MediaSession::Create("live/main")), 0u);
    EXPECT_EQ(server_->FindSessionById(session_id_), session_);
    mnet::AVFrame frame(8);
    EXPECT_FALSE(server_->PushFrame(session_id_, mnet::channel_0, frame));  // no client
    EXPECT_FALSE(server_->PushFrame(12345, mnet::channel_0, frame));
    {
        RawClient c(port_);
        Prepare(c);
        EXPECT_TRUE(server_->PushFrame(session_id_, mnet::channel_0, frame));
    }
    for (int i = 0; i < 100 && session_->GetClientCount() > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(session_->GetClientCount(), 0u);  // the closed connection left its session
    server_->RemoveSession(session_id_);
    EXPECT_EQ(server_->FindSessionBySuffix("live/main"), nullptr);
    EXPECT_EQ(server_->FindSessionById(session_id_), nullptr);
}

uint16_t RtpSeq(const std::string& frame) {
    return static_cast<uint16_t>((static_cast<uint8_t>(frame[6]) << 8) | static_cast<uint8_t>(frame[7]));
}

// PAUSE is answered and holds the stream: nothing follows its reply on the connection until PLAY, and
// after PLAY the stream goes on from the next key frame with the next sequence number. The keep-alives are
// answered with the session, and SET_PARAMETER changes nothing.
TEST_F(RtspServerTest, PauseHoldsTheStreamAndPlayResumesAtAKeyFrame) {
    RawClient c(port_);
    const std::string session = Prepare(c);
    const std::string with_session = "Session: " + session + "\r\n";
    c.Send(Request("PLAY", url_ + "/", 4, with_session));
    ASSERT_EQ(c.Reply().substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: 4\r\n");
    PushKeyFrame();
    std::string before = c.Frame();
    ASSERT_FALSE(before.empty());

    c.Send(Request("PAUSE", url_ + "/", 5, with_session));
    EXPECT_EQ(c.Reply(), "RTSP/1.0 200 OK\r\nCSeq: 5\r\nSession: " + session + "\r\n\r\n");
    std::vector<std::string> frames = c.TakeFrames();  // sent before the PAUSE was handled
    ASSERT_TRUE(frames.empty() || RtpSeq(frames.back()) != RtpSeq(before));
    const uint16_t last_seq = frames.empty() ? RtpSeq(before) : RtpSeq(frames.back());
    for (int i = 0; i < 3; ++i) {
        PushKeyFrame();
        PushFrame(false);
    }
    // Frames pushed before a request are handled before it: whatever was sent would precede this reply.
    c.Send(Request("SET_PARAMETER", url_ + "/", 6, with_session + "Content-Length: 10\r\n") + "volume: 3\n");
    EXPECT_EQ(c.Reply(), "RTSP/1.0 200 OK\r\nCSeq: 6\r\nSession: " + session + "\r\n\r\n");
    c.Send(Request("GET_PARAMETER", url_ + "/", 7, with_session));
    EXPECT_EQ(c.Reply(), "RTSP/1.0 200 OK\r\nCSeq: 7\r\nSession: " + session + "\r\n\r\n");
    EXPECT_TRUE(c.TakeFrames().empty()) << "sent while paused";
    EXPECT_EQ(session_->GetClientCount(), 1u);
    EXPECT_EQ(session_->GetPlayingClientCount(), 0u);

    c.Send(Request("PLAY", url_ + "/", 8, with_session));
    EXPECT_EQ(c.Reply().substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: 8\r\n");
    EXPECT_EQ(session_->GetPlayingClientCount(), 1u);
    PushFrame(false);  // not decodable on its own: held back
    PushKeyFrame();
    std::string first = c.Frame();
    ASSERT_GE(first.size(), 17u);
    EXPECT_EQ(static_cast<uint8_t>(first[16]), 0x67);
    EXPECT_EQ(RtpSeq(first), static_cast<uint16_t>(last_seq + 1));
}

// A player that stops reading fills its send queue and loses pictures. What it gets must still decode:
// pictures lost whole (never a piece of one), sequence numbers without a gap, and after a lost picture none
// up to the next key frame, whose pictures then all arrive.
TEST_F(RtspServerTest, SlowPlayerLosesWholePicturesUpToTheNextKeyFrame) {
    RawClient c(port_);
    const std::string session = Prepare(c);
    c.Send(Request("PLAY", url_ + "/", 4, "Session: " + session + "\r\n"));
    ASSERT_EQ(c.Reply().substr(0, 26), "RTSP/1.0 200 OK\r\nCSeq: 4\r\n");

    // Picture n is stamped 3000 * (n + 1); each is about 70 packets, so 30 of them, unread, overflow the
    // 500-packet queue and the sockets' buffers (a few hundred kB) several times over.
    auto push_picture = [&](int n, bool key) {
        std::vector<uint8_t> unit;
        if (key) unit = {0, 0, 0, 1, 0x67, 0x42, 0, 0x1f, 0, 0, 0, 1, 0x68, 0xce, 0x38, 0x80, 0, 0, 0, 1, 0x65};
        else unit = {0, 0, 0, 1, 0x41};
        unit.resize(unit.size() + 100000, static_cast<uint8_t>(0x10 + n));
        mnet::AVFrame frame(static_cast<uint32_t>(unit.size()));
        memcpy(frame.buffer.get(), unit.data(), unit.size());
        frame.type = key ? mnet::VIDEO_FRAME_I : mnet::VIDEO_FRAME_P;
        frame.timestamp = static_cast<uint32_t>(3000 * (n + 1));
        server_->PushFrame(session_id_, mnet::channel_0, frame);
    };
    // The server's loop handles tasks in order: once this one ran, every picture pushed before it was sent,
    // queued or dropped.
    auto handled = [&] {
        std::promise<void> done;
        ASSERT_TRUE(loop_.AddTriggerEvent([&done] { done.set_value(); }));
        ASSERT_EQ(done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    };
    struct Picture {
        int packets = 0;
        bool ends_with_marker = false;
    };
    int last_seq = -1;
    // Reads until the server has nothing more; returns the pictures by number.
    auto read_pictures = [&] {
        std::map<int, Picture> pictures;
        for (std::string frame = c.Frame(1000); !frame.empty(); frame = c.Frame(1000)) {
            if (frame[1] != 0 || frame.size() < 18) continue;  // not RTP of the video track
            const uint16_t seq = RtpSeq(frame);
            if (last_seq >= 0) {
                EXPECT_EQ(seq, static_cast<uint16_t>(last_seq + 1)) << "a gap in the sequence";
            }
            last_seq = seq;
            uint32_t stamp = 0;
            for (int i = 8; i < 12; ++i) stamp = (stamp << 8) | static_cast<uint8_t>(frame[i]);
            Picture& picture = pictures[static_cast<int>(stamp / 3000) - 1];
            EXPECT_FALSE(picture.ends_with_marker) << "a packet after the picture's last";
            ++picture.packets;
            picture.ends_with_marker = (static_cast<uint8_t>(frame[5]) & 0x80) != 0;
        }
        return pictures;
    };

    for (int n = 0; n < 30; ++n) push_picture(n, n % 10 == 0);
    handled();
    const std::map<int, Picture> first = read_pictures();
    ASSERT_TRUE(first.count(0)) << "the first picture went to an empty queue";
    EXPECT_FALSE(first.count(29)) << "the player read nothing while 30 pictures were sent";
    const int key_packets = first.at(0).packets;
    int p_packets = 0;
    for (const auto& [n, picture] : first) {
        EXPECT_TRUE(picture.ends_with_marker) << "picture " << n << " ends without its last packet";
        if (n % 10 == 0) {
            EXPECT_EQ(picture.packets, key_packets) << "key picture " << n;
            continue;
        }
        if (p_packets == 0) p_packets = picture.packets;
        EXPECT_EQ(picture.packets, p_packets) << "picture " << n;
        EXPECT_TRUE(first.count(n - 1)) << "picture " << n << " arrived without the one it depends on";
    }
    ASSERT_GT(p_packets, 0) << "no picture after the first arrived";

    // The queue has drained. A picture that depends on lost ones is held back; from the key frame on all go.
    push_picture(30, false);
    push_picture(31, true);
    for (int n = 32; n < 36; ++n) push_picture(n, false);
    handled();
    const std::map<int, Picture> second = read_pictures();
    EXPECT_FALSE(second.count(30)) << "a picture that cannot be decoded was sent";
    for (int n = 31; n < 36; ++n) {
        ASSERT_TRUE(second.count(n)) << "picture " << n << " is missing";
        EXPECT_EQ(second.at(n).packets, n == 31 ? key_packets : p_packets) << "picture " << n;
        EXPECT_TRUE(second.at(n).ends_with_marker) << "picture " << n;
    }
}

// A UDP port pair for a raw player: even RTP port, RTCP on the next.
struct UdpPorts {
    int rtp = -1;
    int rtcp = -1;
    uint16_t port = 0;
    UdpPorts() {
        for (int attempt = 0; attempt < 100 && rtcp < 0; ++attempt) {
            uint16_t base = static_cast<uint16_t>((net_test::FreePort() & 0xFFFE));
            if (base < 1024 || base > 65000) continue;
            rtp = Bind(base);
            if (rtp < 0) continue;
            rtcp = Bind(static_cast<uint16_t>(base + 1));
            if (rtcp < 0) {
                close(rtp);
                rtp = -1;
                continue;
            }
            port = base;
        }
    }
    ~UdpPorts() {
        if (rtp >= 0) close(rtp);
        if (rtcp >= 0) close(rtcp);
    }
    static int Bind(uint16_t p) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(p);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }
    // Datagrams waiting on the RTP port, read and counted.
    int Drain(int timeout_ms) {
        int count = 0;
        struct pollfd pfd = {rtp, POLLIN, 0};
        while (poll(&pfd, 1, timeout_ms) > 0) {
            char buf[2048];
            if (recv(rtp, buf, sizeof(buf), 0) > 0) ++count;
            timeout_ms = 0;
        }
        return count;
    }
};

// The advertised session timeout is enforced: a session without requests, receiver reports or (over TCP) a
// player taking the stream is closed with its sockets; each of those keeps a session alive. The timeout is
// shortened here; a real player's keep-alive within the product's 60 s is tested end to end.
TEST_F(RtspServerTest, SilentSessionsTimeOutAndKeepAlivesKeepThemOpen) {
    constexpr int kTimeoutMs = 1000;
    server_->SetSessionTimeoutMs(kTimeoutMs);
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        while (feeding) {
            PushKeyFrame();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    enum KeepAlive { kNothing, kReceiverReports, kForeignReports, kGetParameter, kOptions, kTakesTcpStream, kPausedTcp };
    struct Case {
        const char* name;
        bool udp;
        KeepAlive keep_alive;
        bool stays;
    };
    const Case cases[] = {
        {"silent udp player", true, kNothing, false},
        {"udp player sending receiver reports", true, kReceiverReports, true},
        {"reports from another address do not count", true, kForeignReports, false},
        {"udp player sending GET_PARAMETER", true, kGetParameter, true},
        {"udp player sending OPTIONS", true, kOptions, true},
        {"tcp player taking the stream", false, kTakesTcpStream, true},
        {"paused tcp player", false, kPausedTcp, false},
    };
    for (const Case& tc : cases) {
        SCOPED_TRACE(tc.name);
        RawClient c(port_);
        UdpPorts ports;
        ASSERT_GE(ports.rtcp, 0);
        c.Send(Request("DESCRIBE", url_, 2, "Accept: application/sdp\r\n"));
        ASSERT_EQ(c.Reply().substr(0, 15), "RTSP/1.0 200 OK");
        c.Send(Request("SETUP", url_ + "/track0", 3,
                       tc.udp ? "Transport: RTP/AVP;unicast;client_port=" + std::to_string(ports.port) + "-" +
                                    std::to_string(ports.port + 1) + "\r\n"
                              : std::string("Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n")));
        std::string setup = c.Reply();
        std::smatch m;
        ASSERT_TRUE(std::regex_search(setup, m, std::regex("Session: (\\d+)\r\n"))) << setup;
        const std::string session = m[1];
        uint16_t server_rtcp = 0;
        if (tc.udp) {
            ASSERT_TRUE(std::regex_search(setup, m, std::regex("server_port=\\d+-(\\d+)"))) << setup;
            server_rtcp = static_cast<uint16_t>(std::stoi(m[1]));
        }
        c.Send(Request("PLAY", url_ + "/", 4, "Session: " + session + "\r\n"));
        ASSERT_EQ(c.Reply().substr(0, 15), "RTSP/1.0 200 OK");
        if (tc.keep_alive == kPausedTcp) {
            c.Send(Request("PAUSE", url_ + "/", 5, "Session: " + session + "\r\n"));
            ASSERT_EQ(c.Reply().substr(0, 15), "RTSP/1.0 200 OK");
        }

        // A receiver report (version 2, type 201, no report blocks) sent from loopback or from another
        // local address of this host.
        const uint8_t report[8] = {0x80, 201, 0, 1, 0x12, 0x34, 0x56, 0x78};
        int foreign = -1;
        if (tc.keep_alive == kForeignReports) {
            foreign = socket(AF_INET, SOCK_DGRAM, 0);
            struct sockaddr_in from = {};
            from.sin_family = AF_INET;
            from.sin_addr.s_addr = htonl(0x7F000002);  // 127.0.0.2
            ASSERT_EQ(bind(foreign, reinterpret_cast<sockaddr*>(&from), sizeof(from)), 0);
        }
        const auto start = std::chrono::steady_clock::now();
        const auto observe = std::chrono::milliseconds(tc.stays ? 3 * kTimeoutMs : 10 * kTimeoutMs);
        bool closed = false;
        int cseq = 10;
        while (std::chrono::steady_clock::now() - start < observe) {
            struct sockaddr_in to = {};
            to.sin_family = AF_INET;
            to.sin_port = htons(server_rtcp);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            switch (tc.keep_alive) {
                case kReceiverReports:
                    sendto(ports.rtcp, report, sizeof(report), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
                    break;
                case kForeignReports:
                    sendto(foreign, report, sizeof(report), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
                    break;
                case kGetParameter:
                    c.Send(Request("GET_PARAMETER", url_ + "/", ++cseq, "Session: " + session + "\r\n"));
                    break;
                case kOptions:
                    c.Send(Request("OPTIONS", url_, ++cseq));
                    break;
                default:
                    break;
            }
            // Reading the replies (and frames) on the way; a closed connection ends the wait.
            if (c.ClosedWithin(kTimeoutMs / 5)) {
                closed = true;
                break;
            }
        }
        if (foreign >= 0) close(foreign);
        EXPECT_EQ(closed, !tc.stays);
        if (closed && tc.udp) {
            // The session's sockets are gone: nothing more reaches the player's port.
            ports.Drain(100);
            EXPECT_EQ(ports.Drain(500), 0);
        }
        if (tc.stays) {
            EXPECT_GT(tc.udp ? ports.Drain(500) : 1, 0);
        }
    }
    feeding = false;
    feeder.join();
}

TEST(RtspUrlTest, ParseUrlAndAuthenticationSettings) {
    struct Case {
        const char* url;
        bool ok;
        const char* ip;
        uint16_t port;
        const char* suffix;
    };
    const Case cases[] = {
        {"rtsp://10.1.1.1/live/main", true, "10.1.1.1", 554, "live/main"},
        {"rtsp://10.1.1.1:8554/a/b", true, "10.1.1.1", 8554, "a/b"},
        {"rtsp://10.1.1.1", false, "", 0, ""},
        {"rtsp://", false, "", 0, ""},
    };
    for (const Case& c : cases) {
        auto server = std::make_shared<mnet::Rtsp>();
        EXPECT_EQ(server->ParseUrl(c.url), c.ok) << c.url;
        if (!c.ok) continue;
        EXPECT_EQ(server->GetUrlInfo().ip, c.ip);
        EXPECT_EQ(server->GetUrlInfo().port, c.port);
        EXPECT_EQ(server->GetUrlInfo().suffix, c.suffix);
        EXPECT_EQ(server->GetUrl(), c.url);
    }
    mnet::Rtsp rtsp;
    EXPECT_FALSE(rtsp.ParseUrl("rtsp://h/" + std::string(100, 's')));
    rtsp.SetAuthentication("", "u", "p");
    EXPECT_FALSE(rtsp.HasAuthInfo());
    rtsp.SetAuthentication("r", "", "p");
    EXPECT_FALSE(rtsp.HasAuthInfo());
    rtsp.SetAuthentication("r", "u", "");
    EXPECT_TRUE(rtsp.HasAuthInfo());
}

}  // namespace
