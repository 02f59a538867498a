#include "tcp_server.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net_test_util.h"

namespace {

using net_test::ConnectClient;
using net_test::WaitFor;

// Echoes what it reads. It can also hold the bytes unread, or answer a "go" with a flood, and it records the
// largest send queue any of its connections held.
class EchoConnection : public mnet::TcpConnection {
public:
    enum class Mode { Echo, Hoard, Flood };

    EchoConnection(std::shared_ptr<mnet::TaskScheduler> scheduler, int fd, Mode mode,
                   std::atomic<size_t>* max_queued_bytes)
        : TcpConnection(std::move(scheduler), fd), mode_(mode), max_queued_bytes_(max_queued_bytes) {
        SetReadCallback([this](std::shared_ptr<mnet::TcpConnection>, mnet::BufferReader& buffer) {
            return OnRead(buffer);
        });
    }

private:
    bool OnRead(mnet::BufferReader& buffer) {
        switch (mode_) {
        case Mode::Hoard:
            return true;  // never consumes
        case Mode::Flood:
            if (buffer.ReadableBytes() > 0) {
                buffer.RetrieveAll();
                std::shared_ptr<char> block(new char[65536], std::default_delete<char[]>());
                for (int i = 0; i < 400; ++i) Send(block, 65536);
            }
            return true;
        case Mode::Echo:
            Send(buffer.Peek(), static_cast<uint32_t>(buffer.ReadableBytes()));
            buffer.RetrieveAll();
            RecordQueue();
            return true;
        }
        return true;
    }

    void RecordQueue() {
        size_t queued = write_buffer_.QueuedBytes();  // read on the connection's own thread
        size_t seen = max_queued_bytes_->load();
        while (queued > seen && !max_queued_bytes_->compare_exchange_weak(seen, queued)) {
        }
    }

    Mode mode_;
    std::atomic<size_t>* max_queued_bytes_;
};

class EchoServer : public mnet::TcpServer {
public:
    EchoServer(mnet::EventLoop* loop, EchoConnection::Mode mode = EchoConnection::Mode::Echo)
        : TcpServer(loop), mode_(mode) {}
    ~EchoServer() override { Stop(); }

    std::atomic<size_t> max_queued_bytes{0};
    std::atomic<int> accepted{0};

    std::vector<mnet::TcpConnection::Ptr> Connections() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<mnet::TcpConnection::Ptr> out;
        for (auto& entry : connections_) out.push_back(entry.second);
        return out;
    }

protected:
    mnet::TcpConnection::Ptr OnConnect(int fd) override {
        ++accepted;
        return std::make_shared<EchoConnection>(event_loop_->GetTaskScheduler(), fd, mode_, &max_queued_bytes);
    }

private:
    EchoConnection::Mode mode_;
};

class TcpServerTest : public ::testing::Test {
protected:
    void StartServer(uint32_t threads = 1, EchoConnection::Mode mode = EchoConnection::Mode::Echo) {
        loop_ = std::make_unique<mnet::EventLoop>(threads);
        server_ = std::make_unique<EchoServer>(loop_.get(), mode);
        port_ = net_test::FreePort();
        ASSERT_TRUE(server_->Start("127.0.0.1", port_));
    }
    void TearDown() override {
        server_.reset();
        loop_.reset();
    }
    bool MapEmpties() {
        return WaitFor([this] { return server_->ConnectionCount() == 0; });
    }

    std::unique_ptr<mnet::EventLoop> loop_;
    std::unique_ptr<EchoServer> server_;
    uint16_t port_ = 0;
};

TEST_F(TcpServerTest, EchoesToSeveralClients) {
    StartServer();
    std::vector<int> clients;
    for (int i = 0; i < 5; ++i) {
        int fd = ConnectClient(port_);
        ASSERT_GE(fd, 0);
        clients.push_back(fd);
    }
    for (int i = 0; i < 5; ++i) {
        std::string text = "hello " + std::to_string(i);
        ASSERT_TRUE(net_test::SendAll(clients[i], text.data(), text.size()));
        std::string reply(text.size(), '\0');
        ASSERT_TRUE(net_test::RecvAll(clients[i], &reply[0], reply.size()));
        EXPECT_EQ(reply, text);
    }
    EXPECT_EQ(server_->ConnectionCount(), 5u);
    for (int fd : clients) ::close(fd);
    EXPECT_TRUE(MapEmpties());
}

