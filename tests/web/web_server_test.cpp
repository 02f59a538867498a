// The web server in this process, spoken to over raw sockets: its life cycle (a second server on the same
// ports after Stop, a busy port, Stop from another thread) and Broadcast from several threads while
// clients come and go.
#include "web_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fixed_path.h"

namespace {

// A loopback port nobody listens on right now (the kernel's pick, released again).
int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t length = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    close(fd);
    return ntohs(addr.sin_port);
}

class Socket {
public:
    explicit Socket(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        timeval timeout{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~Socket() { Close(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool connected() const { return connected_; }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    bool Send(const std::string& bytes) {
        return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Reads exactly n bytes; false on time-out or close.
    bool Read(size_t n, std::string* out) {
        out->clear();
        while (out->size() < n) {
            char buf[4096];
            const ssize_t got = recv(fd_, buf, std::min(sizeof(buf), n - out->size()), 0);
            if (got <= 0) return false;
            out->append(buf, static_cast<size_t>(got));
        }
        return true;
    }
    std::string ReadAll() {
        std::string all;
        char buf[4096];
        ssize_t got;
        while ((got = recv(fd_, buf, sizeof(buf), 0)) > 0) all.append(buf, static_cast<size_t>(got));
        return all;
    }
    std::string ReadHead() {
        std::string head;
        char c;
        while (head.find("\r\n\r\n") == std::string::npos && recv(fd_, &c, 1, 0) == 1) head += c;
        return head;
    }

private:
    int fd_;
    bool connected_ = false;
};

std::string http_get(int port, const std::string& target) {
    Socket s(port);
    if (!s.connected()) return std::string();
    s.Send("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    return s.ReadAll();
}

// A WebSocket client reduced to what the tests need: the handshake, masked text frames out and
// unfragmented text frames in.
class WsClient {
public:
    explicit WsClient(int port) : socket_(port) {
        socket_.Send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                     "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        open_ = socket_.ReadHead().rfind("HTTP/1.1 101", 0) == 0;
    }
    bool open() const { return open_; }
    void Kill() { socket_.Close(); }

    bool SendText(const std::string& text) {
        std::string frame = "\x81";
        frame += static_cast<char>(0x80 | text.size());  // short texts only; mask key 0 keeps the bytes
        frame.append(4, '\0');
        return socket_.Send(frame + text);
    }
    bool ReadText(std::string* text) {
        std::string head;
        if (!socket_.Read(2, &head)) return false;
        size_t length = static_cast<uint8_t>(head[1]) & 0x7F;
        std::string extended;
        if (length == 126) {
            if (!socket_.Read(2, &extended)) return false;
            length = static_cast<uint8_t>(extended[0]) << 8 | static_cast<uint8_t>(extended[1]);
        }
        return (static_cast<uint8_t>(head[0]) & 0x0F) == 0x1 && socket_.Read(length, text);
    }

private:
    Socket socket_;
    bool open_ = false;
};

class WebServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/web-server-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        std::filesystem::create_directories(root_ + "/usr/bin/html");
        std::ofstream(root_ + "/usr/bin/html/index.html") << "INDEX";
        set_fixed_path_root(root_);
        http_port_ = free_port();
        ws_port_ = free_port();
    }
    void TearDown() override {
        set_fixed_path_root("");
        std::filesystem::remove_all(root_);
    }

    std::string root_;
    int http_port_ = 0;
    int ws_port_ = 0;
};

TEST_F(WebServerTest, RestartsOnTheSamePortsAndStopsFromAnotherThread) {
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        auto server = std::make_unique<WebServer>();
        ASSERT_EQ(server->Init(http_port_, ws_port_), 1);
        server->Start();
        ASSERT_TRUE(server->IsRunning());
        server->Start();  // a second start changes nothing
        EXPECT_NE(http_get(http_port_, "/").find("INDEX"), std::string::npos);
        WsClient client(ws_port_);
        ASSERT_TRUE(client.open());
        ASSERT_TRUE(client.SendText("PING"));
        std::string reply;
        ASSERT_TRUE(client.ReadText(&reply));
        EXPECT_EQ(reply, "ok");
        std::thread stopper([&] { server->Stop(); });
        stopper.join();
        EXPECT_FALSE(server->IsRunning());
        EXPECT_EQ(http_get(http_port_, "/"), "");
        server->Broadcast("after stop");  // nothing to send to, nothing breaks
    }
}

TEST_F(WebServerTest, BusyPortFailsInitAndStartDoesNothing) {
    WebServer first;
    ASSERT_EQ(first.Init(http_port_, ws_port_), 1);
    first.Start();
    WebServer second;
    EXPECT_EQ(second.Init(http_port_, free_port()), 0);
    second.Start();
    EXPECT_FALSE(second.IsRunning());
    EXPECT_NE(http_get(http_port_, "/").find("INDEX"), std::string::npos);
    first.Stop();
}

TEST_F(WebServerTest, BroadcastFromSeveralThreadsReachesEveryOpenClient) {
    WebServer server;
    ASSERT_EQ(server.Init(http_port_, ws_port_), 1);
    server.Start();
    std::vector<std::unique_ptr<WsClient>> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(std::make_unique<WsClient>(ws_port_));
        ASSERT_TRUE(clients.back()->open());
    }
    // Each client answers a ping once the server has it in its set.
    for (auto& c : clients) {
        ASSERT_TRUE(c->SendText("ping"));
        std::string reply;
        ASSERT_TRUE(c->ReadText(&reply));
    }
    clients[1]->Kill();

    constexpr int kThreads = 3;
    constexpr int kPerThread = 40;
    std::vector<std::thread> pushers;
    for (int t = 0; t < kThreads; ++t) {
        pushers.emplace_back([&server, t] {
            for (int i = 0; i < kPerThread; ++i) {
                server.Broadcast("push " + std::to_string(t) + ":" + std::to_string(i));
            }
        });
    }
    // Clients keep coming and going meanwhile.
    std::thread churn([this] {
        for (int i = 0; i < 10; ++i) WsClient passing(ws_port_);
    });
    for (auto& p : pushers) p.join();
    churn.join();

    for (int index : {0, 2}) {
        SCOPED_TRACE(index);
        std::vector<int> next(kThreads, 0);
        for (int n = 0; n < kThreads * kPerThread; ++n) {
            std::string text;
            ASSERT_TRUE(clients[index]->ReadText(&text)) << "after " << n << " pushes";
            int t = 0;
            int i = 0;
            ASSERT_EQ(sscanf(text.c_str(), "push %d:%d", &t, &i), 2) << text;
            ASSERT_TRUE(t >= 0 && t < kThreads);
            EXPECT_EQ(i, next[t]) << "pushes of one thread arrive in order, none lost";
            next[t] = i + 1;
        }
    }
    server.Stop();
}

}  // namespace
