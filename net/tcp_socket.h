// An IPv4 TCP socket descriptor; 0 or less means none.
#pragma once

#include <cstdint>
#include <string>

namespace mnet {

class TcpSocket {
public:
    TcpSocket() = default;
    explicit TcpSocket(int sockfd) : sockfd_(sockfd) {}
    virtual ~TcpSocket() = default;

    // Close-on-exec from birth.
    int Create();
    bool Bind(const std::string& ip, uint16_t port);
    bool Listen(int backlog);
    // A non-blocking, close-on-exec connected descriptor, or -1 (errno tells why).
    int Accept();
    bool Connect(const std::string& ip, uint16_t port, int timeout_ms = 0);
    void Close();
    void ShutdownWrite();
    int GetSocket() const { return sockfd_; }

private:
    int sockfd_ = -1;
};

}  // namespace mnet
