#include "rtmp_handshake.h"

#include <cstring>
#include <random>

#include "logger.h"

namespace mnet {

void RtmpHandshake::FillRandom(char* out, size_t size) {
    std::random_device device("default");
    std::mt19937 generator(device());
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>(generator() & 0xFF);
}

int RtmpHandshake::Parse(const char* data, size_t size, size_t* consumed, char* out, uint32_t out_capacity) {
    *consumed = 0;
    switch (state_) {
    case kHandshakeC0C1: {
        if (size < kC0C1Size) return 0;
        if (static_cast<uint8_t>(data[0]) != kRtmpVersion) return -1;
        if (out_capacity < kS0S1S2Size) return -1;
        out[0] = static_cast<char>(kRtmpVersion);
        memset(out + 1, 0, kRandomOffset);
        FillRandom(out + 1 + kRandomOffset, kPacketSize - kRandomOffset);
        memcpy(out + 1 + kPacketSize, data + 1, kPacketSize);  // S2 echoes C1
        *consumed = kC0C1Size;
        state_ = kHandshakeC2;
        return static_cast<int>(kS0S1S2Size);
    }
    case kHandshakeS0S1S2: {
        if (size < kS0S1S2Size) return 0;
        if (static_cast<uint8_t>(data[0]) != kRtmpVersion) {
            Logger::Instance().Log(LogError, "rtmp_server/mnet/RtmpHandshake", "Parse", __LINE__,
                                   "unsupported rtmp version %x\n", static_cast<uint8_t>(data[0]));
            return -1;
        }
        if (out_capacity < kPacketSize) return -1;
        memcpy(out, data + 1, kPacketSize);  // C2 echoes S1
        *consumed = kS0S1S2Size;
        state_ = kHandshakeComplete;
        return static_cast<int>(kPacketSize);
    }
    case kHandshakeC2:
        if (size < kPacketSize) return 0;
        *consumed = kPacketSize;  // C2 is not compared with S1: peers differ in what they echo
        state_ = kHandshakeComplete;
        return 0;
    default:
        return -1;
    }
}

int RtmpHandshake::Parse(BufferReader& buffer, char* out, uint32_t out_capacity) {
    size_t consumed = 0;
    int result = Parse(buffer.Peek(), buffer.ReadableBytes(), &consumed, out, out_capacity);
    if (consumed > 0) buffer.Retrieve(consumed);
    return result;
}

int RtmpHandshake::BuildC0C1(char* out, uint32_t capacity) {
    if (capacity < kC0C1Size) return -1;
    memset(out, 0, kC0C1Size);
    out[0] = static_cast<char>(kRtmpVersion);
    FillRandom(out + 1 + kRandomOffset, kPacketSize - kRandomOffset);
    return static_cast<int>(kC0C1Size);
}

}  // namespace mnet
