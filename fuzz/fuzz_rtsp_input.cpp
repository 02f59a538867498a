// Everything an RTSP connection reads from a player (requests mixed with interleaved RTP/RTCP frames, in any
// order and split anywhere) through the real connection: a server-mode RtspConnection on a socket pair whose
// scheduler is driven by hand, with a session holding both sources. Replies are read and dropped.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "aac_source.h"
#include "epoll_task_scheduler.h"
#include "h264_source.h"
#include "logger.h"
#include "media_session.h"
#include "rtsp.h"
#include "rtsp_connection.h"

namespace {

class OneSession : public mnet::Rtsp {
public:
    OneSession() : session_(mnet::MediaSession::Create("live/main")) {
        session_->AddSource(mnet::channel_0, mnet::H264Source::Create(30));
        session_->AddSource(mnet::channel_1, mnet::AACSource::Create(48000, 2, true));
    }
    std::shared_ptr<mnet::MediaSession> FindSessionBySuffix(std::string suffix) override {
        return suffix == session_->GetRtspUrlSuffix() ? session_ : nullptr;
    }
    std::shared_ptr<mnet::MediaSession> FindSessionById(uint32_t id) override {
        return id == session_->GetMediaSessionId() ? session_ : nullptr;
    }

private:
    std::shared_ptr<mnet::MediaSession> session_;
};

void Drain(int fd) {
    char buf[8192];
    while (::recv(fd, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::shared_ptr<OneSession> owner = std::make_shared<OneSession>();
    static auto scheduler = std::make_shared<mnet::EpollTaskScheduler>(1);
    if (size > 32 * 1024) return 0;

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    auto conn = std::make_shared<mnet::RtspConnection>(owner, scheduler, fds[0]);

    size_t piece = size > 0 ? (data[0] % 128) + 1 : 1;
    for (size_t off = 1; off < size; off += piece) {
        size_t n = off + piece <= size ? piece : size - off;
        if (::send(fds[1], data + off, n, MSG_DONTWAIT | MSG_NOSIGNAL) <= 0) break;
        for (int round = 0; round < 4; ++round) scheduler->HandleEvent(0);
        Drain(fds[1]);
        if (conn->IsClosed()) break;
    }
    // Released here, its channel leaves the scheduler and its socket closes.
    conn.reset();
    ::close(fds[1]);
    return 0;
}
