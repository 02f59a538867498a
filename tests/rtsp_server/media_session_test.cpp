// The media session's fan-out and the RTP connections behind it, on real sockets and a running event loop.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <regex>
#include <string>
#include <vector>

#include "aac_source.h"
#include "byte_order.h"
#include "event_loop.h"
#include "h264_source.h"
#include "media_session.h"
#include "rtp_connection.h"
#include "tcp_connection.h"

namespace {

using mnet::AVFrame;

// Reads exactly n bytes within the time-out; false otherwise.
bool ReadExactly(int fd, void* out, size_t n, int timeout_ms = 2000) {
    auto* p = static_cast<uint8_t*>(out);
    while (n > 0) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, timeout_ms) <= 0) return false;
        ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool Readable(int fd, int timeout_ms) {
    struct pollfd pfd = {fd, POLLIN, 0};
    return poll(&pfd, 1, timeout_ms) > 0;
}

struct InterleavedPacket {
    uint8_t channel = 0;
    std::vector<uint8_t> rtp;  // RTP header and payload
    uint16_t Seq() const { return mnet::ReadUint16BE(reinterpret_cast<const char*>(rtp.data() + 2)); }
    uint32_t Timestamp() const { return mnet::ReadUint32BE(reinterpret_cast<const char*>(rtp.data() + 4)); }
    uint32_t Ssrc() const { return mnet::ReadUint32BE(reinterpret_cast<const char*>(rtp.data() + 8)); }
    bool Marker() const { return (rtp[1] & 0x80) != 0; }
    uint8_t PayloadType() const { return rtp[1] & 0x7F; }
};

bool ReadInterleaved(int fd, InterleavedPacket* pkt, int timeout_ms = 2000) {
    uint8_t header[4];
    if (!ReadExactly(fd, header, 4, timeout_ms) || header[0] != '$') return false;
    pkt->channel = header[1];
    pkt->rtp.resize(mnet::ReadUint16BE(reinterpret_cast<const char*>(header + 2)));
    return ReadExactly(fd, pkt->rtp.data(), pkt->rtp.size(), timeout_ms);
}

AVFrame Frame(std::vector<uint8_t> bytes, uint8_t type, uint32_t ts) {
    AVFrame frame(static_cast<uint32_t>(bytes.size()));
    memcpy(frame.buffer.get(), bytes.data(), bytes.size());
    frame.type = type;
    frame.timestamp = ts;
    return frame;
}

// A client: a TCP connection on the loop's scheduler whose peer end the test reads, and its RTP connection.
struct Client {
    int peer = -1;
    std::shared_ptr<mnet::TcpConnection> conn;
    std::shared_ptr<mnet::RtpConnection> rtp;
    // Runs fn on the connection's scheduler thread, where the server touches its RTP connection, and waits.
    void RunOnLoop(const std::function<void()>& fn) {
        std::promise<void> done;
        if (conn->GetTaskScheduler()->AddTriggerEvent([&]() {
                fn();
                done.set_value();
            })) {
            done.get_future().wait_for(std::chrono::seconds(5));
        }
    }
    // A connection may be released only on its scheduler's thread or once it has closed there: close it on
    // that thread, then wait for a task queued behind the close, so no callback still runs when it goes.
    void Release() {
        if (!conn) return;
        conn->Disconnect();
        RunOnLoop([] {});
        conn.reset();
    }
    ~Client() {
        Release();
        if (peer >= 0) close(peer);
    }
};

class MediaSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        session_ = mnet::MediaSession::Create("live/main");
        session_->AddSource(mnet::channel_0, mnet::H264Source::Create(30));
        session_->AddSource(mnet::channel_1, mnet::AACSource::Create(48000, 2, true));
    }

    std::unique_ptr<Client> NewClient(bool play = true) {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        auto client = std::unique_ptr<Client>(new Client());
        client->peer = fds[1];
        client->conn = std::make_shared<mnet::TcpConnection>(loop_.GetTaskScheduler(), fds[0]);
        client->conn->Attach();
        client->rtp = std::make_shared<mnet::RtpConnection>(client->conn);
        client->rtp->SetPayloadType(mnet::channel_0, 96);
        client->rtp->SetPayloadType(mnet::channel_1, 97);
        client->rtp->SetupRtpOverTcp(mnet::channel_0, 0, 1);
        client->rtp->SetupRtpOverTcp(mnet::channel_1, 2, 3);
        if (play) client->rtp->Play();
        return client;
    }

    mnet::EventLoop loop_{1};
    std::shared_ptr<mnet::MediaSession> session_;
};

