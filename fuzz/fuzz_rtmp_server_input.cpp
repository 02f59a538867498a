// What a peer sends to a connection of our RTMP server after a valid handshake: connect, createStream,
// publish, play, DeleteStream and the data and media messages, with hostile AMF0 values, through the real
// server-role connection on a socket pair whose scheduler the harness drives by hand. A second, well-behaved
// connection plays "/live/x", so a stream the input publishes there is relayed to a player too. Byte 0 sets
// the size of the pieces the input arrives in. What the connections send is read and dropped.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "amf.h"
#include "epoll_task_scheduler.h"
#include "event_loop.h"
#include "rtmp_chunk.h"
#include "rtmp_connection.h"
#include "rtmp_handshake.h"
#include "rtmp_server.h"

namespace {

// Runs what the scheduler's own thread would: queued sends and due timers, then ready descriptors.
class HandDrivenScheduler : public mnet::EpollTaskScheduler {
public:
    HandDrivenScheduler() : mnet::EpollTaskScheduler(1) {}
    void Round() {
        HandleTriggerEvent();
        timer_queue_.HandleTimerEvent();
        HandleEvent(0);
    }
    // Work left at the end holds the connections; it is dropped so that every input starts afresh.
    void Drop() {
        HandleTriggerEvent();
        timer_queue_.Clear();
    }
};

void Drain(int fd) {
    char buf[16384];
    while (::recv(fd, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
}

void Pump(HandDrivenScheduler& scheduler, const int* peers, size_t count) {
    for (int round = 0; round < 4; ++round) {
        scheduler.Round();
        for (size_t i = 0; i < count; ++i) Drain(peers[i]);
    }
}

std::string Chunked(uint32_t csid, uint8_t type, uint32_t stream_id, const mnet::AmfEncoder& enc) {
    mnet::RtmpChunk chunk;
    mnet::RtmpMessage msg;
    msg.type_id = type;
    msg.stream_id = stream_id;
    msg.length = enc.Size();
    msg.payload = enc.Data();
    std::vector<char> buf(chunk.ChunkedSize(csid, msg));
    chunk.CreateChunk(csid, msg, buf.data(), static_cast<uint32_t>(buf.size()));
    return std::string(buf.data(), buf.size());
}

// C0 C1 C2, then connect "live", createStream and play "x".
std::string PlayerBytes() {
    std::string bytes(1, '\x03');
    bytes.append(2 * mnet::RtmpHandshake::kPacketSize, '\x22');
    mnet::AmfEncoder connect;
    connect.EncodeString("connect", 7);
    connect.EncodeNumber(1);
    mnet::AmfObjects app;
    app["app"] = mnet::AmfObject(std::string("live"));
    connect.EncodeObjects(app);
    bytes += Chunked(3, mnet::RTMP_INVOKE, 0, connect);
    mnet::AmfEncoder create;
    create.EncodeString("createStream", 12);
    create.EncodeNumber(2);
    create.EncodeObjects(mnet::AmfObjects());
    bytes += Chunked(3, mnet::RTMP_INVOKE, 0, create);
    mnet::AmfEncoder play;
    play.EncodeString("play", 4);
    play.EncodeNumber(3);
    play.EncodeObjects(mnet::AmfObjects());
    play.EncodeString("x", 1);
    bytes += Chunked(8, mnet::RTMP_INVOKE, 1, play);
    return bytes;
}

bool Feed(int fd, const char* data, size_t size) {
    return ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static mnet::EventLoop loop(1);
    static const std::string player_bytes = PlayerBytes();
    if (size < 1 || size > 64 * 1024) return 0;

    auto scheduler = std::make_shared<HandDrivenScheduler>();
    auto server = mnet::RtmpServer::Create(&loop);
    server->SetChunkSize(60000);
    server->SetGopCache(5000);
    int fuzzed[2], played[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fuzzed) != 0) return 0;
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, played) != 0) {
        ::close(fuzzed[0]);
        ::close(fuzzed[1]);
        return 0;
    }
    const int peers[2] = {fuzzed[1], played[1]};
    {
        auto conn = std::make_shared<mnet::RtmpConnection>(server, scheduler, fuzzed[0]);
        auto player = std::make_shared<mnet::RtmpConnection>(server, scheduler, played[0]);
        if (Feed(played[1], player_bytes.data(), player_bytes.size())) Pump(*scheduler, peers, 2);

        std::string handshake(1, '\x03');
        handshake.append(2 * mnet::RtmpHandshake::kPacketSize, '\x11');
        if (Feed(fuzzed[1], handshake.data(), handshake.size())) Pump(*scheduler, peers, 2);

        size_t piece = (data[0] % 200) + 1;
        for (size_t off = 1; off < size && !conn->IsClosed(); off += piece) {
            size_t n = off + piece <= size ? piece : size - off;
            if (!Feed(fuzzed[1], reinterpret_cast<const char*>(data) + off, n)) break;
            Pump(*scheduler, peers, 2);
        }
        // The peers leave: both connections close and leave their sessions.
        ::close(fuzzed[1]);
        ::close(played[1]);
        Pump(*scheduler, peers, 0);
        scheduler->Drop();
    }
    server.reset();
    return 0;
}
