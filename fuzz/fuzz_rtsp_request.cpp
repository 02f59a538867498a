// The RTSP request parser and the push client's reply parser on arbitrary bytes, fed in pieces the way a
// connection's reads deliver them; every complete request also goes through the reply builders.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "buffer_reader.h"
#include "rtsp_message.h"

namespace {

int g_fds[2] = {-1, -1};

void Feed(mnet::BufferReader& reader, const uint8_t* data, size_t size) {
    if (size == 0) return;
    if (::send(g_fds[1], data, size, MSG_DONTWAIT) <= 0) return;
    while (reader.Read(g_fds[0]) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_fds[0] < 0) {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, g_fds) != 0) return 0;
        int buf = 1 << 20;
        setsockopt(g_fds[1], SOL_SOCKET, SO_SNDBUF, &buf, sizeof(buf));
        setsockopt(g_fds[0], SOL_SOCKET, SO_RCVBUF, &buf, sizeof(buf));
    }
    if (size > 64 * 1024) return 0;

    // The first byte picks the piece size, so requests split across reads are covered too.
    size_t piece = size > 0 ? (data[0] % 64) + 1 : 1;
    mnet::BufferReader reader(2048, 1 << 20);
    mnet::RtspRequest request;
    char reply[4096];
    for (size_t off = 1; off < size || off == 1; off += piece) {
        if (off < size) Feed(reader, data + off, off + piece <= size ? piece : size - off);
        for (int round = 0; round < 64 && reader.ReadableBytes() > 0; ++round) {
            size_t before = reader.ReadableBytes();
            if (!request.Parse(reader)) {
                reader.RetrieveAll();
                request.Reset();
                break;
            }
            if (request.GetMethod() == mnet::RtspMethod::RTCP && reader.ReadableBytes() > 0 &&
                reader.Peek()[0] == '$') {
                reader.Retrieve(reader.ReadableBytes() >= 4 ? 4 : reader.ReadableBytes());
                continue;
            }
            if (request.IsComplete()) {
                request.BuildOptionsReply(reply, sizeof(reply));
                request.BuildSetupUdpReply(reply, sizeof(reply), 10000, 10001, 1);
                request.BuildSetupMulticastReply(reply, sizeof(reply), "232.0.1.1", 5000, 1);
                request.BuildDescribeReply(reply, sizeof(reply), request.GetUrl().c_str());
                request.BuildPauseReply(reply, sizeof(reply), 1);
                request.BuildParameterReplyWithoutSession(reply, sizeof(reply));
                (void)request.GetAuthResponse();
                (void)request.GetTrackId();
                request.Reset();
                continue;
            }
            if (reader.ReadableBytes() == before) break;
        }
        if (size <= 1) break;
    }

    mnet::BufferReader replies(2048, 1 << 20);
    Feed(replies, data, size);
    mnet::RtspResponse response;
    if (response.Parse(replies)) {
        response.BuildSetupRequest(reply, sizeof(reply), 1);
        response.BuildAnnounceRequest(reply, sizeof(reply), response.GetSession().c_str());
    }
    return 0;
}
