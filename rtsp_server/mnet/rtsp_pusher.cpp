#include "rtsp_pusher.h"

#include <strings.h>

#include <chrono>
#include <thread>

#include "logger.h"
#include "tcp_socket.h"

namespace mnet {

namespace {
const std::string kRtspScheme = "rtsp://";
}  // namespace

std::shared_ptr<RtspPusher> RtspPusher::Create(EventLoop* loop) {
    return std::shared_ptr<RtspPusher>(new RtspPusher(loop));
}

RtspPusher::RtspPusher(EventLoop* loop) : event_loop_(loop) {}

RtspPusher::~RtspPusher() { Close(); }

void RtspPusher::AddSession(std::shared_ptr<MediaSession> session) {
    std::lock_guard<std::mutex> lock(session_mutex_);
    media_session_ = std::move(session);
}

void RtspPusher::RemoveSession(uint32_t session_id) {
    (void)session_id;
    std::lock_guard<std::mutex> lock(session_mutex_);
    media_session_.reset();
}

std::shared_ptr<MediaSession> RtspPusher::FindSessionById(uint32_t session_id) {
    (void)session_id;
    std::lock_guard<std::mutex> lock(session_mutex_);
    return media_session_;
}

int RtspPusher::OpenUrl(std::string url, int msec) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto start = std::chrono::steady_clock::now();
    if (msec < 1) msec = kDefaultTimeoutMs;
    // The URL parser takes any 7-character scheme; only an rtsp address can be pushed to.
    bool rtsp_scheme = url.size() > kRtspScheme.size() && strncasecmp(url.c_str(), kRtspScheme.c_str(),
                                                                        kRtspScheme.size()) == 0;
    if (!rtsp_scheme || !ParseUrl(url)) {
        Logger::Instance().Log(LogError, __FILE__, "OpenUrl", __LINE__, "rtsp url(%s) was illegal.\n", url.c_str());
        return -1;
    }
    if (rtsp_conn_) Disconnect();

    RtspUrl where = GetUrlInfo();
    TcpSocket socket;
    if (socket.Create() < 0) return -1;
    if (!socket.Connect(where.ip, where.port, msec)) {
        socket.Close();
        return -1;
    }
    task_scheduler_ = event_loop_->GetTaskScheduler();
    if (!task_scheduler_) {
        socket.Close();
        return -1;
    }
    auto conn = std::make_shared<RtspConnection>(shared_from_this(), task_scheduler_, socket.GetSocket());
    conn->Attach();
    rtsp_conn_ = conn;
    if (!task_scheduler_->AddTriggerEvent([conn]() { conn->SendOptionsRequest(RtspConnection::RTSP_PUSHER); })) {
        Disconnect();
        return -1;
    }

    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    int left = msec - static_cast<int>(spent.count());
    if (left < 0) left = 1000;
    // A connection the server refused (or closed) will not record: no need to wait for the time-out.
    while (!conn->IsPushing() && !conn->IsClosed() && left > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        left -= kPollMs;
    }
    if (conn->IsPushing() && !conn->IsClosed()) return 0;
    Disconnect();
    return -1;
}

void RtspPusher::Disconnect() {
    // The close runs on the connection's own thread; the task keeps the connection alive until then.
    rtsp_conn_->Disconnect();
    rtsp_conn_.reset();
}

void RtspPusher::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (rtsp_conn_) Disconnect();
}

bool RtspPusher::IsConnected() {
    std::lock_guard<std::mutex> lock(mutex_);
    return rtsp_conn_ && !rtsp_conn_->IsClosed();
}

bool RtspPusher::PushFrame(MediaChannelId channel_id, AVFrame frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<MediaSession> session = FindSessionById(0);
    if (!session || !rtsp_conn_) return false;
    return session->HandleFrame(channel_id, std::move(frame));
}

}  // namespace mnet
