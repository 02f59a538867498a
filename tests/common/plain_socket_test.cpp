// The plain socket helpers against loopback peers, and the keep-alive thread against a listener on its fixed
// port (the suite runs in the sandbox's own network namespace, where 9999 is free).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "local_keepalive.h"
#include "pause.h"
#include "plain_socket.h"

namespace {

// A loopback TCP listener on a port of the system's choice (or a given one).
struct Listener {
    explicit Listener(int want_port = 0) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(want_port));
        ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && ::listen(fd, 4) == 0;
        socklen_t len = sizeof(addr);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
    }
    ~Listener() { ::close(fd); }
    // The next connection, or -1 after the time-out.
    int Accept(int timeout_ms = 10000) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) return -1;
        return ::accept(fd, nullptr, nullptr);
    }
    int fd = -1;
    int port = 0;
    bool ok = false;
};

std::string ReadExactly(int fd, size_t n, int timeout_ms = 10000) {
    std::string out;
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) break;
        char buf[256];
        const ssize_t got = ::recv(fd, buf, std::min(sizeof(buf), n - out.size()), 0);
        if (got <= 0) break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

TEST(PlainTcp, ConnectsSendsReceivesAndReconnects) {
    PlainTcp tcp;
    plain_tcp_init(&tcp);
    char byte = 0;
    EXPECT_EQ(plain_tcp_send(&tcp, "x", 1), 0);  // not connected
    EXPECT_EQ(plain_tcp_receive(&tcp, &byte, 1), 0);

    Listener listener;
    ASSERT_TRUE(listener.ok);
    ASSERT_EQ(plain_tcp_connect(&tcp, "127.0.0.1", listener.port), 1);
    EXPECT_STREQ(tcp.host, "127.0.0.1");
    EXPECT_EQ(tcp.port, listener.port);
    const int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(plain_tcp_send(&tcp, "hello", 5), 5);
    EXPECT_EQ(ReadExactly(peer, 5), "hello");
    ::send(peer, "abc", 3, 0);
    char buf[8] = {};
    EXPECT_EQ(plain_tcp_receive(&tcp, buf, sizeof(buf)), 3);

    // A reconnect drops the old socket and opens a new one to the stored address.
    ASSERT_EQ(plain_tcp_reconnect(&tcp), 1);
    char eof = 0;
    EXPECT_EQ(::recv(peer, &eof, 1, 0), 0);
    ::close(peer);
    const int second = listener.Accept();
    EXPECT_GE(second, 0);
    plain_tcp_close(&tcp);
    EXPECT_EQ(tcp.connected, 0);
    EXPECT_EQ(tcp.sock, -1);
    plain_tcp_close(&tcp);  // closing twice does nothing
    ::close(second);

    // Nobody listens: no connection.
    int gone = 0;
    {
        Listener closed;
        gone = closed.port;
    }
    EXPECT_EQ(plain_tcp_connect(&tcp, "127.0.0.1", gone), 0);
    EXPECT_EQ(tcp.connected, 0);
}

