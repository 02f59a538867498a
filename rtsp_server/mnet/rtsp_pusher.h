// Pushes one media session to a remote RTSP server: an RtspConnection in pusher mode announces the session
// and starts recording (OPTIONS, ANNOUNCE, SETUP per channel, RECORD), and the frames passed in go through
// the session's sources to that connection as interleaved RTP.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "av_frame.h"
#include "event_loop.h"
#include "media_session.h"
#include "rtsp.h"
#include "rtsp_connection.h"

namespace mnet {

class RtspPusher : public Rtsp {
public:
    static constexpr int kDefaultTimeoutMs = 10000;
    static constexpr int kPollMs = 100;

    static std::shared_ptr<RtspPusher> Create(EventLoop* loop);
    ~RtspPusher() override;

    // The session to push, replacing any earlier one.
    void AddSession(std::shared_ptr<MediaSession> session);
    // Drops the session; the id is not compared.
    void RemoveSession(uint32_t session_id);

    // 0 once the remote server records, -1 otherwise. A time-out below 1 means kDefaultTimeoutMs. Blocks the
    // caller (and every push) while it waits.
    int OpenUrl(std::string url, int msec = 0);
    void Close();
    bool IsConnected();
    // False without session or connection (the frame is dropped).
    bool PushFrame(MediaChannelId channel_id, AVFrame frame);

    // The pushed session, whatever the id: the connection asks for it by id.
    std::shared_ptr<MediaSession> FindSessionById(uint32_t session_id) override;

private:
    explicit RtspPusher(EventLoop* loop);
    // Caller holds mutex_.
    void Disconnect();

    EventLoop* event_loop_;
    std::shared_ptr<TaskScheduler> task_scheduler_;
    std::mutex mutex_;
    std::shared_ptr<RtspConnection> rtsp_conn_;
    // Apart from mutex_: the connection looks the session up on its own thread while OpenUrl holds mutex_.
    std::mutex session_mutex_;
    std::shared_ptr<MediaSession> media_session_;
};

}  // namespace mnet
