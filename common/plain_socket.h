// Plain blocking IPv4 socket helpers, a TCP client and a UDP endpoint, with no threads of their own. Only the
// local keep-alive thread uses them.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

// Longest host text a helper keeps (dotted IPv4 fits easily).
constexpr size_t kPlainHostChars = 27;

struct PlainTcp {
    char host[kPlainHostChars + 1] = {};
    int port = 0;
    int sock = -1;
    uint8_t connected = 0;
};

void plain_tcp_init(PlainTcp* tcp);
// Closes an open socket first; 1 connected (host and port stored), 0 failed.
int plain_tcp_connect(PlainTcp* tcp, const char* host, int port);
int plain_tcp_reconnect(PlainTcp* tcp);
void plain_tcp_close(PlainTcp* tcp);
// The send/recv result, or 0 while not connected.
int plain_tcp_send(PlainTcp* tcp, const void* bytes, size_t count);
int plain_tcp_receive(PlainTcp* tcp, void* buffer, size_t count);
// Reads until count bytes have come, waiting up to `seconds` for each piece; stops at end of stream, an
// error or a wait that expires. Returns the bytes read.
int plain_tcp_receive_wait(PlainTcp* tcp, void* buffer, size_t count, int seconds);

struct PlainUdp {
    char host[kPlainHostChars + 1] = {};
    int remote_port = 0;
    int local_port = 0;
    uint8_t open = 0;
    int sock = -1;
    sockaddr_in remote{};
    sockaddr_in local{};
};

void plain_udp_init(PlainUdp* udp, const char* host, int remote_port, int local_port);
// A datagram socket bound to the local port on all addresses, sending to host:remote port. 1 or 0.
int plain_udp_open(PlainUdp* udp);
// The same with a 5 s receive time-out; binds only when a local port is given.
int plain_udp_open(PlainUdp* udp, const char* host, int remote_port, int local_port);
// The sendto/recvfrom result (a receive updates the remote address), or 0 while not open.
int plain_udp_send(PlainUdp* udp, const void* bytes, size_t count);
int plain_udp_receive(PlainUdp* udp, void* buffer, size_t count);
void plain_udp_close(PlainUdp* udp);
