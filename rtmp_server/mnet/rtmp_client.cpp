#include "rtmp_client.h"

#include "rtmp_open.h"

namespace mnet {

std::shared_ptr<RtmpClient> RtmpClient::Create(EventLoop* event_loop) {
    return std::shared_ptr<RtmpClient>(new RtmpClient(event_loop));
}

RtmpClient::RtmpClient(EventLoop* event_loop) : event_loop_(event_loop) {}

RtmpClient::~RtmpClient() { Close(); }

void RtmpClient::SetFrameCB(const FrameCallback& cb) {
    std::lock_guard<std::mutex> lock(mutex_);
    recv_frame_cb_ = cb;
}

int RtmpClient::OpenUrl(std::string url, int msec, std::string& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    RtmpOpenRequest request;
    request.owner = this;
    request.event_loop = event_loop_;
    request.log_name = "[RtmpClient]";
    request.url = std::move(url);
    request.timeout_ms = msec < 1 ? kDefaultTimeoutMs : msec;
    auto self = shared_from_this();
    request.make_connection = [self](std::shared_ptr<TaskScheduler> scheduler, int fd) {
        return std::make_shared<RtmpConnection>(self, std::move(scheduler), fd);
    };
    FrameCallback cb = recv_frame_cb_;
    request.before_handshake = [cb](RtmpConnection& conn) {
        if (cb) conn.SetPlayCallback(cb);
    };
    request.reached = [](RtmpConnection& conn) { return conn.IsPlaying(); };
    return OpenRtmpConnection(request, &task_scheduler_, &rtmp_conn_, &status);
}

void RtmpClient::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (rtmp_conn_) {
        rtmp_conn_->Disconnect();
        rtmp_conn_.reset();
    }
}

bool RtmpClient::IsConnected() {
    std::lock_guard<std::mutex> lock(mutex_);
    return rtmp_conn_ && !rtmp_conn_->IsClosed();
}

}  // namespace mnet
