// The RTMP relay server: accepts connections, keeps one session per stream path, sweeps sessions nobody uses
// and reports publish and play events.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "event_loop.h"
#include "rtmp.h"
#include "rtmp_connection.h"
#include "rtmp_session.h"
#include "tcp_server.h"

namespace mnet {

class RtmpServer : public TcpServer, public Rtmp, public std::enable_shared_from_this<RtmpServer> {
public:
    using EventCallback = std::function<void(std::string type, std::string stream_path)>;

    static constexpr uint32_t kSessionSweepMs = 30000;
    // Connections open at once; past it a new one is closed at accept with a log line. With the bounds of
    // each connection (partial messages, send queue) it caps what peers can make the server hold.
    static constexpr size_t kMaxConnections = 128;
    // How often the connections' time-outs are checked.
    static constexpr uint32_t kTimeoutCheckMs = 500;

    // sweep_interval_ms: how often sessions without a live sink are erased.
    static std::shared_ptr<RtmpServer> Create(EventLoop* event_loop, uint32_t sweep_interval_ms = kSessionSweepMs);
    ~RtmpServer() override;

    // The listening port (the address parts of the RTMP base are a client's).
    using TcpServer::GetPort;

    void SetEventCallback(const EventCallback& event_cb);
    // Runs the callbacks under the server's mutex: a callback must not call back into the server.
    void NotifyEvent(std::string type, std::string stream_path);

    void AddSession(std::string stream_path);
    void RemoveSession(std::string stream_path);
    // Never empty: a path without a session gets a new, empty one.
    RtmpSession::Ptr GetSession(std::string stream_path);
    bool HasSession(std::string stream_path);
    bool HasPublisher(std::string stream_path);
    size_t SessionCount();

    // Erases the sessions with no live sink; the sweep timer calls it.
    void SweepSessions();

    // The product keeps the defaults; tests shorten them.
    void SetTimeouts(const RtmpConnection::Timeouts& timeouts);
    void SetMaxConnections(size_t max_connections);
    // Closes every connection past one of its time-outs, with a log line; the check timer calls it.
    void CheckTimeouts();

    EventLoop* GetEventLoop() const { return event_loop_; }

private:
    explicit RtmpServer(EventLoop* event_loop);
    TcpConnection::Ptr OnConnect(int sockfd) override;

    std::mutex sessions_mutex_;  // the sessions and the callbacks
    std::unordered_map<std::string, RtmpSession::Ptr> rtmp_sessions_;
    std::vector<EventCallback> event_callbacks_;
    TimerId sweep_timer_ = 0;
    TimerId timeout_timer_ = 0;
    std::mutex limits_mutex_;
    RtmpConnection::Timeouts timeouts_;
    size_t max_connections_ = kMaxConnections;
};

}  // namespace mnet