const std::vector<uint8_t> kKeyUnit = {0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1f, 0, 0, 0, 1, 0x65, 0x88, 0x84};
const std::vector<uint8_t> kAdtsFrame = {0xFF, 0xF9, 0x4C, 0x80, 0x01, 0x5F, 0xFC, 0x21, 0x10, 0x04};

TEST_F(MediaSessionTest, EveryClientGetsEveryPacketWithItsOwnSequenceAndSsrc) {
    auto a = NewClient();
    auto b = NewClient();
    ASSERT_TRUE(session_->AddClient(a->conn->GetSocket(), a->rtp));
    ASSERT_TRUE(session_->AddClient(b->conn->GetSocket(), b->rtp));

    ASSERT_TRUE(session_->HandleFrame(mnet::channel_0, Frame(kKeyUnit, mnet::VIDEO_FRAME_I, 9000)));
    ASSERT_TRUE(session_->HandleFrame(mnet::channel_1, Frame(kAdtsFrame, mnet::AUDIO_FRAME, 480)));

    InterleavedPacket pa[3], pb[3];
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(ReadInterleaved(a->peer, &pa[i])) << i;
        ASSERT_TRUE(ReadInterleaved(b->peer, &pb[i])) << i;
    }
    // SPS, then the IDR slice (marker), each without start code; then audio on its own channel.
    EXPECT_EQ(pa[0].channel, 0);
    EXPECT_EQ(std::vector<uint8_t>(pa[0].rtp.begin() + 12, pa[0].rtp.end()),
              std::vector<uint8_t>({0x67, 0x42, 0x00, 0x1f}));
    EXPECT_FALSE(pa[0].Marker());
    EXPECT_TRUE(pa[1].Marker());
    EXPECT_EQ(pa[1].Seq(), static_cast<uint16_t>(pa[0].Seq() + 1));
    EXPECT_EQ(pa[0].Timestamp(), 9000u);
    EXPECT_EQ(pa[0].PayloadType(), 96);
    EXPECT_EQ(pa[2].channel, 2);
    EXPECT_EQ(pa[2].PayloadType(), 97);
    EXPECT_EQ(pa[2].Timestamp(), 480u);
    EXPECT_EQ(pa[2].rtp.size(), 12u + 4 + 3);

    EXPECT_NE(pa[0].Ssrc(), pb[0].Ssrc());
    EXPECT_NE(pa[0].Ssrc(), pa[2].Ssrc());  // one SSRC per channel
    EXPECT_EQ(std::vector<uint8_t>(pa[1].rtp.begin() + 12, pa[1].rtp.end()),
              std::vector<uint8_t>(pb[1].rtp.begin() + 12, pb[1].rtp.end()));
}

TEST_F(MediaSessionTest, ADestroyedConnectionLeavesAtTheNextPacket) {
    auto a = NewClient();
    auto b = NewClient();
    session_->AddClient(a->conn->GetSocket(), a->rtp);
    session_->AddClient(b->conn->GetSocket(), b->rtp);
    b->rtp.reset();
    EXPECT_EQ(session_->GetClientCount(), 2u);
    session_->HandleFrame(mnet::channel_0, Frame(kKeyUnit, mnet::VIDEO_FRAME_I, 1));
    EXPECT_EQ(session_->GetClientCount(), 1u);
    InterleavedPacket pkt;
    EXPECT_TRUE(ReadInterleaved(a->peer, &pkt));
}

TEST_F(MediaSessionTest, NotifyCallbacksRunOncePerClient) {
    int connected = 0;
    int disconnected = 0;
    session_->AddNotifyConnectedCallback([&connected](uint32_t, std::string, uint16_t) { ++connected; });
    session_->AddNotifyDisconnectedCallback([&disconnected](uint32_t, std::string, uint16_t) { ++disconnected; });
    auto a = NewClient();
    EXPECT_TRUE(session_->AddClient(7, a->rtp));
    EXPECT_FALSE(session_->AddClient(7, a->rtp));
    EXPECT_EQ(connected, 1);
    session_->RemoveClient(99);  // unknown: nothing happens
    EXPECT_EQ(session_->GetClientCount(), 1u);
    session_->RemoveClient(7);
    EXPECT_EQ(disconnected, 1);
    EXPECT_EQ(session_->GetClientCount(), 0u);
}

