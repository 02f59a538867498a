#include "media_packet.h"

#include <cstring>
#include <new>

MediaPacket* media_packet_new(int width, int height, int frame_rate, const uint8_t* bytes, int size) {
    if (bytes == nullptr || size <= 0) return nullptr;
    auto* packet = new (std::nothrow) MediaPacket{};
    if (packet == nullptr) return nullptr;
    packet->data[0] = new (std::nothrow) uint8_t[static_cast<size_t>(size)];
    if (packet->data[0] == nullptr) {
        delete packet;
        return nullptr;
    }
    std::memcpy(packet->data[0], bytes, static_cast<size_t>(size));
    packet->size[0] = size;
    packet->width = width;
    packet->height = height;
    packet->frame_rate = frame_rate;
    return packet;
}

void media_packet_free(MediaPacket* packet) {
    if (packet == nullptr) return;
    for (uint8_t* data : packet->data) delete[] data;
    delete packet;
}
