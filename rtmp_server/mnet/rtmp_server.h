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
#include "rtmp_session.h"
#include "tcp_server.h"

namespace mnet {

class RtmpServer : public TcpServer, public Rtmp, public std::enable_shared_from_this<RtmpServer> {
public:
    using EventCallback = std::function<void(std::string type, std::string stream_path)>;

    static constexpr uint32_t kSessionSweepMs = 30000;

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

    EventLoop* GetEventLoop() const { return event_loop_; }

private:
    explicit RtmpServer(EventLoop* event_loop);
    TcpConnection::Ptr OnConnect(int sockfd) override;

    std::mutex sessions_mutex_;  // the sessions and the callbacks
    std::unordered_map<std::string, RtmpSession::Ptr> rtmp_sessions_;
    std::vector<EventCallback> event_callbacks_;
    TimerId sweep_timer_ = 0;
};

}  // namespace mnet
