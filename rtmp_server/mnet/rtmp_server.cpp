#include "rtmp_server.h"

#include "logger.h"
#include "rtmp_connection.h"
#include "socket_util.h"

namespace mnet {

std::shared_ptr<RtmpServer> RtmpServer::Create(EventLoop* event_loop, uint32_t sweep_interval_ms) {
    std::shared_ptr<RtmpServer> server(new RtmpServer(event_loop));
    std::weak_ptr<RtmpServer> weak_server = server;
    server->sweep_timer_ = event_loop->AddTimer([weak_server]() {
        if (auto alive = weak_server.lock()) alive->SweepSessions();
        return true;
    }, sweep_interval_ms);
    server->timeout_timer_ = event_loop->AddTimer([weak_server]() {
        if (auto alive = weak_server.lock()) alive->CheckTimeouts();
        return true;
    }, kTimeoutCheckMs);
    return server;
}

RtmpServer::RtmpServer(EventLoop* event_loop) : TcpServer(event_loop) {}

RtmpServer::~RtmpServer() {
    if (sweep_timer_ != 0) event_loop_->RemoveTimer(sweep_timer_);
    if (timeout_timer_ != 0) event_loop_->RemoveTimer(timeout_timer_);
    // OnConnect uses this object: stop accepting before the members go.
    Stop();
}

void RtmpServer::SetEventCallback(const EventCallback& event_cb) {
    std::lock_guard<std::mutex> lock(sessions_mutex_);
    event_callbacks_.push_back(event_cb);
}

void RtmpServer::NotifyEvent(std::string type, std::string stream_path) {
    std::lock_guard<std::mutex> lock(sessions_mutex_);
    for (auto& cb : event_callbacks_) {
        if (cb) cb(type, stream_path);
    }
}

void RtmpServer::AddSession(std::string stream_path) {
    std::lock_guard<std::mutex> lock(sessions_mutex_);
    auto& session = rtmp_sessions_[stream_path];
    if (!session) session = std::make_shared<RtmpSession>();
}

void RtmpServer::RemoveSession(std::string stream_path) {
    std::lock_guard<std::mutex> lock(sessions_mutex_);
    rtmp_sessions_.erase(stream_path);
}

RtmpSession::Ptr RtmpServer::GetSession(std::string stream_path) {
    std::lock_guard<std::mutex> lock(sessions_mutex_);
    auto& session = rtmp_sessions_[stream_path];
    if (!session) session = std::make_shared<RtmpSession>();
    return session;
}

bool RtmpServer::HasSession(std::string stream_path) {
    std::lock_guard<std::mutex> lock(sessions_mutex_);
    return rtmp_sessions_.count(stream_path) != 0;
}

bool RtmpServer::HasPublisher(std::string stream_path) {
    auto session = GetSession(stream_path);
    return session->GetPublisher() != nullptr;
}

size_t RtmpServer::SessionCount() {
    std::lock_guard<std::mutex> lock(sessions_mutex_);
    return rtmp_sessions_.size();
}

void RtmpServer::SweepSessions() {
    std::lock_guard<std::mutex> lock(sessions_mutex_);
    for (auto it = rtmp_sessions_.begin(); it != rtmp_sessions_.end();) {
        if (it->second->GetClients() == 0) {
            it = rtmp_sessions_.erase(it);
        } else {
            ++it;
        }
    }
}

void RtmpServer::SetTimeouts(const RtmpConnection::Timeouts& timeouts) {
    std::lock_guard<std::mutex> lock(limits_mutex_);
    timeouts_ = timeouts;
}

void RtmpServer::SetMaxConnections(size_t max_connections) {
    std::lock_guard<std::mutex> lock(limits_mutex_);
    max_connections_ = max_connections;
}

void RtmpServer::CheckTimeouts() {
    RtmpConnection::Timeouts limits;
    {
        std::lock_guard<std::mutex> lock(limits_mutex_);
        limits = timeouts_;
    }
    std::vector<std::shared_ptr<RtmpConnection>> connections;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connections.reserve(connections_.size());
        for (auto& entry : connections_) connections.push_back(std::static_pointer_cast<RtmpConnection>(entry.second));
    }
    int64_t now = TcpConnection::NowMs();
    for (auto& conn : connections) {
        const char* reason = conn->TimedOut(now, limits);
        if (!reason) continue;
        Logger::Instance().Log2(LogWarning, "rtmp connection %d from %s: %s, closing", conn->GetSocket(),
                                conn->GetIp().c_str(), reason);
        conn->Disconnect();
    }
}

TcpConnection::Ptr RtmpServer::OnConnect(int sockfd) {
    size_t max_connections;
    {
        std::lock_guard<std::mutex> lock(limits_mutex_);
        max_connections = max_connections_;
    }
    if (ConnectionCount() >= max_connections) {
        Logger::Instance().Log2(LogWarning, "rtmp: %zu connections open, refusing the one from %s", max_connections,
                                SocketUtil::GetPeerIp(sockfd).c_str());
        return nullptr;
    }
    auto scheduler = event_loop_->GetTaskScheduler();
    if (!scheduler) return nullptr;
    // The server may be on its way out (its last owner let go while a connection was being accepted).
    auto self = weak_from_this().lock();
    if (!self) return nullptr;
    return std::make_shared<RtmpConnection>(self, scheduler, sockfd);
}

}  // namespace mnet
