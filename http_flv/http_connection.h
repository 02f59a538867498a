// One accepted connection of the HTTP server: a bounded queue of outgoing packets that any thread may fill and
// that the poll thread moves into the networking library's send buffer, one packet per poll pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "wn_net.h"

namespace mnet {

class HttpConnection {
public:
    // Packets waiting per connection; further data is dropped.
    static constexpr size_t kQueueLimit = 1024;
    // No packet enters a send buffer that already holds more than this.
    static constexpr size_t kMaxSendBuffer = 0x100000;
    // Spare room allocated with every packet.
    static constexpr size_t kPacketSlack = 512;

    explicit HttpConnection(wn_connection* conn);
    virtual ~HttpConnection();
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    // Poll thread only: moves the next packet into the send buffer.
    virtual void Flush();
    // Any thread: copies the bytes into a new packet, or drops them while the queue is full.
    virtual void Send(const uint8_t* data, uint32_t size);
    // The socket descriptor, kept from construction: the library record is freed after it closes, while other
    // threads may still hold this object and ask for its id.
    virtual int GetSocket();

    // Packets that can still be queued before Send starts dropping; lets a caller queue a group of packets
    // whole or not at all.
    size_t QueueRoom();

private:
    struct Packet {
        std::shared_ptr<uint8_t> data;
        uint32_t size = 0;
        uint32_t write_index = 0;
    };

    // Caller holds mutex_.
    void SendNextPacket();

    wn_connection* connection_;
    int socket_;
    std::mutex mutex_;
    std::deque<Packet> queue_;
    size_t queue_limit_ = kQueueLimit;
};

}  // namespace mnet
