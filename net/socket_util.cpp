#include "socket_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace mnet {

namespace {

void SetIntOption(int fd, int level, int name, int value) {
    (void)::setsockopt(fd, level, name, &value, sizeof(value));
}

bool MakeAddress(const std::string& ip, uint16_t port, struct sockaddr_in* addr) {
    memset(addr, 0, sizeof(*addr));
    addr->sin_family = AF_INET;
    addr->sin_port = htons(port);
    return ::inet_pton(AF_INET, ip.c_str(), &addr->sin_addr) == 1;
}

}  // namespace

bool SocketUtil::Bind(int sockfd, const std::string& ip, uint16_t port) {
    struct sockaddr_in addr;
    if (!MakeAddress(ip, port, &addr)) return false;
    return ::bind(sockfd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != -1;
}

void SocketUtil::SetNonBlock(int fd) {
    int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void SocketUtil::SetBlock(int fd, int write_timeout_ms) {
    int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (write_timeout_ms > 0) {
        struct timeval tv = {write_timeout_ms / 1000, (write_timeout_ms % 1000) * 1000};
        (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    }
}

void SocketUtil::SetCloseOnExec(int fd) {
    int flags = ::fcntl(fd, F_GETFD, 0);
    if (flags >= 0) (void)::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

void SocketUtil::SetReuseAddr(int fd) { SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1); }
void SocketUtil::SetReusePort(int sockfd) { SetIntOption(sockfd, SOL_SOCKET, SO_REUSEPORT, 1); }
void SocketUtil::SetKeepAlive(int sockfd) { SetIntOption(sockfd, SOL_SOCKET, SO_KEEPALIVE, 1); }
void SocketUtil::SetSendBufSize(int sockfd, int size) { SetIntOption(sockfd, SOL_SOCKET, SO_SNDBUF, size); }
void SocketUtil::SetRecvBufSize(int sockfd, int size) { SetIntOption(sockfd, SOL_SOCKET, SO_RCVBUF, size); }

std::string SocketUtil::GetPeerIp(int sockfd) {
    struct sockaddr_in addr;
    if (GetPeerAddr(sockfd, &addr) != 0) return "0.0.0.0";
    char text[INET_ADDRSTRLEN] = {0};
    if (::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof(text)) == nullptr) return "0.0.0.0";
    return text;
}

uint16_t SocketUtil::GetPeerPort(int sockfd) {
    struct sockaddr_in addr;
    if (GetPeerAddr(sockfd, &addr) != 0) return 0;
    return ntohs(addr.sin_port);
}

std::string SocketUtil::GetSocketIp(int sockfd) {
    struct sockaddr_in addr;
    if (GetSocketAddr(sockfd, &addr) != 0) return "127.0.0.1";
    char text[INET_ADDRSTRLEN] = {0};
    if (::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof(text)) == nullptr) return "127.0.0.1";
    return text;
}

int SocketUtil::GetSocketAddr(int sockfd, struct sockaddr_in* addr) {
    socklen_t len = sizeof(*addr);
    memset(addr, 0, sizeof(*addr));
    return ::getsockname(sockfd, reinterpret_cast<struct sockaddr*>(addr), &len);
}

int SocketUtil::GetPeerAddr(int sockfd, struct sockaddr_in* addr) {
    socklen_t len = sizeof(*addr);
    memset(addr, 0, sizeof(*addr));
    return ::getpeername(sockfd, reinterpret_cast<struct sockaddr*>(addr), &len);
}

void SocketUtil::Close(int sockfd) {
    if (sockfd > 0) ::close(sockfd);
}

bool SocketUtil::Connect(int sockfd, const std::string& ip, uint16_t port, int timeout_ms) {
    struct sockaddr_in addr;
    if (!MakeAddress(ip, port, &addr)) return false;
    if (timeout_ms > 0) SetNonBlock(sockfd);
    if (::connect(sockfd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0) return true;
    if (timeout_ms <= 0 || errno != EINPROGRESS) {
        if (timeout_ms > 0) SetBlock(sockfd, 0);
        return false;
    }
    // poll rather than select: select cannot watch a descriptor numbered FD_SETSIZE or above.
    struct pollfd pfd = {sockfd, POLLOUT, 0};
    bool connected = false;
    if (::poll(&pfd, 1, timeout_ms) == 1 && (pfd.revents & POLLOUT)) {
        int error = 0;
        socklen_t len = sizeof(error);
        connected = ::getsockopt(sockfd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
    }
    SetBlock(sockfd, 0);
    return connected;
}

}  // namespace mnet
