// Peer bytes through the server and client sides of the RTMP handshake, in reads of varying size; what is
// left after it completes goes on to the chunk parser, as on a connection.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "rtmp_chunk.h"
#include "rtmp_handshake.h"

namespace {

void Run(mnet::RtmpHandshake::State start, const uint8_t* data, size_t size, size_t step) {
    mnet::RtmpHandshake hs(start);
    mnet::RtmpChunk chunk;
    std::string pending;
    size_t pos = 0;
    char out[4096];
    while (pos < size) {
        size_t piece = std::min(step, size - pos);
        pending.append(reinterpret_cast<const char*>(data) + pos, piece);
        pos += piece;
        while (!hs.IsCompleted()) {
            size_t consumed = 0;
            int n = hs.Parse(pending.data(), pending.size(), &consumed, out, sizeof(out));
            if (n < 0) return;
            if (consumed > pending.size() || n > static_cast<int>(sizeof(out))) abort();
            pending.erase(0, consumed);
            if (consumed == 0) break;
        }
        if (!hs.IsCompleted()) continue;
        for (;;) {
            mnet::RtmpMessage msg;
            int n = chunk.Parse(pending.data(), pending.size(), msg);
            if (n <= 0) break;
            pending.erase(0, static_cast<size_t>(n));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t step = 1 + static_cast<size_t>(data[0]) * 16;
    Run(mnet::RtmpHandshake::kHandshakeC0C1, data + 1, size - 1, step);
    Run(mnet::RtmpHandshake::kHandshakeS0S1S2, data + 1, size - 1, step);
    return 0;
}
