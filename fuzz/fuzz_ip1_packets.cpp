// Feeds arbitrary bytes to what the "ip1" input does with a network packet before it reaches a decoder:
// the first-packet test, the start-code and delimiter trimming and the ADTS strip.
#include <cstddef>
#include <cstdint>

#include "ip1_state.h"
#include "rtmp_rtsp_client.h"

namespace {

void check_span(const uint8_t* data, int size, PacketSpan span) {
    if (span.size < 0 || span.size > size) __builtin_trap();
    if (span.size > 0 && (span.data < data || span.data + span.size > data + size)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    const uint8_t* packet = data;
    const int length = static_cast<int>(size);
    ip1_accepts_first_packet(packet, length);
    check_span(packet, length, pull_trim_h264(packet, length));
    check_span(packet, length, pull_trim_h265(packet, length));
    check_span(packet, length, pull_strip_adts(packet, length));
    return 0;
}