TEST_F(MediaSessionTest, SdpIsBuiltOnceWithBothTracks) {
    std::string sdp = session_->GetSdpMessage("10.0.0.1");
    std::regex expected(
        "v=0\r\no=- 9[0-9]+ 1 IN IP4 10\\.0\\.0\\.1\r\nt=0 0\r\na=control:\\*\r\n"
        "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:track0\r\n"
        "m=audio 0 RTP/AVP 97\r\na=rtpmap:97 MPEG4-GENERIC/48000/2\r\n"
        "a=fmtp:97 profile-level-id=1;mode=AAC-hbr;sizelength=13;indexlength=3;indexdeltalength=3;config=1190\r\n"
        "a=control:track1\r\n");
    EXPECT_TRUE(std::regex_match(sdp, expected)) << sdp;
    EXPECT_EQ(session_->GetSdpMessage("192.168.1.1", "name"), sdp);

    auto video_only = mnet::MediaSession::Create("v");
    video_only->AddSource(mnet::channel_0, mnet::H264Source::Create(30));
    std::string text = video_only->GetSdpMessage("1.2.3.4", "cam");
    EXPECT_NE(text.find("\r\ns=cam\r\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 18), "a=control:track0\r\n") << text;
    EXPECT_EQ(text.find("m=audio"), std::string::npos);
}

// Each channel has its ring of 60 frames from the session's start; frames to players do not pass through it.
TEST_F(MediaSessionTest, FrameRingsOfBothChannelsStayEmptyWhileFramesGoOut) {
    for (mnet::MediaChannelId channel : {mnet::channel_0, mnet::channel_1}) {
        const mnet::RingBuffer<mnet::AVFrame>* ring = session_->GetFrameRing(channel);
        ASSERT_NE(ring, nullptr);
        EXPECT_EQ(ring->Capacity(), mnet::MediaSession::kFrameRingCapacity);
    }
    EXPECT_EQ(session_->GetFrameRing(static_cast<mnet::MediaChannelId>(2)), nullptr);
    EXPECT_EQ(session_->GetFrameRing(static_cast<mnet::MediaChannelId>(-1)), nullptr);
    ASSERT_TRUE(session_->HandleFrame(mnet::channel_0, Frame(kKeyUnit, mnet::VIDEO_FRAME_I, 9000)));
    EXPECT_EQ(session_->GetFrameRing(mnet::channel_0)->Size(), 0);
}

TEST(MediaSessionIdTest, FirstSessionOfTheProcessIsTwo) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(exit(static_cast<int>(mnet::MediaSession::Create("a")->GetMediaSessionId())),
                ::testing::ExitedWithCode(2), "");
    auto first = mnet::MediaSession::Create("a");
    auto second = mnet::MediaSession::Create("b");
    EXPECT_EQ(second->GetMediaSessionId(), first->GetMediaSessionId() + 1);
    EXPECT_EQ(first->GetMulticastPort(static_cast<mnet::MediaChannelId>(2)), 0);
}

TEST_F(MediaSessionTest, NothingIsSentBeforePlayAndTheFirstKeyFrame) {
    auto a = NewClient(false);
    session_->AddClient(a->conn->GetSocket(), a->rtp);
    session_->HandleFrame(mnet::channel_0, Frame(kKeyUnit, mnet::VIDEO_FRAME_I, 1));
    EXPECT_FALSE(Readable(a->peer, 200));  // not playing yet

    auto b = NewClient(true);
    session_->AddClient(b->conn->GetSocket(), b->rtp);
    session_->HandleFrame(mnet::channel_1, Frame(kAdtsFrame, mnet::AUDIO_FRAME, 1));
    session_->HandleFrame(mnet::channel_0, Frame({0, 0, 0, 1, 0x41, 0x9a}, mnet::VIDEO_FRAME_P, 2));
    EXPECT_FALSE(Readable(b->peer, 200));  // audio and a P frame before any key frame

    session_->HandleFrame(mnet::channel_0, Frame(kKeyUnit, mnet::VIDEO_FRAME_I, 3));
    session_->HandleFrame(mnet::channel_1, Frame(kAdtsFrame, mnet::AUDIO_FRAME, 4));
    InterleavedPacket pkt;
    ASSERT_TRUE(ReadInterleaved(b->peer, &pkt));
    EXPECT_EQ(pkt.rtp[12], 0x67);
    ASSERT_TRUE(ReadInterleaved(b->peer, &pkt));
    ASSERT_TRUE(ReadInterleaved(b->peer, &pkt));
    EXPECT_EQ(pkt.channel, 2);
}

TEST_F(MediaSessionTest, InterleaveHeaderOfAFullPacket) {
    auto a = NewClient();
    session_->AddClient(a->conn->GetSocket(), a->rtp);
    std::vector<uint8_t> unit = {0, 0, 0, 1};
    unit.push_back(0x65);
    for (int i = 1; i < 1420; ++i) unit.push_back(static_cast<uint8_t>(1 + i % 200));
    session_->HandleFrame(mnet::channel_0, Frame(unit, mnet::VIDEO_FRAME_I, 5));
    uint8_t header[4];
    ASSERT_TRUE(ReadExactly(a->peer, header, 4));
    EXPECT_EQ(std::vector<uint8_t>(header, header + 4), std::vector<uint8_t>({0x24, 0x00, 0x05, 0x98}));
}

TEST_F(MediaSessionTest, TeardownIsFinalAndAGoneConnectionRefusesPackets) {
    auto a = NewClient();
    mnet::RtpPacket pkt;
    pkt.size = 20;
    pkt.type = mnet::VIDEO_FRAME_I;
    EXPECT_EQ(a->rtp->SendRtpPacket(mnet::channel_0, pkt), 0);
    a->RunOnLoop([&] {
        a->rtp->Teardown();
        a->rtp->Teardown();
    });
    EXPECT_TRUE(a->rtp->IsClosed());
    EXPECT_EQ(a->rtp->SendRtpPacket(mnet::channel_0, pkt), -1);

    auto b = NewClient();
    b->Release();
    EXPECT_EQ(b->rtp->GetId(), -1);
    EXPECT_EQ(b->rtp->SendRtpPacket(mnet::channel_0, pkt), -1);
}

// A connected loopback TCP pair: the server side for the RtpConnection (it reads the peer's address).
class TcpPair {
public:
    TcpPair() {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        socklen_t len = sizeof(addr);
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
        listen(listener, 1);
        client = socket(AF_INET, SOCK_STREAM, 0);
        connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        server = accept(listener, nullptr, nullptr);
        close(listener);
    }
    ~TcpPair() {
        if (client >= 0) close(client);
    }
    int client = -1;
    int server = -1;  // owned by the TcpConnection
};

int UdpReceiver(uint16_t* port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    *port = ntohs(addr.sin_port);
    return fd;
}

TEST_F(MediaSessionTest, UdpTransportUsesNonBlockingEvenPortPairsAndRefusesLowPeerPorts) {
    TcpPair pair;
    auto conn = std::make_shared<mnet::TcpConnection>(loop_.GetTaskScheduler(), pair.server);
    conn->Attach();
    auto rtp = std::make_shared<mnet::RtpConnection>(conn);
    EXPECT_FALSE(rtp->SetupRtpOverUdp(mnet::channel_0, 0, 1));
    EXPECT_FALSE(rtp->SetupRtpOverUdp(mnet::channel_0, 554, 555));

    uint16_t receiver_port = 0;
    int receiver = UdpReceiver(&receiver_port);
    ASSERT_TRUE(rtp->SetupRtpOverUdp(mnet::channel_0, receiver_port, receiver_port + 1));
    uint16_t first_port = rtp->GetRtpPort(mnet::channel_0);
    EXPECT_EQ(first_port % 2, 0);
    EXPECT_GE(first_port, mnet::RtpConnection::kMinLocalPort);
    EXPECT_EQ(rtp->GetRtcpPort(mnet::channel_0), first_port + 1);
    EXPECT_TRUE(fcntl(rtp->GetRtpSocket(mnet::channel_0), F_GETFL) & O_NONBLOCK);

    // A repeated SETUP of the channel closes the first pair: its port can be bound again.
    ASSERT_TRUE(rtp->SetupRtpOverUdp(mnet::channel_0, receiver_port, receiver_port + 1));
    int probe = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(first_port);
    EXPECT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    close(probe);

    ASSERT_TRUE(rtp->SetupRtpOverUdp(mnet::channel_1, receiver_port, receiver_port + 1));
    EXPECT_NE(rtp->GetRtpPort(mnet::channel_1), rtp->GetRtpPort(mnet::channel_0));
    rtp->Play();
    session_->AddClient(conn->GetSocket(), rtp);
    session_->HandleFrame(mnet::channel_0, Frame(kKeyUnit, mnet::VIDEO_FRAME_I, 77));
    uint8_t datagram[1600];
    ASSERT_TRUE(Readable(receiver, 2000));
    ssize_t n = recv(receiver, datagram, sizeof(datagram), 0);
    ASSERT_EQ(n, 12 + 4);
    EXPECT_EQ(datagram[12], 0x67);
    close(receiver);
}

}  // namespace
