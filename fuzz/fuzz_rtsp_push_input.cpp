// What a remote server sends to our RTSP pusher (replies mixed with interleaved RTCP frames, split anywhere)
// through the real connection: a pusher-mode RtspConnection on a socket pair whose scheduler is driven by
// hand, owned by a pusher with a session of both sources. Requests and RTP are read and dropped; frames are
// pushed between the pieces so that a connection that reached RECORD packetises them.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "aac_source.h"
#include "epoll_task_scheduler.h"
#include "h264_source.h"
#include "media_session.h"
#include "rtsp_connection.h"
#include "rtsp_pusher.h"

namespace {

void Drain(int fd) {
    char buf[8192];
    while (::recv(fd, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
}

mnet::AVFrame Frame(const uint8_t* bytes, uint32_t size, uint8_t type) {
    mnet::AVFrame frame(size);
    memcpy(frame.buffer.get(), bytes, size);
    frame.type = type;
    frame.timestamp = 3000;
    return frame;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto scheduler = std::make_shared<mnet::EpollTaskScheduler>(1);
    static std::shared_ptr<mnet::RtspPusher> pusher = [] {
        auto p = mnet::RtspPusher::Create(nullptr);
        p->ParseUrl("rtsp://127.0.0.1:8554/live/push");
        auto session = mnet::MediaSession::Create("live/push");
        session->AddSource(mnet::channel_0, mnet::H264Source::Create(30));
        session->AddSource(mnet::channel_1, mnet::AACSource::Create(48000, 2, false));
        p->AddSession(session);
        return p;
    }();
    static const uint8_t kKey[] = {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1E, 0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80,
                                   0, 0, 0, 1, 0x65, 0x88, 0x84, 0x21};
    static const uint8_t kAudio[] = {0x21, 0x10, 0x04, 0x60};
    if (size < 1 || size > 32 * 1024) return 0;

    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    auto conn = std::make_shared<mnet::RtspConnection>(pusher, scheduler, fds[0]);
    conn->SendOptionsRequest(mnet::RtspConnection::RTSP_PUSHER);
    Drain(fds[1]);
    auto session = pusher->FindSessionById(0);

    size_t piece = (data[0] % 128) + 1;
    for (size_t off = 1; off < size && !conn->IsClosed(); off += piece) {
        size_t n = off + piece <= size ? piece : size - off;
        if (::send(fds[1], data + off, n, MSG_DONTWAIT | MSG_NOSIGNAL) <= 0) break;
        for (int round = 0; round < 4; ++round) scheduler->HandleEvent(0);
        session->HandleFrame(mnet::channel_0, Frame(kKey, sizeof(kKey), mnet::VIDEO_FRAME_I));
        session->HandleFrame(mnet::channel_1, Frame(kAudio, sizeof(kAudio), mnet::AUDIO_FRAME));
        for (int round = 0; round < 4; ++round) scheduler->HandleEvent(0);
        Drain(fds[1]);
    }
    conn.reset();
    ::close(fds[1]);
    return 0;
}