TEST_F(TcpServerTest, StartOnABusyPortFails) {
    int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    uint16_t port = net_test::FreePort();
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    mnet::EventLoop loop(1);
    EchoServer server(&loop);
    EXPECT_FALSE(server.Start("127.0.0.1", port));
    EXPECT_FALSE(server.Start("not an address", net_test::FreePort()));
    ::close(holder);
}

TEST_F(TcpServerTest, PeerThatClosesAtOnceIsRemovedAndStopReturns) {
    StartServer();
    int fd = ConnectClient(port_);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ASSERT_TRUE(WaitFor([this] { return server_->accepted.load() == 1; }));
    EXPECT_TRUE(MapEmpties());
    server_->Stop();
    EXPECT_EQ(ConnectClient(port_, 500), -1);  // no longer listening
}

TEST_F(TcpServerTest, StopClosesOpenConnections) {
    StartServer(3);
    std::vector<int> clients;
    for (int i = 0; i < 6; ++i) clients.push_back(ConnectClient(port_));
    ASSERT_TRUE(WaitFor([this] { return server_->ConnectionCount() == 6; }));
    server_->Stop();
    EXPECT_EQ(server_->ConnectionCount(), 0u);
    for (int fd : clients) {
        char byte;
        EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);  // orderly end from the server
        ::close(fd);
    }
    // A stopped server starts again.
    ASSERT_TRUE(server_->Start("127.0.0.1", port_));
    int fd = ConnectClient(port_);
    ASSERT_TRUE(net_test::SendAll(fd, "x", 1));
    char byte;
    EXPECT_EQ(::recv(fd, &byte, 1, 0), 1);
    ::close(fd);
}

// A close asked for from another thread while the scheduler's queue is full is retried by timer, not lost.
TEST_F(TcpServerTest, DisconnectWithAFullTriggerQueueIsNotLost) {
    StartServer();
    int fd = ConnectClient(port_);
    ASSERT_TRUE(WaitFor([this] { return server_->ConnectionCount() == 1; }));
    auto conn = server_->Connections().front();
    net_test::Latch started;
    net_test::Latch release;
    auto scheduler = conn->GetTaskScheduler();
    ASSERT_TRUE(scheduler->AddTriggerEvent([&] {
        started.Open();
        release.Wait();
    }));
    ASSERT_TRUE(started.Wait());
    while (scheduler->AddTriggerEvent([] {})) {
    }
    conn->Disconnect();
    conn.reset();
    release.Open();
    EXPECT_TRUE(MapEmpties());
    char byte;
    EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);
    ::close(fd);
}

// A peer that keeps sending to a server that takes nothing is cut off at the receive limit.
TEST_F(TcpServerTest, PeerExceedingTheReceiveLimitIsDisconnected) {
    StartServer(1, EchoConnection::Mode::Hoard);
    int fd = ConnectClient(port_);
    ASSERT_GE(fd, 0);
    std::vector<char> block(64 * 1024, 'z');
    size_t sent = 0;
    while (sent < 2u * mnet::BufferReader::kMaxUnreadBytes) {
        ssize_t n = ::send(fd, block.data(), block.size(), MSG_NOSIGNAL);
        if (n <= 0) break;  // reset by the server
        sent += static_cast<size_t>(n);
    }
    EXPECT_GE(sent, static_cast<size_t>(mnet::BufferReader::kMaxUnreadBytes));
    EXPECT_TRUE(MapEmpties());
    ::close(fd);
    // The server goes on serving.
    int again = ConnectClient(port_);
    EXPECT_GE(again, 0);
    ::close(again);
}

