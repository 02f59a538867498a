// The preview link client against real listeners on loopback (ephemeral ports).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pause.h"
#include "preview_link.h"
#include "tcp_client.h"

namespace {

// A listening socket on 127.0.0.1 with a kernel-chosen port.
class Listener {
public:
    explicit Listener(int port = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && listen(fd_, 4) == 0;
        socklen_t len = sizeof(addr);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }
    ~Listener() { close(fd_); }
    bool ok() const { return ok_; }
    int port() const { return port_; }
    int accept_one() { return accept(fd_, nullptr, nullptr); }

private:
    int fd_ = -1;
    int port_ = 0;
    bool ok_ = false;
};

// A port that refuses connections: bound once, then released.
int free_port() {
    Listener l;
    return l.port();
}

std::string read_exactly(int fd, size_t n) {
    std::string out;
    char buf[4096];
    while (out.size() < n) {
        const ssize_t got = recv(fd, buf, std::min(sizeof(buf), n - out.size()), 0);
        if (got <= 0) break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

template <typename Pred>
bool wait_for(Pred pred, int ms = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

TEST(TcpClient, ConnectRefusedAndEmptyHostFail) {
    TcpClient client;
    EXPECT_EQ(client.Connect("", 1), 0);
    EXPECT_EQ(client.Connect("not-an-address", 1), 0);
    EXPECT_EQ(client.Connect("127.0.0.1", free_port()), 0);
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(client.Send("x", 1), -1);
    EXPECT_EQ(client.SendRecord(reinterpret_cast<const uint8_t*>("x"), 1), -1);
}

TEST(TcpClient, PeerBytesReachTheCallbackAndPeerCloseEndsTheLink) {
    Listener listener;
    ASSERT_TRUE(listener.ok());
    TcpClient client;
    std::mutex m;
    std::string received;
    std::atomic<int> disconnects{0};
    client.SetDataCallback([&](TcpClient*, const uint8_t* bytes, size_t n) {
        std::lock_guard<std::mutex> lock(m);
        received.append(reinterpret_cast<const char*>(bytes), n);
    });
    client.SetDisconnectCallback([&](TcpClient*) { ++disconnects; });
    ASSERT_EQ(client.Connect("127.0.0.1", listener.port()), 1);
    EXPECT_EQ(client.Reconnect(), 1);
    const int peer = listener.accept_one();
    ASSERT_GE(peer, 0);
    const std::string hello(300, 'h');  // more than one 128-byte read
    ASSERT_EQ(send(peer, hello.data(), hello.size(), 0), static_cast<ssize_t>(hello.size()));
    EXPECT_TRUE(wait_for([&] {
        std::lock_guard<std::mutex> lock(m);
        return received.size() == hello.size();
    }));
    close(peer);
    EXPECT_TRUE(wait_for([&] { return disconnects.load() == 1 && !client.IsConnected(); }));
    EXPECT_EQ(client.Send("x", 1), -1);
    // A local close runs no disconnect callback.
    ASSERT_EQ(client.Connect("127.0.0.1", listener.port()), 1);
    const int peer2 = listener.accept_one();
    client.Close();
    EXPECT_EQ(disconnects.load(), 1);
    close(peer2);
}

struct RecordCase {
    size_t length;
    bool sent;
};

TEST(PreviewRecord, OnlyLengthsOneTo92159AreSentWholeWithLittleEndianPrefix) {
    Listener listener;
    ASSERT_TRUE(listener.ok());
    TcpClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", listener.port()), 1);
    const int peer = listener.accept_one();
    ASSERT_GE(peer, 0);
    const RecordCase cases[] = {{0, false}, {1, true}, {5000, true}, {92159, true}, {92160, false}};
    std::string expected;
    for (const RecordCase& c : cases) {
        std::vector<uint8_t> jpeg(c.length + 1);
        for (size_t i = 0; i < jpeg.size(); ++i) jpeg[i] = static_cast<uint8_t>(i * 7 + c.length);
        EXPECT_EQ(send_preview_record(client, jpeg.data(), c.length), c.sent ? 1 : 0) << c.length;
        if (!c.sent) continue;
        const uint32_t n = static_cast<uint32_t>(c.length);
        expected += std::string{static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff),
                                static_cast<char>((n >> 16) & 0xff), static_cast<char>(n >> 24)};
        expected.append(reinterpret_cast<const char*>(jpeg.data()), c.length);
    }
    const std::string got = read_exactly(peer, expected.size());
    ASSERT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected);
    // The 5000-byte record starts 88 13 00 00 (after the 1-byte record's 5 bytes).
    EXPECT_EQ(got.substr(5, 4), std::string("\x88\x13\x00\x00", 4));
    close(peer);
}

TEST(PreviewRecord, PeerVanishingMidRecordRaisesNoSigpipeAndEndsTheLink) {
    Listener listener;
    ASSERT_TRUE(listener.ok());
    TcpClient client;
    ASSERT_EQ(client.Connect("127.0.0.1", listener.port()), 1);
    const int peer = listener.accept_one();
    ASSERT_GE(peer, 0);
    // Far more than the socket buffers hold: the send is still in progress when the peer goes away.
    std::vector<uint8_t> big(32 * 1024 * 1024, 0x5a);
    std::thread reader([&] {
        read_exactly(peer, 100000);
        close(peer);
    });
    // SIGPIPE keeps its default action here: a send without MSG_NOSIGNAL would end the test process.
    EXPECT_EQ(client.SendRecord(big.data(), big.size()), 0);
    reader.join();
    EXPECT_TRUE(wait_for([&] { return !client.IsConnected(); }));
    EXPECT_EQ(client.SendRecord(big.data(), 10), -1);
}

std::atomic<int> g_retry_pauses{0};
void fast_pause(int64_t ms) {
    if (ms >= kPreviewRetryMs) ++g_retry_pauses;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

TEST(PreviewView, ConnectsOnceThePeerAppearsAndReconnectsAfterItLeaves) {
    set_pause_function(&fast_pause);
    const int port = free_port();
    TcpClient client;
    std::atomic<bool> running{true};
    std::thread view([&] { run_preview_view(PreviewLinkId::Ndi, client, port, running); });
    // Nobody listens yet: the view thread keeps retrying.
    EXPECT_TRUE(wait_for([] { return g_retry_pauses.load() >= 2; }));
    EXPECT_FALSE(client.IsConnected());
    {
        Listener listener(port);
        ASSERT_TRUE(listener.ok());
        const int peer = listener.accept_one();
        ASSERT_GE(peer, 0);
        EXPECT_TRUE(wait_for([&] { return client.IsConnected(); }));
        const uint8_t jpeg[3] = {0xff, 0xd8, 0xff};
        EXPECT_EQ(send_preview_record(client, jpeg, sizeof(jpeg)), 1);
        EXPECT_EQ(read_exactly(peer, 7), std::string("\x03\x00\x00\x00\xff\xd8\xff", 7));
        close(peer);
        EXPECT_TRUE(wait_for([&] { return !client.IsConnected(); }));
        // The companion comes back on the same port: the next retry connects again.
        const int again = listener.accept_one();
        ASSERT_GE(again, 0);
        EXPECT_TRUE(wait_for([&] { return client.IsConnected(); }));
        close(again);
    }
    running = false;
    view.join();
    client.Close();
    set_pause_function(nullptr);
}

}  // namespace
