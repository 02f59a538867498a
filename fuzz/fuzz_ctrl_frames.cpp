// Peer bytes through a connection's control frame buffer in appends of varying size, cutting every frame
// it yields; each frame taken must build again into a frame that cuts to the same header and payload.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ctrl_frame_buffer.h"
#include "framed_message.h"

namespace {

void check_round_trip(const FramedMessage& taken) {
    FramedMessage again;
    for (int i = 0; i < 5; ++i) again.b[i] = taken.b[i];
    if (taken.payload_length() > 0 && again.SetPayload(taken.payload(), taken.payload_length()) != 0) abort();
    if (again.Build() != 0) abort();
    CtrlFrameBuffer buffer;
    FramedMessage cut;
    if (buffer.Append(again.output().data(), again.output().size()) != 0) abort();
    if (buffer.Extract(&cut) != 1 || buffer.length() != 0) abort();
    if (memcmp(cut.b, again.b, sizeof(cut.b)) != 0) abort();
    if (cut.payload_length() != taken.payload_length()) abort();
    if (taken.payload_length() > 0 && memcmp(cut.payload(), taken.payload(), taken.payload_length()) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The buffer logs every refused frame; the fuzzer's own output is what matters.
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CtrlFrameBuffer buffer;
    FramedMessage message;
    size_t pos = 0;
    while (pos < size) {
        // The first byte of each piece sets its length, so pieces split frames anywhere.
        size_t chunk = 1 + data[pos] % 251;
        if (chunk > size - pos) chunk = size - pos;
        const int appended = buffer.Append(data + pos, chunk);
        pos += chunk;
        if (appended == -2 && buffer.length() != 0) abort();
        int result;
        while ((result = buffer.Extract(&message)) == 1) {
            if (message.payload_length() < 0 || message.payload_length() >= kMaxFrameLengthField) abort();
            check_round_trip(message);
        }
        if (result < 0 && buffer.length() != 0) abort();
        if (buffer.length() < 0 || buffer.length() > buffer.capacity()) abort();
    }
    return 0;
}
