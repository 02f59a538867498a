// The packet-sink side of a decoder: the next stage a compressed packet can be handed to. The decoders
// implement it; it holds no data.
#pragma once

struct MediaPacket;

class Receive_handler {
public:
    virtual ~Receive_handler() = default;
    // Takes one packet; returns 1.
    virtual int OnReceive(MediaPacket* packet, int flag) = 0;
    // Whether a packet would be taken now.
    virtual bool OnCanReceive() = 0;
};
