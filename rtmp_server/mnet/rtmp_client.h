// An outgoing RTMP player: connects to a remote server, plays one stream and hands every received audio and
// video message to a callback. The connection's work runs on a scheduler of the event loop.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "event_loop.h"
#include "rtmp.h"
#include "rtmp_connection.h"

namespace mnet {

class RtmpClient : public Rtmp, public std::enable_shared_from_this<RtmpClient> {
public:
    using FrameCallback = RtmpConnection::PlayCallback;

    static constexpr int kDefaultTimeoutMs = 5000;

    static std::shared_ptr<RtmpClient> Create(EventLoop* event_loop);
    ~RtmpClient() override;

    // Handed to the next connection when its handshake starts.
    void SetFrameCB(const FrameCallback& cb);
    // 0 once the server plays the stream, -1 otherwise; status tells what the server last reported.
    // A time-out below 1 means kDefaultTimeoutMs. Blocks the caller (and every other call) while it waits.
    int OpenUrl(std::string url, int msec, std::string& status);
    void Close();
    bool IsConnected();

private:
    explicit RtmpClient(EventLoop* event_loop);

    EventLoop* event_loop_;
    std::shared_ptr<TaskScheduler> task_scheduler_;
    std::mutex mutex_;
    std::shared_ptr<RtmpConnection> rtmp_conn_;
    FrameCallback recv_frame_cb_;
};

}  // namespace mnet
