// Thin helpers on IPv4 socket descriptors.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace mnet {

class SocketUtil {
public:
    static bool Bind(int sockfd, const std::string& ip, uint16_t port);
    static void SetNonBlock(int fd);
    // Blocking again; with write_timeout_ms > 0 a send gives up after that long.
    static void SetBlock(int fd, int write_timeout_ms);
    static void SetCloseOnExec(int fd);
    static void SetReuseAddr(int fd);
    static void SetReusePort(int sockfd);
    static void SetKeepAlive(int sockfd);
    static void SetSendBufSize(int sockfd, int size);
    static void SetRecvBufSize(int sockfd, int size);
    // "0.0.0.0" / 0 when the peer cannot be read.
    static std::string GetPeerIp(int sockfd);
    static uint16_t GetPeerPort(int sockfd);
    // "127.0.0.1" when the local name cannot be read.
    static std::string GetSocketIp(int sockfd);
    static int GetSocketAddr(int sockfd, struct sockaddr_in* addr);
    static int GetPeerAddr(int sockfd, struct sockaddr_in* addr);
    static void Close(int sockfd);
    // With msec > 0 the connect waits at most that long and the descriptor is left non-blocking.
    static bool Connect(int sockfd, const std::string& ip, uint16_t port, int timeout_ms = 0);
};

}  // namespace mnet
