// What a remote server sends to our outgoing RTMP connection (publisher or player role), through the real
// connection on a socket pair whose scheduler is driven by hand: the harness answers the client handshake
// with a valid S0 S1 S2, then feeds the input as the server's chunk stream, split anywhere. Byte 0 picks the
// role, byte 1 the size of the pieces. What the connection sends is read and dropped.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <cstdint>
#include <memory>
#include <string>

#include "epoll_task_scheduler.h"
#include "rtmp_client.h"
#include "rtmp_connection.h"
#include "rtmp_handshake.h"
#include "rtmp_publisher.h"

namespace {

void Drain(int fd) {
    char buf[8192];
    while (::recv(fd, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
}

void Pump(mnet::EpollTaskScheduler& scheduler) {
    for (int round = 0; round < 4; ++round) scheduler.HandleEvent(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto scheduler = std::make_shared<mnet::EpollTaskScheduler>(1);
    // The owners live for the whole run and are never destroyed at exit: the run ends with libFuzzer's exit,
    // while connections of the last input may still refer to them.
    static auto& publisher = *new std::shared_ptr<mnet::RtmpPublisher>([] {
        auto p = mnet::RtmpPublisher::Create(nullptr);
        p->ParseRtmpUrl("rtmp://127.0.0.1:1935/live/x");
        return p;
    }());
    static auto& client = *new std::shared_ptr<mnet::RtmpClient>([] {
        auto c = mnet::RtmpClient::Create(nullptr);
        c->ParseRtmpUrl("rtmp://127.0.0.1:1935/live/x");
        return c;
    }());
    if (size < 2 || size > 64 * 1024) return 0;

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    std::shared_ptr<mnet::RtmpConnection> conn;
    if (data[0] & 1) {
        conn = std::make_shared<mnet::RtmpConnection>(publisher, scheduler, fds[0]);
    } else {
        conn = std::make_shared<mnet::RtmpConnection>(client, scheduler, fds[0]);
        conn->SetPlayCallback([](uint8_t* payload, uint32_t length, uint8_t, uint32_t) {
            volatile uint8_t sum = 0;
            for (uint32_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + payload[i]);
        });
    }
    conn->SendHandshake();
    Drain(fds[1]);
    std::string s0s1s2(1, '\x03');
    s0s1s2.append(2 * mnet::RtmpHandshake::kPacketSize, '\x11');
    if (::send(fds[1], s0s1s2.data(), s0s1s2.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) Pump(*scheduler);
    Drain(fds[1]);

    size_t piece = (data[1] % 128) + 1;
    for (size_t off = 2; off < size && !conn->IsClosed(); off += piece) {
        size_t n = off + piece <= size ? piece : size - off;
        if (::send(fds[1], data + off, n, MSG_DONTWAIT | MSG_NOSIGNAL) <= 0) break;
        Pump(*scheduler);
        Drain(fds[1]);
    }
    // Publisher role: media queued while publishing leaves on the connection's thread.
    uint8_t frame[] = {0x17, 0x01, 0, 0, 0, 0, 0, 0, 2, 0x65, 0x88};
    std::shared_ptr<char> tag(new char[sizeof(frame)], std::default_delete<char[]>());
    memcpy(tag.get(), frame, sizeof(frame));
    conn->SendVideoData(40, tag, sizeof(frame));
    Pump(*scheduler);
    Drain(fds[1]);
    conn.reset();
    ::close(fds[1]);
    return 0;
}