// A peer that sends without reading fills the server's send queue; the queue stays within its limits and
// the server keeps running.
TEST_F(TcpServerTest, PeerThatNeverReadsCannotGrowTheSendQueue) {
    StartServer();
    int fd = ConnectClient(port_);
    ASSERT_GE(fd, 0);
    int small = 16 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    std::vector<char> block(60 * 1024, 'q');
    size_t sent = 0;
    while (sent < 64u * 1024 * 1024) {
        ssize_t n = ::send(fd, block.data(), block.size(), MSG_NOSIGNAL);
        if (n <= 0) break;  // the server stopped reading: its kernel buffers are full too
        sent += static_cast<size_t>(n);
    }
    EXPECT_GT(server_->max_queued_bytes.load(), 0u);
    EXPECT_LE(server_->max_queued_bytes.load(), mnet::BufferWriter::kMaxQueuedBytes);
    int other = ConnectClient(port_);
    ASSERT_TRUE(net_test::SendAll(other, "ok", 2));
    char reply[2];
    EXPECT_TRUE(net_test::RecvAll(other, reply, 2));
    ::close(other);
    net_test::AbortClose(fd);
    EXPECT_TRUE(MapEmpties());
}

// The server is mid-send when its peer resets: no SIGPIPE (the default action would end this process), the
// connection is closed and removed.
TEST_F(TcpServerTest, PeerVanishingMidSendRaisesNoSigpipe) {
    StartServer(1, EchoConnection::Mode::Flood);
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    struct sigaction old_action;
    ASSERT_EQ(::sigaction(SIGPIPE, &dfl, &old_action), 0);  // the scheduler set it to ignore
    for (int round = 0; round < 5; ++round) {
        int fd = ConnectClient(port_);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(net_test::SendAll(fd, "go", 2));
        char buf[4096];
        ASSERT_GT(::recv(fd, buf, sizeof(buf), 0), 0);  // the flood has started
        net_test::AbortClose(fd);
    }
    EXPECT_TRUE(MapEmpties());
    ::sigaction(SIGPIPE, &old_action, nullptr);
}

// Many clients connect, talk and leave, some with a reset, some mid-reply. Afterwards no connection is left
// in the map and no descriptor is left open.
class ConnectionStorm : public TcpServerTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(ConnectionStorm, LeavesNoConnectionAndNoDescriptorBehind) {
    int fds_before = net_test::CountOpenFds();
    StartServer(GetParam());
    constexpr int kClients = 500;
    constexpr int kThreads = 10;
    std::atomic<int> echoed{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(1234 + t);
            for (int i = 0; i < kClients / kThreads; ++i) {
                int fd = ConnectClient(port_);
                if (fd < 0) {
                    ++failures;
                    continue;
                }
                int action = static_cast<int>(rng() % 4);
                std::string text(1 + rng() % 3000, static_cast<char>('a' + t));
                if (action != 0 && net_test::SendAll(fd, text.data(), text.size())) {
                    if (action >= 2) {
                        std::string reply(text.size(), '\0');
                        if (net_test::RecvAll(fd, &reply[0], reply.size()) && reply == text) ++echoed;
                        else ++failures;
                    }
                }
                if (action == 3) net_test::AbortClose(fd);
                else ::close(fd);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(echoed.load(), 0);
    EXPECT_TRUE(WaitFor([&] { return server_->accepted.load() == kClients; }));
    EXPECT_TRUE(MapEmpties());
    server_.reset();
    loop_.reset();
    EXPECT_EQ(net_test::CountOpenFds(), fds_before);
}

// Many connections open at once on one scheduler thread, all served.
TEST_P(ConnectionStorm, ManySimultaneousConnections) {
    StartServer(GetParam());
    constexpr int kOpen = 300;
    std::vector<int> clients;
    for (int i = 0; i < kOpen; ++i) {
        int fd = ConnectClient(port_);
        ASSERT_GE(fd, 0);
        clients.push_back(fd);
    }
    for (int fd : clients) ASSERT_TRUE(net_test::SendAll(fd, "ping", 4));
    for (int fd : clients) {
        char reply[4];
        ASSERT_TRUE(net_test::RecvAll(fd, reply, 4));
        EXPECT_EQ(std::string(reply, 4), "ping");
    }
    EXPECT_EQ(server_->ConnectionCount(), static_cast<size_t>(kOpen));
    for (int fd : clients) ::close(fd);
    EXPECT_TRUE(MapEmpties());
}

INSTANTIATE_TEST_SUITE_P(Threads, ConnectionStorm, ::testing::Values(1u, 3u));

}  // namespace
