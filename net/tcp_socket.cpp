#include "tcp_socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include "socket_util.h"

namespace mnet {

int TcpSocket::Create() {
    sockfd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return sockfd_;
}

bool TcpSocket::Bind(const std::string& ip, uint16_t port) {
    return SocketUtil::Bind(sockfd_, ip, port);
}

bool TcpSocket::Listen(int backlog) {
    return ::listen(sockfd_, backlog) != -1;
}

int TcpSocket::Accept() {
    return ::accept4(sockfd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

bool TcpSocket::Connect(const std::string& ip, uint16_t port, int timeout_ms) {
    return SocketUtil::Connect(sockfd_, ip, port, timeout_ms);
}

void TcpSocket::Close() {
    if (sockfd_ > 0) ::close(sockfd_);
    sockfd_ = 0;
}

void TcpSocket::ShutdownWrite() {
    if (sockfd_ > 0) ::shutdown(sockfd_, SHUT_WR);
    sockfd_ = 0;
}

}  // namespace mnet
