// Packet objects: a byte area (the caller's, a buffer's or the library's own) and the payload within it.
#include <new>

#include "mpp_hook_state.h"
#include "mpp_objects.h"

using mpp::Packet;

namespace {
Packet* packet_of(MppPacket packet) { return static_cast<Packet*>(packet); }
}  // namespace

namespace mpp {

const uint8_t* packet_payload(const Packet& packet) {
    if (!packet.data || !packet.pos || packet.pos < packet.data) return nullptr;
    size_t offset = static_cast<size_t>(packet.pos - packet.data);
    if (offset > packet.size || packet.length > packet.size - offset) return nullptr;
    return packet.pos;
}

}  // namespace mpp

extern "C" {

MPP_RET mpp_packet_init(MppPacket* packet, void* data, size_t size) {
    if (!packet) return MPP_ERR_NULL_PTR;
    *packet = nullptr;
    if (mpp::hook_fails(MPP_HOOK_PACKET_INIT)) return MPP_NOK;
    Packet* made = new (std::nothrow) Packet;
    if (!made) return MPP_ERR_MALLOC;
    made->data = static_cast<uint8_t*>(data);
    made->size = data ? size : 0;
    made->pos = made->data;
    made->length = made->size;
    *packet = made;
    return MPP_OK;
}

MPP_RET mpp_packet_init_with_buffer(MppPacket* packet, MppBuffer buffer) {
    if (!packet) return MPP_ERR_NULL_PTR;
    *packet = nullptr;
    if (!buffer) return MPP_ERR_NULL_PTR;
    if (mpp::hook_fails(MPP_HOOK_PACKET_INIT)) return MPP_NOK;
    Packet* made = new (std::nothrow) Packet;
    if (!made) return MPP_ERR_MALLOC;
    auto* b = static_cast<mpp::Buffer*>(buffer);
    mpp::add_buffer_reference(b);
    made->buffer = b;
    made->data = b->data;
    made->size = b->size;
    made->pos = made->data;
    made->length = 0;
    *packet = made;
    return MPP_OK;
}

MPP_RET mpp_packet_deinit(MppPacket* packet) {
    if (!packet || !*packet) return MPP_ERR_NULL_PTR;
    Packet* p = packet_of(*packet);
    *packet = nullptr;
    if (p->owned_by_context) return MPP_OK;
    if (p->buffer) mpp::release_buffer(p->buffer);
    delete p;
    return MPP_OK;
}

void mpp_packet_set_data(MppPacket packet, void* data) {
    if (packet) packet_of(packet)->data = static_cast<uint8_t*>(data);
}
void mpp_packet_set_size(MppPacket packet, size_t size) {
    if (packet) packet_of(packet)->size = size;
}
void mpp_packet_set_pos(MppPacket packet, void* pos) {
    if (packet) packet_of(packet)->pos = static_cast<uint8_t*>(pos);
}
void mpp_packet_set_length(MppPacket packet, size_t length) {
    if (packet) packet_of(packet)->length = length;
}
void mpp_packet_set_eos(MppPacket packet) {
    if (packet) packet_of(packet)->eos = 1;
}

void* mpp_packet_get_data(MppPacket packet) { return packet ? packet_of(packet)->data : nullptr; }
void* mpp_packet_get_pos(MppPacket packet) { return packet ? packet_of(packet)->pos : nullptr; }
size_t mpp_packet_get_size(MppPacket packet) { return packet ? packet_of(packet)->size : 0; }
size_t mpp_packet_get_length(MppPacket packet) { return packet ? packet_of(packet)->length : 0; }
uint32_t mpp_packet_get_eos(MppPacket packet) { return packet ? packet_of(packet)->eos : 0; }

}  // extern "C"