TEST(PlainTcp, ReceiveWithWaitGathersPiecesAndStopsAtTheEndOrTheWait) {
    struct Case {
        const char* name;
        std::string sent;
        bool close_after;
        size_t want;
        size_t expect;
    };
    const std::string big(3000, 'q');
    const Case cases[] = {
        {"pieces up to the count", big, false, 3000, 3000},
        {"stream ends early", "short", true, 100, 5},
        {"wait expires", "part", false, 100, 4},
    };
    for (const Case& c : cases) {
        Listener listener;
        PlainTcp tcp;
        plain_tcp_init(&tcp);
        ASSERT_EQ(plain_tcp_connect(&tcp, "127.0.0.1", listener.port), 1);
        const int peer = listener.Accept();
        ASSERT_GE(peer, 0);
        std::thread writer([&] {
            // In pieces, so that the reader has to wait for more than one.
            for (size_t at = 0; at < c.sent.size(); at += 700) {
                ::send(peer, c.sent.data() + at, std::min<size_t>(700, c.sent.size() - at), 0);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            if (c.close_after) ::shutdown(peer, SHUT_WR);
        });
        std::string buf(c.want, '\0');
        EXPECT_EQ(plain_tcp_receive_wait(&tcp, &buf[0], c.want, 1), static_cast<int>(c.expect)) << c.name;
        EXPECT_EQ(buf.substr(0, c.expect), c.sent.substr(0, c.expect)) << c.name;
        writer.join();
        ::close(peer);
        plain_tcp_close(&tcp);
    }
}

TEST(PlainUdp, SendsToTheRemoteAndLearnsWhoAnswered) {
    // The far end: a datagram socket on a port of the system's choice.
    const int far = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(far, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    socklen_t len = sizeof(addr);
    ::getsockname(far, reinterpret_cast<sockaddr*>(&addr), &len);
    const int far_port = ntohs(addr.sin_port);

    PlainUdp udp;
    plain_udp_init(&udp, "127.0.0.1", far_port, 0);
    EXPECT_EQ(plain_udp_send(&udp, "x", 1), 0);  // not open
    ASSERT_EQ(plain_udp_open(&udp), 1);
    EXPECT_EQ(plain_udp_send(&udp, "ping", 4), 4);
    char buf[16] = {};
    sockaddr_in from{};
    socklen_t from_len = sizeof(from);
    ASSERT_EQ(::recvfrom(far, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &from_len), 4);
    EXPECT_STREQ(buf, "ping");
    ::sendto(far, "pong", 4, 0, reinterpret_cast<sockaddr*>(&from), from_len);
    char got[16] = {};
    EXPECT_EQ(plain_udp_receive(&udp, got, sizeof(got)), 4);
    EXPECT_STREQ(got, "pong");
    EXPECT_EQ(ntohs(udp.remote.sin_port), far_port);

    // The second form: a receive time-out and no bind without a local port; a second open replaces the first.
    ASSERT_EQ(plain_udp_open(&udp, "127.0.0.1", far_port, 0), 1);
    timeval tv{};
    socklen_t tv_len = sizeof(tv);
    ::getsockopt(udp.sock, SOL_SOCKET, SO_RCVTIMEO, &tv, &tv_len);
    EXPECT_EQ(tv.tv_sec, 5);
    EXPECT_EQ(plain_udp_send(&udp, "again", 5), 5);
    plain_udp_close(&udp);
    EXPECT_EQ(udp.open, 0);
    EXPECT_EQ(plain_udp_receive(&udp, got, sizeof(got)), 0);

    // A local port already taken: the open fails and nothing stays open.
    PlainUdp clash;
    plain_udp_init(&clash, "127.0.0.1", far_port, far_port);
    EXPECT_EQ(plain_udp_open(&clash), 0);
    EXPECT_EQ(clash.open, 0);
    ::close(far);
}

std::atomic<int> g_pauses{0};
std::atomic<int64_t> g_pause_ms{0};
// Runs on the keep-alive thread, also while the process ends: no test assertion here.
void ShortPause(int64_t ms) {
    g_pause_ms = ms;
    ++g_pauses;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

TEST(LocalKeepalive, SaysHelloAndReconnectsWhenTheHelperComesBack) {
    set_pause_function(&ShortPause);
    // Started before the helper listens: the first connect fails and is retried.
    ASSERT_EQ(start_local_keepalive(), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (g_pauses.load() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(g_pause_ms.load(), kKeepaliveIntervalMs);
    Listener helper(kKeepalivePort);
    ASSERT_TRUE(helper.ok);
    int peer = helper.Accept();
    ASSERT_GE(peer, 0);
    EXPECT_EQ(ReadExactly(peer, 10), "HelloHello");
    // The helper drops the link: the next failed send brings a new connection.
    ::close(peer);
    peer = helper.Accept(20000);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(ReadExactly(peer, 5), "Hello");
    ::close(peer);
    // The thread runs for the life of the process; it keeps the short pause installed.
}

}  // namespace
