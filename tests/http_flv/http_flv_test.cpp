// The HTTP server base and the HTTP-FLV server: exact replies to raw requests, the packet queue's limits, the
// FLV framing byte for byte, and a raw RTMP publisher's stream played over HTTP.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "byte_order.h"
#include "event_loop.h"
#include "http_connection.h"
#include "http_flv_connection.h"
#include "http_flv_server.h"
#include "http_server.h"
#include "net_test_util.h"
#include "rtmp_server.h"
#include "rtmp_test_client.h"

namespace {

using Clock = std::chrono::steady_clock;

// Reads until the peer closes, `want` bytes have come, or the deadline passes.
std::string ReadReply(int fd, size_t want = SIZE_MAX, int timeout_ms = 5000, bool* closed = nullptr) {
    std::string out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    if (closed) *closed = false;
    while (out.size() < want && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        char buf[65536];
        const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            if (closed) *closed = true;
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// One request on a new connection; reads until the close or `want` bytes.
std::string Request(uint16_t port, const std::string& request, bool* closed = nullptr, size_t want = SIZE_MAX) {
    const int fd = net_test::ConnectClient(port);
    if (fd < 0) return "connect failed";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply = ReadReply(fd, want, 3000, closed);
    ::close(fd);
    return reply;
}

std::string Get(const std::string& uri) { return "GET " + uri + " HTTP/1.1\r\nHost: x\r\n\r\n"; }

// A library connection around one end of a socket pair, never polled: whatever the code under test sends
// stays in its send buffer, where the test reads it.
class DetachedConnection {
public:
    DetachedConnection() {
        // A null handler: nothing of the application runs on this connection.
        wn_mgr_init(&mgr_, nullptr);
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_);
        conn_ = wn_add_sock(&mgr_, fds_[0], nullptr);
    }
    ~DetachedConnection() {
        wn_mgr_free(&mgr_);
        ::close(fds_[1]);
    }
    wn_connection* conn() { return conn_; }
    std::string Sent() const { return std::string(conn_->send_mbuf.buf, conn_->send_mbuf.len); }

private:
    wn_mgr mgr_{};
    int fds_[2] = {-1, -1};
    wn_connection* conn_ = nullptr;
};

void FlushAll(mnet::HttpConnection& c) {
    for (int i = 0; i < 5000; ++i) c.Flush();
}

std::shared_ptr<char> Bytes(const std::string& s) { return rtmp_test::Bytes(s); }

std::string Payload(std::initializer_list<int> head, size_t size) {
    std::string s(size, '\x5a');
    size_t i = 0;
    for (int b : head) s[i++] = static_cast<char>(b);
    return s;
}

struct Tag {
    uint8_t type = 0;
    uint32_t size = 0;
    uint32_t timestamp = 0;
    std::string payload;
};

// Walks an FLV byte stream: the 9-byte header and PreviousTagSize0, then tags with their trailing sizes.
// Fails the test on any framing error.
std::vector<Tag> WalkFlv(const std::string& flv, uint8_t* flags) {
    std::vector<Tag> tags;
    EXPECT_GE(flv.size(), 13u);
    if (flv.size() < 13) return tags;
    EXPECT_EQ(flv.substr(0, 4), std::string("FLV\x01", 4));
    *flags = static_cast<uint8_t>(flv[4]);
    EXPECT_EQ(flv.substr(5, 8), std::string("\0\0\0\x09\0\0\0\0", 8));
    size_t pos = 13;
    const auto* u = reinterpret_cast<const uint8_t*>(flv.data());
    while (pos + 11 <= flv.size()) {
        Tag t;
        t.type = u[pos];
        t.size = (u[pos + 1] << 16) | (u[pos + 2] << 8) | u[pos + 3];
        t.timestamp = (static_cast<uint32_t>(u[pos + 7]) << 24) | (u[pos + 4] << 16) | (u[pos + 5] << 8) | u[pos + 6];
        EXPECT_EQ(std::string(flv.data() + pos + 8, 3), std::string(3, '\0'));
        if (pos + 11 + t.size + 4 > flv.size()) break;
        t.payload = flv.substr(pos + 11, t.size);
        const uint32_t prev = mnet::ReadUint32BE(const_cast<char*>(flv.data() + pos + 11 + t.size));
        EXPECT_EQ(prev, t.size + 11);
        tags.push_back(t);
        pos += 11 + t.size + 4;
    }
    EXPECT_EQ(pos, flv.size()) << "a cut tag at the end";
    return tags;
}

TEST(HttpConnectionQueue, HoldsAtMostTheLimitAndFlushMakesRoom) {
    DetachedConnection dc;
    mnet::HttpConnection conn(dc.conn());
    const uint8_t byte = 'x';
    std::thread producer([&] {
        for (size_t i = 0; i < mnet::HttpConnection::kQueueLimit + 1; ++i) conn.Send(&byte, 1);
    });
    producer.join();
    EXPECT_EQ(conn.QueueRoom(), 0u);
    conn.Flush();
    EXPECT_EQ(dc.Sent(), "x");
    EXPECT_EQ(conn.QueueRoom(), 1u);
    conn.Send(&byte, 1);
    EXPECT_EQ(conn.QueueRoom(), 0u);
    FlushAll(conn);
    EXPECT_EQ(dc.Sent().size(), mnet::HttpConnection::kQueueLimit + 1);
}

TEST(HttpConnectionQueue, AFullSendBufferHoldsThePacketBack) {
    struct Case {
        size_t already;
        bool moves;
    };
    for (const Case& c : {Case{mnet::HttpConnection::kMaxSendBuffer, true},
                          Case{mnet::HttpConnection::kMaxSendBuffer + 1, false}}) {
        DetachedConnection dc;
        const std::string filler(c.already, 'f');
        wn_send(dc.conn(), filler.data(), static_cast<int>(filler.size()));
        mnet::HttpConnection conn(dc.conn());
        const uint8_t data[3] = {'a', 'b', 'c'};
        conn.Send(data, 3);
        conn.Flush();
        EXPECT_EQ(dc.Sent().size(), c.already + (c.moves ? 3 : 0)) << c.already;
        EXPECT_EQ(conn.QueueRoom(), mnet::HttpConnection::kQueueLimit - (c.moves ? 0 : 1));
    }
}

TEST(HttpConnectionQueue, KeepsItsSocketAfterTheRecordIsGone) {
    int fd = -1;
    std::unique_ptr<mnet::HttpConnection> conn;
    {
        DetachedConnection dc;
        fd = dc.conn()->sock;
        conn = std::make_unique<mnet::HttpConnection>(dc.conn());
    }
    EXPECT_EQ(conn->GetSocket(), fd);
}

class HttpServerTest : public ::testing::Test {
protected:
    void TearDown() override { server.Stop(); }
    mnet::HttpServer server;
    uint16_t port = net_test::FreePort();
};

TEST_F(HttpServerTest, WithoutARootEveryRequestGetsAnEmptyOkAndTheConnectionCloses) {
    testing::internal::CaptureStdout();
    ASSERT_TRUE(server.Start("any host text", port));
    bool closed = false;
    const std::string reply = Request(port, Get("/x"), &closed);
    server.Stop();
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(reply, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    EXPECT_TRUE(closed);
    EXPECT_NE(printed.find("\n/x\n"), std::string::npos) << printed;
}

TEST_F(HttpServerTest, ServesFilesFromItsRootWithoutListings) {
    char dir[] = "/tmp/http_server_rootXXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string root = dir;
    std::ofstream(root + "/hello.txt") << "hello";
    ::mkdir((root + "/sub").c_str(), 0755);
    server.SetDocumentRoot(root);
    ASSERT_TRUE(server.Start("", port));
    const std::string file = Request(port, "GET /hello.txt HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(file.rfind("HTTP/1.1 200", 0), 0u) << file;
    EXPECT_EQ(file.size() >= 5 ? file.substr(file.size() - 5) : file, "hello");
    const std::string listing = Request(port, "GET /sub/ HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(listing.rfind("HTTP/1.1 403", 0), 0u) << listing;
    server.Stop();
    std::remove((root + "/hello.txt").c_str());
    ::rmdir((root + "/sub").c_str());
    ::rmdir(root.c_str());
}

TEST_F(HttpServerTest, StartAndStopInAnyOrder) {
    // A port taken by someone else: no listener.
    const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ::listen(taken, 1);
    EXPECT_FALSE(server.Start("", port));
    server.Stop();
    ::close(taken);
    // Started twice: the second start replaces the first, and the server answers.
    EXPECT_TRUE(server.Start("", port));
    EXPECT_TRUE(server.Start("", port));
    testing::internal::CaptureStdout();
    EXPECT_EQ(Request(port, Get("/again")), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    server.Stop();
    server.Stop();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(net_test::ConnectClient(port, 500), -1);
}

// The framing of one connection, read from its send buffer.
class FlvFramingTest : public ::testing::Test {
protected:
    std::string Stream() {
        FlushAll(conn);
        return dc.Sent();
    }
    DetachedConnection dc;
    mnet::HttpFlvConnection conn{dc.conn()};
    const std::string avc = Payload({0x17, 0x00, 0, 0, 0, 1, 0x64}, 20);
    const std::string aac = Payload({0xAF, 0x00, 0x12, 0x10}, 4);
};

TEST_F(FlvFramingTest, StartsAtTheFirstKeyFrameWithBothSequenceHeaders) {
    EXPECT_FALSE(conn.IsPlaying());
    EXPECT_FALSE(conn.SendMediaData(9, 5, Bytes(""), 0));
    EXPECT_FALSE(conn.IsPlaying());
    conn.SendMediaData(24, 0, Bytes(avc), static_cast<uint32_t>(avc.size()));
    EXPECT_TRUE(conn.IsPlaying());
    conn.SendMediaData(25, 0, Bytes(aac), static_cast<uint32_t>(aac.size()));
    const std::string inter = Payload({0x27, 0x01}, 30);
    const std::string audio = Payload({0xAF, 0x01}, 12);
    const std::string key = Payload({0x17, 0x01}, 100);
    conn.SendMediaData(9, 10, Bytes(inter), 30);  // before the key frame: dropped
    conn.SendMediaData(8, 11, Bytes(audio), 12);  // audio waits with the video
    EXPECT_EQ(Stream(), "");
    conn.SendMediaData(9, 0x12345678, Bytes(key), 100);
    conn.SendMediaData(8, 40, Bytes(audio), 12);
    conn.SendMediaData(9, 66, Bytes(inter), 30);
    conn.SendMediaData(18, 70, Bytes("meta"), 4);  // other types are not tags

    const std::string flv = Stream();
    uint8_t flags = 0;
    const std::vector<Tag> tags = WalkFlv(flv, &flags);
    EXPECT_EQ(flags, 0x05);
    ASSERT_EQ(tags.size(), 5u);
    EXPECT_EQ(tags[0].type, 9);
    EXPECT_EQ(tags[0].timestamp, 0u);
    EXPECT_EQ(tags[0].payload, avc);
    EXPECT_EQ(tags[1].type, 8);
    EXPECT_EQ(tags[1].payload, aac);
    EXPECT_EQ(tags[2].payload, key);
    EXPECT_EQ(tags[3].type, 8);
    EXPECT_EQ(tags[3].timestamp, 40u);
    EXPECT_EQ(tags[4].timestamp, 66u);
    // The key frame's tag, byte for byte around its fields: size 100, timestamp 12 34 56 78 written as
    // 34 56 78 12, previous-tag size 0x6F.
    const size_t at = 13 + (11 + avc.size() + 4) + (11 + aac.size() + 4);
    EXPECT_EQ(flv.substr(at, 11), std::string("\x09\x00\x00\x64\x34\x56\x78\x12\x00\x00\x00", 11));
    EXPECT_EQ(flv.substr(at + 11 + 100, 4), std::string("\x00\x00\x00\x6F", 4));
}

TEST_F(FlvFramingTest, AnAudioOnlyStreamStartsAtOnce) {
    conn.SendMediaData(25, 0, Bytes(aac), static_cast<uint32_t>(aac.size()));
    const std::string audio = Payload({0xAF, 0x01}, 9);
    conn.SendMediaData(8, 23, Bytes(audio), 9);
    uint8_t flags = 0;
    const std::vector<Tag> tags = WalkFlv(Stream(), &flags);
    EXPECT_EQ(flags, 0x04);
    ASSERT_EQ(tags.size(), 2u);
    EXPECT_EQ(tags[0].payload, aac);
    EXPECT_EQ(tags[1].timestamp, 23u);
}

TEST_F(FlvFramingTest, AFullQueueDropsWholeTagsUntilTheNextKeyFrame) {
    conn.SendMediaData(24, 0, Bytes(avc), static_cast<uint32_t>(avc.size()));
    conn.SendMediaData(25, 0, Bytes(aac), static_cast<uint32_t>(aac.size()));
    const std::string key = Payload({0x17, 0x01}, 50);
    const std::string inter = Payload({0x27, 0x01}, 20);
    const std::string audio = Payload({0xAF, 0x01}, 7);
    // Nobody flushes: the queue fills and the tags that do not fit whole are dropped.
    uint32_t ts = 0;
    conn.SendMediaData(9, ts++, Bytes(key), 50);
    while (conn.QueueRoom() >= mnet::HttpFlvConnection::kPacketsPerTag) conn.SendMediaData(9, ts++, Bytes(inter), 20);
    conn.SendMediaData(9, ts++, Bytes(inter), 20);  // no room: dropped
    FlushAll(conn);                                  // the client catches up
    conn.SendMediaData(9, ts++, Bytes(inter), 20);   // still dropped: its reference was lost
    conn.SendMediaData(8, ts++, Bytes(audio), 7);    // audio waits for the key frame too
    const uint32_t resume = ts;
    conn.SendMediaData(9, ts++, Bytes(key), 50);
    conn.SendMediaData(8, ts++, Bytes(audio), 7);

    uint8_t flags = 0;
    const std::vector<Tag> tags = WalkFlv(Stream(), &flags);
    ASSERT_GE(tags.size(), 5u);
    // Every tag whole (WalkFlv checks), the gap ends exactly at the key frame.
    const Tag& before = tags[tags.size() - 3];
    EXPECT_EQ(before.payload, inter);
    EXPECT_EQ(tags[tags.size() - 2].timestamp, resume);
    EXPECT_EQ(tags[tags.size() - 2].payload, key);
    EXPECT_EQ(tags.back().type, 8);
}

// The HTTP-FLV server beside a real RTMP server, with a raw RTMP publisher.
class HttpFlvServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        rtmp = mnet::RtmpServer::Create(&loop);
        rtmp->SetEventCallback([this](std::string type, std::string path) {
            std::lock_guard<std::mutex> lock(mutex);
            events.push_back(type + " " + path);
        });
        rtmp_port = net_test::FreePort();
        ASSERT_TRUE(rtmp->Start("127.0.0.1", rtmp_port));
        flv.SetRtmpServer(rtmp);
        ASSERT_TRUE(flv.Start("", flv_port));
    }
    void TearDown() override {
        flv.Stop();
        rtmp->Stop();
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
    bool WaitForEvent(const std::string& event) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            for (const std::string& e : Events())
                if (e == event) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    void Publish(rtmp_test::RtmpTestClient& pub, const std::string& name) {
        ASSERT_TRUE(pub.Open(rtmp_port));
        ASSERT_TRUE(pub.SendStreamCommand("publish", name));
        ASSERT_EQ(pub.ReadStatusCode(), "NetStream.Publish.Start");
        ASSERT_TRUE(pub.SendMessage(6, 9, 1, avc));
        ASSERT_TRUE(pub.SendMessage(4, 8, 1, aac));
    }

    mnet::EventLoop loop{1};
    std::shared_ptr<mnet::RtmpServer> rtmp;
    mnet::HttpFlvServer flv;
    uint16_t rtmp_port = 0;
    uint16_t flv_port = net_test::FreePort();
    std::mutex mutex;
    std::vector<std::string> events;
    const std::string avc = Payload({0x17, 0x00, 0, 0, 0, 1, 0x64}, 20);
    const std::string aac = Payload({0xAF, 0x00, 0x12, 0x10}, 4);
};

TEST_F(HttpFlvServerTest, RefusesWhatItCannotPlay) {
    struct Case {
        std::string uri;
        std::string reply;
    };
    for (const Case& c : {Case{"/live/av0", "HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\n\r\n"},
                          Case{"/live/none.flv", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"}}) {
        const int fd = net_test::ConnectClient(flv_port);
        ASSERT_GE(fd, 0);
        const std::string req = Get(c.uri);
        ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
        bool closed = true;
        EXPECT_EQ(ReadReply(fd, c.reply.size(), 3000, &closed), c.reply) << c.uri;
        // No close flag after these replies: the connection stays for another request.
        EXPECT_EQ(ReadReply(fd, SIZE_MAX, 200, &closed), "");
        EXPECT_FALSE(closed) << c.uri;
        ::close(fd);
    }
    // Once the RTMP server is gone, requests get a 500.
    flv.SetRtmpServer(nullptr);
    const std::string error = "HTTP/1.1 500 Server Error\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ(Request(flv_port, Get("/live/av0.flv"), nullptr, error.size()), error);
    for (const std::string& e : Events()) EXPECT_EQ(e.find("http-flv"), std::string::npos) << e;
}

TEST_F(HttpFlvServerTest, PlaysALiveStreamFromItsKeyFrameAndAnnouncesPlayAndStop) {
    rtmp_test::RtmpTestClient pub;
    Publish(pub, "av0");
    // ".flv" anywhere in the URI: the path before it is the stream path.
    const int fd = net_test::ConnectClient(flv_port);
    ASSERT_GE(fd, 0);
    const std::string req = Get("/live/av0.flv/ignored");
    ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\n\r\n";
    EXPECT_EQ(ReadReply(fd, head.size()), head);
    ASSERT_TRUE(WaitForEvent("http-flv.play /live/av0.flv"));
    const std::string inter = Payload({0x27, 0x01}, 64);
    const std::string key = Payload({0x17, 0x01}, 300);
    ASSERT_TRUE(pub.SendMessage(6, 9, 1, inter, 10));
    ASSERT_TRUE(pub.SendMessage(6, 9, 1, key, 40));
    ASSERT_TRUE(pub.SendMessage(4, 8, 1, Payload({0xAF, 0x01}, 10), 41));
    const size_t want = 13 + (11 + avc.size() + 4) + (11 + aac.size() + 4) + (11 + 300 + 4) + (11 + 10 + 4);
    const std::string flv_bytes = ReadReply(fd, want);
    uint8_t flags = 0;
    const std::vector<Tag> tags = WalkFlv(flv_bytes, &flags);
    EXPECT_EQ(flags, 0x05);
    ASSERT_EQ(tags.size(), 4u);
    EXPECT_EQ(tags[0].payload, avc);
    EXPECT_EQ(tags[1].payload, aac);
    EXPECT_EQ(tags[2].payload, key);
    EXPECT_EQ(tags[3].type, 8);
    ::close(fd);
    ASSERT_TRUE(WaitForEvent("http-flv.stop /live/av0.flv"));
    // Every later close announces the path last joined, also one that only got a 404.
    {
        std::lock_guard<std::mutex> lock(mutex);
        events.clear();
    }
    const std::string missing = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ(Request(flv_port, Get("/live/other.flv"), nullptr, missing.size()), missing);
    EXPECT_TRUE(WaitForEvent("http-flv.stop /live/av0.flv"));
}

}  // namespace
