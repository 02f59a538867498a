// The connection manager over real loopback sockets: flag masking, paced TCP writes and deferred closes,
// timers, peer shutdown, UDP peer connections, broadcasts, and the poll result.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "wn_net.h"

namespace {

struct Event {
    wn_connection* nc;
    int ev;
    int value;
};

std::vector<Event> g_events;

void record(wn_connection* nc, int ev, void* ev_data) {
    if (ev == WN_EV_POLL) return;
    int value = 0;
    if ((ev == WN_EV_RECV || ev == WN_EV_SEND || ev == WN_EV_CONNECT) && ev_data != nullptr) {
        value = *static_cast<int*>(ev_data);
    }
    g_events.push_back({nc, ev, value});
}

class EventCore : public testing::Test {
protected:
    void SetUp() override {
        g_events.clear();
        wn_mgr_init(&mgr_, nullptr);
    }
    void TearDown() override { wn_mgr_free(&mgr_); }

    // A plain client socket connected to the listener, accepted by the manager.
    int connect_client(wn_connection* listener) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&listener->sa), sizeof listener->sa), 0);
        for (int i = 0; i < 100 && accepted() == nullptr; ++i) wn_mgr_poll(&mgr_, 10);
        return fd;
    }
    wn_connection* accepted() {
        for (const Event& e : g_events) {
            if (e.ev == WN_EV_ACCEPT) return e.nc;
        }
        return nullptr;
    }
    bool closed(wn_connection* nc) {
        for (const Event& e : g_events) {
            if (e.ev == WN_EV_CLOSE && e.nc == nc) return true;
        }
        return false;
    }
    wn_mgr mgr_;
};

void meddle(wn_connection* nc, int ev, void* ev_data) {
    record(nc, ev, ev_data);
    if (ev == WN_EV_ACCEPT) nc->flags = (nc->flags & ~WN_F_UDP) | WN_F_LISTENING | WN_F_USER_2;
}

TEST_F(EventCore, HandlersChangeOnlyTheAllowedFlags) {
    wn_connection* listener = wn_bind(&mgr_, "udp://127.0.0.1:0", meddle);
    ASSERT_NE(listener, nullptr);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&listener->sa), sizeof listener->sa), 1);
    for (int i = 0; i < 100 && accepted() == nullptr; ++i) wn_mgr_poll(&mgr_, 10);
    wn_connection* nc = accepted();
    ASSERT_NE(nc, nullptr);
    EXPECT_EQ(nc->flags & WN_F_UDP, WN_F_UDP);       // clearing it was undone
    EXPECT_EQ(nc->flags & WN_F_LISTENING, 0u);       // and so was setting this
    EXPECT_EQ(nc->flags & WN_F_USER_2, WN_F_USER_2);  // an allowed bit stays
    close(fd);
}

void send_3000_and_close(wn_connection* nc, int ev, void* ev_data) {
    record(nc, ev, ev_data);
    if (ev == WN_EV_ACCEPT) {
        const std::string bytes(3000, 'x');
        wn_send(nc, bytes.data(), static_cast<int>(bytes.size()));
        nc->flags |= WN_F_SEND_AND_CLOSE;
    }
}

TEST_F(EventCore, WritesAreCutTo1460PerPassAndCloseWaitsForAnEmptyBuffer) {
    wn_connection* listener = wn_bind(&mgr_, "127.0.0.1:0", send_3000_and_close);
    ASSERT_NE(listener, nullptr);
    const int fd = connect_client(listener);
    wn_connection* nc = accepted();
    ASSERT_NE(nc, nullptr);
    std::vector<int> sends;
    int passes = 0;
    while (!closed(nc) && passes < 50) {
        wn_mgr_poll(&mgr_, 50);
        ++passes;
    }
    for (const Event& e : g_events) {
        if (e.ev == WN_EV_SEND && e.nc == nc) sends.push_back(e.value);
    }
    EXPECT_EQ(sends, (std::vector<int>{1460, 1460, 80}));
    EXPECT_TRUE(closed(nc));
    std::string received;
    char buffer[4096];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) received.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(received, std::string(3000, 'x'));  // and then end of stream
    close(fd);
}

int g_timer_fired = 0;

void timer_handler(wn_connection* nc, int ev, void* ev_data) {
    record(nc, ev, ev_data);
    if (ev == WN_EV_TIMER) ++g_timer_fired;
}

