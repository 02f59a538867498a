// Peer bytes through the RTMP chunk parser, fed in pieces of varying size as a connection would, with the
// peer's Set Chunk Size applied; every message it completes is chunked again and must parse back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <vector>

#include "byte_order.h"
#include "rtmp_chunk.h"

namespace {

void CheckRoundTrip(const mnet::RtmpMessage& msg) {
    mnet::RtmpChunk builder;
    builder.SetOutChunkSize(1 + msg.length % 300);
    std::vector<char> buf(builder.ChunkedSize(msg.csid, msg));
    int n = builder.CreateChunk(msg.csid, msg, buf.data(), static_cast<uint32_t>(buf.size()));
    if (n != static_cast<int>(buf.size())) abort();
    mnet::RtmpChunk parser;
    parser.SetInChunkSize(builder.GetOutChunkSize());
    size_t pos = 0;
    mnet::RtmpMessage back;
    while (pos < buf.size()) {
        int used = parser.Parse(buf.data() + pos, buf.size() - pos, back);
        if (used <= 0) abort();
        pos += static_cast<size_t>(used);
    }
    if (!back.IsCompleted() || back.length != msg.length || back.type_id != msg.type_id ||
        memcmp(back.payload.get(), msg.payload.get(), msg.length) != 0) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    size_t step = 1 + data[0] % 64;  // how much arrives per read
    mnet::RtmpChunk chunk;
    const char* bytes = reinterpret_cast<const char*>(data);
    size_t parsed = 1;    // bytes the parser has consumed
    size_t arrived = 1;   // bytes "received" so far
    while (arrived < size) {
        arrived += std::min(step, size - arrived);
        for (;;) {
            mnet::RtmpMessage msg;
            int n = chunk.Parse(bytes + parsed, arrived - parsed, msg);
            if (n < 0) return 0;
            if (n == 0) break;
            parsed += static_cast<size_t>(n);
            if (!msg.IsCompleted()) continue;
            if (msg.type_id == mnet::RTMP_SET_CHUNK_SIZE && msg.length >= 4) {
                if (!chunk.SetInChunkSize(mnet::ReadUint32BE(msg.payload.get()))) return 0;
            }
            if (msg.length <= 4096) CheckRoundTrip(msg);
        }
    }
    return 0;
}
