#include "acceptor.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "event_loop.h"
#include "logger.h"
#include "socket_util.h"

namespace mnet {

Acceptor::Acceptor(EventLoop* event_loop) : event_loop_(event_loop), tcp_socket_(new TcpSocket) {
    spare_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

Acceptor::~Acceptor() {
    Close();
    if (spare_fd_ >= 0) ::close(spare_fd_);
}

int Acceptor::Listen(const std::string& ip, uint16_t port) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (tcp_socket_->GetSocket() > 0) {
        if (channel_ptr_) event_loop_->RemoveChannel(channel_ptr_);
        tcp_socket_->Close();
    }
    int fd = tcp_socket_->Create();
    if (fd < 0) {
        Logger::Instance().Log2(LogError, "listen %s:%u: socket failed: %s", ip.c_str(), port, strerror(errno));
        return -1;
    }
    channel_ptr_ = std::make_shared<Channel>(fd);
    SocketUtil::SetReuseAddr(fd);
    SocketUtil::SetReusePort(fd);
    SocketUtil::SetNonBlock(fd);
    if (!tcp_socket_->Bind(ip, port) || !tcp_socket_->Listen(kListenBacklog)) {
        Logger::Instance().Log2(LogError, "listen %s:%u failed: %s", ip.c_str(), port, strerror(errno));
        tcp_socket_->Close();  // nothing is left listening
        channel_ptr_.reset();
        return -1;
    }
    channel_ptr_->SetReadCallback([this]() { OnAccept(); });
    channel_ptr_->EnableReading();
    event_loop_->UpdateChannel(channel_ptr_);
    return 0;
}

bool Acceptor::IsListening() {
    std::lock_guard<std::mutex> lock(mutex_);
    int fd = tcp_socket_->GetSocket();
    if (fd <= 0) return false;
    int listening = 0;
    socklen_t len = sizeof(listening);
    return ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening != 0;
}

void Acceptor::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (tcp_socket_->GetSocket() > 0) {
        if (channel_ptr_) event_loop_->RemoveChannel(channel_ptr_);
        tcp_socket_->Close();
    }
}

void Acceptor::OnAccept() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (tcp_socket_->GetSocket() <= 0) return;
    int fd = tcp_socket_->Accept();
    if (fd > 0) {
        if (new_connection_callback_) {
            new_connection_callback_(fd);
        } else {
            SocketUtil::Close(fd);
        }
        return;
    }
    if ((errno == EMFILE || errno == ENFILE) && spare_fd_ >= 0) {
        ::close(spare_fd_);
        int dropped = ::accept(tcp_socket_->GetSocket(), nullptr, nullptr);
        if (dropped >= 0) ::close(dropped);
        spare_fd_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        Logger::Instance().Log2(LogWarning, "out of descriptors: refused a new connection");
    }
}

}  // namespace mnet
