#include "tcp_server.h"

#include <vector>

#include "logger.h"
#include "socket_util.h"
#include "timer.h"

namespace mnet {

TcpServer::TcpServer(EventLoop* event_loop)
    : event_loop_(event_loop), acceptor_(new Acceptor(event_loop)), liveness_(new Liveness{{}, this}) {
    acceptor_->SetNewConnectionCallback([this](int sockfd) { OnNewConnection(sockfd); });
}

TcpServer::~TcpServer() {
    Stop();
    std::lock_guard<std::mutex> lock(liveness_->mutex);
    liveness_->server = nullptr;
}

void TcpServer::OnNewConnection(int sockfd) {
    TcpConnection::Ptr conn = OnConnect(sockfd);
    if (!conn) {
        SocketUtil::Close(sockfd);
        return;
    }
    AddConnection(sockfd, conn);
    std::weak_ptr<Liveness> weak_liveness = liveness_;
    conn->SetDisconnectCallback([weak_liveness](TcpConnection::Ptr closed) {
        if (auto liveness = weak_liveness.lock()) RemoveLater(liveness, closed);
    });
    conn->Attach();
}

// Removal runs on the connection's own scheduler, after the batch that closed it; a full trigger queue falls
// back to a one-shot timer so that no removal is lost.
void TcpServer::RemoveLater(const std::shared_ptr<Liveness>& liveness, const TcpConnection::Ptr& conn) {
    auto scheduler = conn->GetTaskScheduler();
    if (!scheduler) return;
    int sockfd = conn->GetSocket();
    std::weak_ptr<Liveness> weak_liveness = liveness;
    auto remove = [weak_liveness, sockfd]() {
        auto alive = weak_liveness.lock();
        if (!alive) return;
        std::lock_guard<std::mutex> lock(alive->mutex);
        if (alive->server) alive->server->RemoveConnection(sockfd);
    };
    if (scheduler->AddTriggerEvent(remove)) return;
    scheduler->AddTimer([remove]() {
        remove();
        return false;
    }, TcpConnection::kRetryDelayMs);
}

bool TcpServer::Start(std::string ip, uint16_t port) {
    Stop();
    if (acceptor_->Listen(ip, port) < 0) return false;
    port_ = port;
    ip_ = std::move(ip);
    is_started_ = true;
    return true;
}

bool TcpServer::IsListening() {
    return is_started_ && acceptor_->IsListening();
}

void TcpServer::Stop() {
    if (!is_started_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& entry : connections_) entry.second->Disconnect();
    }
    acceptor_->Close();
    is_started_ = false;

    for (int waited = 0; waited < kStopWaitMs; waited += kStopPollMs) {
        Timer::Sleep(kStopPollMs);
        std::lock_guard<std::mutex> lock(mutex_);
        if (connections_.empty()) return;
    }

    // Their schedulers did not get to them (stopped or stuck): close and drop them here.
    std::vector<TcpConnection::Ptr> left;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& entry : connections_) left.push_back(entry.second);
        connections_.clear();
    }
    Logger::Instance().Log2(LogWarning, "server %s:%u stopped with %zu connections not removed in %d ms; "
                            "closing them", ip_.c_str(), port_, left.size(), kStopWaitMs);
    for (auto& conn : left) conn->HandleClose();
}

size_t TcpServer::ConnectionCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_.size();
}

TcpConnection::Ptr TcpServer::OnConnect(int sockfd) {
    auto scheduler = event_loop_->GetTaskScheduler();
    if (!scheduler) return nullptr;
    return std::make_shared<TcpConnection>(scheduler, sockfd);
}

void TcpServer::AddConnection(int sockfd, TcpConnection::Ptr tcp_conn) {
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.emplace(sockfd, std::move(tcp_conn));
}

void TcpServer::RemoveConnection(int sockfd) {
    TcpConnection::Ptr conn;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = connections_.find(sockfd);
        if (it == connections_.end()) return;
        conn = std::move(it->second);
        connections_.erase(it);
    }
    // conn is released here, outside the map lock: its destructor closes the descriptor.
}

}  // namespace mnet
