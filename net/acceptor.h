// The listening socket of a TCP server, watched on the event loop's first scheduler.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "channel.h"
#include "tcp_socket.h"

namespace mnet {

class EventLoop;

class Acceptor {
public:
    using NewConnectionCallback = std::function<void(int)>;
    static constexpr int kListenBacklog = 1024;

    explicit Acceptor(EventLoop* event_loop);
    virtual ~Acceptor();

    void SetNewConnectionCallback(const NewConnectionCallback& cb) { new_connection_callback_ = cb; }
    // 0 when listening, -1 when the address cannot be bound or listened on.
    int Listen(const std::string& ip, uint16_t port);
    void Close();
    // True while the socket is open and listening (the kernel says so, not only this object).
    bool IsListening();

private:
    void OnAccept();

    EventLoop* event_loop_;
    std::mutex mutex_;
    std::unique_ptr<TcpSocket> tcp_socket_;
    ChannelPtr channel_ptr_;
    NewConnectionCallback new_connection_callback_;
    // Held open so that a full descriptor table can still take (and drop) the waiting connection;
    // otherwise the listening socket stays readable and the loop spins.
    int spare_fd_ = -1;
};

}  // namespace mnet
