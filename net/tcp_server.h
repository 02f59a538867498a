// A listening TCP server on an event loop that owns its connections, keyed by descriptor. A protocol server
// derives from it and makes its own connection type in OnConnect. A derived class whose RemoveConnection
// or OnConnect override uses its own members calls Stop in its destructor.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "acceptor.h"
#include "event_loop.h"
#include "tcp_connection.h"

namespace mnet {

class TcpServer {
public:
    // How long Stop waits for the connections' own schedulers to remove them before closing the rest itself.
    static constexpr int kStopWaitMs = 3000;
    static constexpr int kStopPollMs = 10;

    explicit TcpServer(EventLoop* event_loop);
    virtual ~TcpServer();
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    virtual bool Start(std::string ip, uint16_t port);
    virtual void Stop();

    std::string GetIPAddress() const { return ip_; }
    uint16_t GetPort() const { return port_; }
    size_t ConnectionCount();
    // True while started and its socket is listening.
    bool IsListening();

protected:
    virtual TcpConnection::Ptr OnConnect(int sockfd);
    virtual void AddConnection(int sockfd, TcpConnection::Ptr tcp_conn);
    virtual void RemoveConnection(int sockfd);

    EventLoop* event_loop_;
    uint16_t port_ = 0;
    std::string ip_;
    std::unique_ptr<Acceptor> acceptor_;
    bool is_started_ = false;
    std::mutex mutex_;
    std::unordered_map<int, TcpConnection::Ptr> connections_;

private:
    // Lets removals that are still queued when the server goes find out that it has gone.
    struct Liveness {
        std::mutex mutex;
        TcpServer* server;
    };

    void OnNewConnection(int sockfd);
    static void RemoveLater(const std::shared_ptr<Liveness>& liveness, const TcpConnection::Ptr& conn);

    std::shared_ptr<Liveness> liveness_;
};

}  // namespace mnet
