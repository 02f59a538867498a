// One compressed frame on its way to a decoder: a heap copy of the producer's bytes with the picture size
// and rate the producer announced. The producer's buffer may be reused as soon as the packet is made.
#pragma once

#include <cstdint>

struct MediaPacket {
    // Only data[0] is used: the copy of the frame, owned by the packet.
    uint8_t* data[3];
    // The decoder's number for the packet, 1, 2, ... in the order it was posted (0 when posted bare).
    int64_t sequence;
    int64_t reserved64_a[2];
    int32_t reserved32_a[3];
    // size[0] is the frame's byte count.
    int32_t size[3];
    int64_t reserved64_b[2];
    int32_t width;
    int32_t height;
    int32_t frame_rate;
    int32_t reserved32_b[3];
    int64_t reserved64_c;
};

// A packet holding a copy of size bytes (every other field zero), or nullptr for no bytes, a size of 0
// or less, or a failed allocation. The caller has checked size against its own limit.
MediaPacket* media_packet_new(int width, int height, int frame_rate, const uint8_t* bytes, int size);
// Releases every data pointer, then the packet; nullptr is ignored.
void media_packet_free(MediaPacket* packet);