TEST_F(EventCore, PastTimerFiresOnceAndPollOnlyPassesCountZero) {
    wn_connection* listener = wn_bind(&mgr_, "127.0.0.1:0", timer_handler);
    ASSERT_NE(listener, nullptr);
    EXPECT_EQ(wn_mgr_poll(&mgr_, 0), 0);  // only WN_EV_POLL delivered
    g_timer_fired = 0;
    EXPECT_EQ(wn_set_timer(listener, wn_time() - 1), 0.0);
    EXPECT_EQ(wn_mgr_poll(&mgr_, 0), 1);
    EXPECT_EQ(g_timer_fired, 1);
    EXPECT_EQ(listener->ev_timer_time, 0.0);
    wn_mgr_poll(&mgr_, 0);
    EXPECT_EQ(g_timer_fired, 1);
    // A near timer shortens the wait of a longer poll.
    wn_set_timer(listener, wn_time() + 0.05);
    const double start = wn_time();
    wn_mgr_poll(&mgr_, 2000);
    EXPECT_EQ(g_timer_fired, 2);
    EXPECT_LT(wn_time() - start, 1.5);
}

void echo_until_close(wn_connection* nc, int ev, void* ev_data) {
    record(nc, ev, ev_data);
    if (ev == WN_EV_RECV) wn_forward(nc, nc);
}

TEST_F(EventCore, PeerShutdownClosesAfterTheRepliesAreOut) {
    wn_connection* listener = wn_bind(&mgr_, "127.0.0.1:0", echo_until_close);
    ASSERT_NE(listener, nullptr);
    const int fd = connect_client(listener);
    wn_connection* nc = accepted();
    ASSERT_NE(nc, nullptr);
    ASSERT_EQ(send(fd, "ping", 4, 0), 4);
    shutdown(fd, SHUT_WR);
    for (int i = 0; i < 100 && !closed(nc); ++i) wn_mgr_poll(&mgr_, 10);
    EXPECT_TRUE(closed(nc));
    char buffer[16];
    EXPECT_EQ(recv(fd, buffer, sizeof buffer, 0), 4);
    EXPECT_EQ(recv(fd, buffer, sizeof buffer, 0), 0);
    close(fd);
}

void udp_echo(wn_connection* nc, int ev, void* ev_data) {
    record(nc, ev, ev_data);
    if (ev == WN_EV_RECV) wn_forward(nc, nc);
}

TEST_F(EventCore, DatagramsMakePeerConnectionsThatReplyAndClose) {
    wn_connection* listener = wn_bind(&mgr_, "udp://127.0.0.1:0", udp_echo);
    ASSERT_NE(listener, nullptr);
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&listener->sa), sizeof listener->sa), 0);
    for (int round = 0; round < 2; ++round) {
        g_events.clear();
        ASSERT_EQ(send(fd, "hello", 5, 0), 5);
        wn_connection* peer = nullptr;
        for (int i = 0; i < 100 && (peer == nullptr || !closed(peer)); ++i) {
            wn_mgr_poll(&mgr_, 10);
            peer = accepted();
        }
        ASSERT_NE(peer, nullptr);
        EXPECT_TRUE(closed(peer));  // it carried SEND_AND_CLOSE: one reply, then gone
        std::vector<int> order;
        for (const Event& e : g_events) {
            if (e.nc == peer) order.push_back(e.ev);
        }
        EXPECT_EQ(order, (std::vector<int>{WN_EV_ACCEPT, WN_EV_RECV, WN_EV_SEND, WN_EV_CLOSE}));
        char buffer[16];
        EXPECT_EQ(recv(fd, buffer, sizeof buffer, 0), 5);
    }
    EXPECT_GE(listener->sock, 0);  // the peers never closed the listener's shared socket
    close(fd);
}

std::atomic<int> g_broadcasts{0};

void count_broadcast(wn_connection*, int ev, void* ev_data) {
    if (ev == WN_EV_POLL && std::memcmp(ev_data, "news", 4) == 0) ++g_broadcasts;
}

