// The simple (unsigned) RTMP handshake of one connection, server or client side. Until it completes every
// received byte goes through Parse; what is left after the last handshake message belongs to the chunk stream.
#pragma once

#include <cstddef>
#include <cstdint>

#include "buffer_reader.h"

namespace mnet {

class RtmpHandshake {
public:
    enum State {
        kHandshakeC0C1 = 0,    // server: waiting for C0 and C1
        kHandshakeS0S1S2 = 1,  // client: waiting for S0, S1 and S2
        kHandshakeC2 = 2,      // server: waiting for C2
        kHandshakeComplete = 3,
    };

    static constexpr uint8_t kRtmpVersion = 3;
    static constexpr uint32_t kPacketSize = 1536;                    // C1, S1, C2, S2
    static constexpr uint32_t kC0C1Size = 1 + kPacketSize;           // 1537
    static constexpr uint32_t kS0S1S2Size = 1 + 2 * kPacketSize;     // 3073
    static constexpr uint32_t kRandomOffset = 8;                     // after the time and zero fields

    explicit RtmpHandshake(State state) : state_(state) {}
    virtual ~RtmpHandshake() = default;

    // One step over data[0, size): the bytes to send are written to out (result > 0), 0 when nothing is to be
    // sent yet, -1 when the peer's bytes are refused. *consumed tells how many input bytes were used.
    int Parse(const char* data, size_t size, size_t* consumed, char* out, uint32_t out_capacity);
    // The same over a connection's receive buffer, retrieving what was used.
    int Parse(BufferReader& buffer, char* out, uint32_t out_capacity);

    // C0 and C1 for the client side: 1537 bytes, or -1 when the buffer is too small.
    int BuildC0C1(char* out, uint32_t capacity);

    bool IsCompleted() const { return state_ == kHandshakeComplete; }
    State GetState() const { return state_; }

private:
    // Nothing depends on the secrecy of these bytes, so a PRNG seeded once per handshake is enough.
    static void FillRandom(char* out, size_t size);

    State state_;
};

}  // namespace mnet
