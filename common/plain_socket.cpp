#include "plain_socket.h"

#include <arpa/inet.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// What one read of plain_tcp_receive_wait asks for at most.
constexpr size_t kReceivePiece = 1024;
constexpr int kUdpReceiveTimeoutSeconds = 5;

void copy_host(char* dst, const char* host) {
    std::snprintf(dst, kPlainHostChars + 1, "%s", host != nullptr ? host : "");
}

}  // namespace

void plain_tcp_init(PlainTcp* tcp) { *tcp = PlainTcp{}; }

int plain_tcp_connect(PlainTcp* tcp, const char* host, int port) {
    if (tcp->sock >= 0) {
        ::close(tcp->sock);
        tcp->sock = -1;
        tcp->connected = 0;
    }
    if (host == nullptr) return 0;
    const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = inet_addr(host);
    if (::connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(sock);
        return 0;
    }
    // The host may be the record's own text (a reconnect): copy through a temporary.
    char stored[kPlainHostChars + 1];
    copy_host(stored, host);
    std::memcpy(tcp->host, stored, sizeof(stored));
    tcp->port = port;
    tcp->sock = sock;
    tcp->connected = 1;
    return 1;
}

int plain_tcp_reconnect(PlainTcp* tcp) { return plain_tcp_connect(tcp, tcp->host, tcp->port); }

void plain_tcp_close(PlainTcp* tcp) {
    if (!tcp->connected) return;
    ::close(tcp->sock);
    tcp->sock = -1;
    tcp->connected = 0;
}

int plain_tcp_send(PlainTcp* tcp, const void* bytes, size_t count) {
    if (!tcp->connected) return 0;
    // A peer that went away must not end the process with SIGPIPE.
    return static_cast<int>(::send(tcp->sock, bytes, count, MSG_NOSIGNAL));
}

int plain_tcp_receive(PlainTcp* tcp, void* buffer, size_t count) {
    if (!tcp->connected) return 0;
    return static_cast<int>(::recv(tcp->sock, buffer, count, 0));
}

int plain_tcp_receive_wait(PlainTcp* tcp, void* buffer, size_t count, int seconds) {
    if (!tcp->connected || buffer == nullptr) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    size_t got = 0;
    while (got < count) {
        // select() cannot watch a descriptor beyond FD_SETSIZE.
        if (tcp->sock >= FD_SETSIZE) break;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(tcp->sock, &readable);
        timeval tv{seconds, 0};
        const int ready = ::select(tcp->sock + 1, &readable, nullptr, nullptr, &tv);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        const ssize_t n = ::recv(tcp->sock, out + got, std::min(count - got, kReceivePiece), 0);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<int>(got);
}

void plain_udp_init(PlainUdp* udp, const char* host, int remote_port, int local_port) {
    *udp = PlainUdp{};
    copy_host(udp->host, host);
    udp->remote_port = remote_port;
    udp->local_port = local_port;
}

namespace {

int open_udp(PlainUdp* udp, bool bind_local, bool receive_timeout) {
    plain_udp_close(udp);
    const int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return 0;
    if (receive_timeout) {
        timeval tv{kUdpReceiveTimeoutSeconds, 0};
        ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    udp->local = sockaddr_in{};
    udp->local.sin_family = AF_INET;
    udp->local.sin_port = htons(static_cast<uint16_t>(udp->local_port));
    udp->local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind_local) {
        if (::bind(sock, reinterpret_cast<sockaddr*>(&udp->local), sizeof(udp->local)) != 0) {
            // The message keeps the device's own words: a full-width comma in GBK, then errno.
            std::printf("bind local listening addr fail\xa3\xac" "errno \r\n");
            ::close(sock);
            return 0;
        }
        std::printf("bind local listening addr suceed\r\n");
    }
    udp->remote = sockaddr_in{};
    udp->remote.sin_family = AF_INET;
    udp->remote.sin_port = htons(static_cast<uint16_t>(udp->remote_port));
    udp->remote.sin_addr.s_addr = inet_addr(udp->host);
    udp->sock = sock;
    udp->open = 1;
    return 1;
}

}  // namespace

int plain_udp_open(PlainUdp* udp) { return open_udp(udp, true, false); }

int plain_udp_open(PlainUdp* udp, const char* host, int remote_port, int local_port) {
    char stored[kPlainHostChars + 1];
    copy_host(stored, host);
    std::memcpy(udp->host, stored, sizeof(stored));
    udp->remote_port = remote_port;
    udp->local_port = local_port;
    return open_udp(udp, local_port != 0, true);
}

int plain_udp_send(PlainUdp* udp, const void* bytes, size_t count) {
    if (!udp->open) return 0;
    return static_cast<int>(
        ::sendto(udp->sock, bytes, count, 0, reinterpret_cast<sockaddr*>(&udp->remote), sizeof(udp->remote)));
}

int plain_udp_receive(PlainUdp* udp, void* buffer, size_t count) {
    if (!udp->open) return 0;
    socklen_t len = sizeof(udp->remote);
    return static_cast<int>(::recvfrom(udp->sock, buffer, count, 0, reinterpret_cast<sockaddr*>(&udp->remote), &len));
}

void plain_udp_close(PlainUdp* udp) {
    if (udp->sock >= 0) ::close(udp->sock);
    udp->sock = -1;
    udp->open = 0;
}