TEST_F(EventCore, BroadcastsReachEveryConnectionFromAnotherThread) {
    ASSERT_NE(wn_bind(&mgr_, "127.0.0.1:0", nullptr), nullptr);
    ASSERT_NE(wn_bind(&mgr_, "udp://127.0.0.1:0", nullptr), nullptr);
    g_broadcasts = 0;
    std::atomic<bool> done{false};
    std::thread sender([&] {
        std::string big(8191, 'n');
        std::memcpy(&big[0], "news", 4);
        wn_broadcast(&mgr_, count_broadcast, big.data(), big.size());
        std::string too_big(8192, 'n');
        std::memcpy(&too_big[0], "news", 4);
        wn_broadcast(&mgr_, count_broadcast, too_big.data(), too_big.size());  // dropped
        done = true;
    });
    for (int i = 0; i < 200 && !done; ++i) wn_mgr_poll(&mgr_, 10);
    sender.join();
    EXPECT_EQ(g_broadcasts.load(), 2);
}

TEST_F(EventCore, ConnectToAClosedPortReportsTheErrorThenCloses) {
    // A port that was just free: bind, read the port, close.
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof sa;
    bind(probe, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    getsockname(probe, reinterpret_cast<sockaddr*>(&sa), &length);
    close(probe);
    const std::string address = "127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
    wn_connection* nc = wn_connect(&mgr_, address.c_str(), record);
    ASSERT_NE(nc, nullptr);
    for (int i = 0; i < 100 && !closed(nc); ++i) wn_mgr_poll(&mgr_, 10);
    ASSERT_GE(g_events.size(), 2u);
    EXPECT_EQ(g_events[0].ev, WN_EV_CONNECT);
    EXPECT_EQ(g_events[0].value, ECONNREFUSED);
    EXPECT_EQ(g_events[1].ev, WN_EV_CLOSE);
}

void full_buffer(wn_connection* nc, int ev, void* ev_data) { record(nc, ev, ev_data); }

TEST_F(EventCore, AFullReceiveBufferStopsReadingUntilDataIsTaken) {
    wn_connection* listener = wn_bind(&mgr_, "127.0.0.1:0", full_buffer);
    ASSERT_NE(listener, nullptr);
    listener->recv_mbuf_limit = 100;
    const int fd = connect_client(listener);
    wn_connection* nc = accepted();
    ASSERT_NE(nc, nullptr);
    const std::string bytes(300, 'r');
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), 0), 300);
    for (int i = 0; i < 20; ++i) wn_mgr_poll(&mgr_, 10);
    EXPECT_EQ(nc->recv_mbuf.len, 100u);
    mbuf_remove(&nc->recv_mbuf, 100);
    for (int i = 0; i < 20 && nc->recv_mbuf.len < 100; ++i) wn_mgr_poll(&mgr_, 10);
    EXPECT_EQ(nc->recv_mbuf.len, 100u);
    close(fd);
}

TEST_F(EventCore, SocketPairsCarryBothWays) {
    for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
        int pair[2];
        ASSERT_EQ(wn_socketpair(pair, type), 1);
        ASSERT_EQ(send(pair[0], "ab", 2, 0), 2);
        char c[2];
        EXPECT_EQ(recv(pair[1], c, 2, 0), 2);
        ASSERT_EQ(send(pair[1], "z", 1, 0), 1);
        EXPECT_EQ(recv(pair[0], c, 1, 0), 1);
        EXPECT_EQ(c[0], 'z');
        close(pair[0]);
        close(pair[1]);
    }
}

TEST_F(EventCore, HighDescriptorsAreMovedBelowTheSelectLimit) {
    wn_connection* listener = wn_bind(&mgr_, "127.0.0.1:0", echo_until_close);
    ASSERT_NE(listener, nullptr);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&listener->sa), sizeof listener->sa), 0);
    for (int i = 0; i < 100 && accepted() == nullptr; ++i) wn_mgr_poll(&mgr_, 10);
    wn_connection* nc = accepted();
    ASSERT_NE(nc, nullptr);
    const int high = fcntl(nc->sock, F_DUPFD, 1100);
    if (high < 0) GTEST_SKIP() << "the descriptor limit is below 1100";
    close(nc->sock);
    nc->sock = high;
    ASSERT_EQ(send(fd, "x", 1, 0), 1);
    char c;
    bool echoed = false;
    for (int i = 0; i < 100 && !echoed; ++i) {
        wn_mgr_poll(&mgr_, 10);
        echoed = recv(fd, &c, 1, MSG_DONTWAIT) == 1;
    }
    EXPECT_TRUE(echoed);
    EXPECT_LT(nc->sock, kWnSelectLimit);
    close(fd);
}

}  // namespace
