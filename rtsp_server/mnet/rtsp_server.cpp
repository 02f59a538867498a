#include "rtsp_server.h"

#include "rtsp_connection.h"

namespace mnet {

std::shared_ptr<RtspServer> RtspServer::Create(EventLoop* loop) {
    return std::shared_ptr<RtspServer>(new RtspServer(loop));
}

RtspServer::RtspServer(EventLoop* loop) : TcpServer(loop) {}

// OnConnect uses this object: the listener and the connections go before the members do.
RtspServer::~RtspServer() {
    TcpServer::Stop();
}

uint32_t RtspServer::AddSession(std::shared_ptr<MediaSession> session) {
    if (!session) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    if (rtsp_suffix_map_.count(session->GetRtspUrlSuffix()) != 0) return 0;
    uint32_t id = session->GetMediaSessionId();
    rtsp_suffix_map_.emplace(session->GetRtspUrlSuffix(), id);
    media_sessions_.emplace(id, std::move(session));
    return id;
}

void RtspServer::RemoveSession(uint32_t session_id) {
    std::shared_ptr<MediaSession> session;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = media_sessions_.find(session_id);
    if (it == media_sessions_.end()) return;
    rtsp_suffix_map_.erase(it->second->GetRtspUrlSuffix());
    session = std::move(it->second);
    media_sessions_.erase(it);
}

std::shared_ptr<MediaSession> RtspServer::FindSessionBySuffix(std::string suffix) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = rtsp_suffix_map_.find(suffix);
    if (it == rtsp_suffix_map_.end()) return nullptr;
    auto session = media_sessions_.find(it->second);
    return session == media_sessions_.end() ? nullptr : session->second;
}

std::shared_ptr<MediaSession> RtspServer::FindSessionById(uint32_t session_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = media_sessions_.find(session_id);
    return it == media_sessions_.end() ? nullptr : it->second;
}

bool RtspServer::PushFrame(uint32_t session_id, MediaChannelId channel_id, AVFrame frame) {
    std::shared_ptr<MediaSession> session;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = media_sessions_.find(session_id);
        if (it == media_sessions_.end()) return false;
        session = it->second;
    }
    if (session->GetClientCount() == 0) return false;
    return session->HandleFrame(channel_id, std::move(frame));
}

TcpConnection::Ptr RtspServer::OnConnect(int sockfd) {
    auto self = weak_from_this().lock();  // empty while the server is being released
    auto scheduler = event_loop_->GetTaskScheduler();
    if (!self || !scheduler) return nullptr;
    return std::make_shared<RtspConnection>(self, scheduler, sockfd);
}

}  // namespace mnet
