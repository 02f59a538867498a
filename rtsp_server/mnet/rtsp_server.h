// The RTSP server endpoint: listens through its TcpServer part, makes an RtspConnection for every accepted
// socket, keeps the media sessions by id and by URL suffix, and passes encoded frames to a session.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "av_frame.h"
#include "event_loop.h"
#include "media_session.h"
#include "rtsp.h"
#include "tcp_server.h"

namespace mnet {

class RtspServer : public Rtsp, public TcpServer {
public:
    static std::shared_ptr<RtspServer> Create(EventLoop* loop);
    ~RtspServer() override;

    // Registers the session; 0 (not registered) when its suffix already is.
    uint32_t AddSession(std::shared_ptr<MediaSession> session);
    void RemoveSession(uint32_t session_id);

    std::shared_ptr<MediaSession> FindSessionBySuffix(std::string suffix) override;
    std::shared_ptr<MediaSession> FindSessionById(uint32_t session_id) override;

    // False for an unknown session, or one without clients (the frame is dropped).
    bool PushFrame(uint32_t session_id, MediaChannelId channel_id, AVFrame frame);

private:
    explicit RtspServer(EventLoop* loop);

    TcpConnection::Ptr OnConnect(int sockfd) override;

    std::mutex mutex_;
    std::unordered_map<uint32_t, std::shared_ptr<MediaSession>> media_sessions_;
    std::unordered_map<std::string, uint32_t> rtsp_suffix_map_;
};

}  // namespace mnet
