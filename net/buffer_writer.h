// Send queue of a connection: packets waiting for the socket, bounded in count and in bytes so that a peer
// that stops reading cannot make it grow. A packet may carry a small header of its own in front of a shared
// payload, so that one payload serves many connections without a copy; the queue goes out in gathered
// writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

struct iovec;

namespace mnet {

class BufferWriter {
public:
    static constexpr uint32_t kMaxQueueLength = 500;
    // Bytes waiting at once: a few seconds of the 8 Mbit/s stream even with a whole picture group queued.
    static constexpr size_t kMaxQueuedBytes = 16 * 1024 * 1024;
    // Largest per-packet header kept in the queue entry itself.
    static constexpr uint32_t kMaxHeadBytes = 16;
    // Pieces handed to one gathered write (each packet gives at most two).
    static constexpr int kMaxGatherPieces = 256;

    // A packet offered for sending: its own small header (copied if it has to wait) in front of a payload
    // that owner keeps alive (shared, never copied).
    struct HeadedPacket {
        const char* head;
        uint32_t head_size;
        const std::shared_ptr<uint8_t>* owner;
        const uint8_t* data;
        uint32_t size;
    };

    explicit BufferWriter(uint32_t capacity = kMaxQueueLength, size_t max_bytes = kMaxQueuedBytes);
    virtual ~BufferWriter() = default;

    // Queues data[index, size); false (nothing queued) when size <= index or the queue is full.
    bool Append(std::shared_ptr<char> data, uint32_t size, uint32_t index = 0);
    // The same, with a copy of the bytes.
    bool Append(const char* data, uint32_t size, uint32_t index = 0);
    // Queues the packet (its header copied, its payload shared); false (nothing queued) when the header
    // exceeds kMaxHeadBytes, nothing would be sent, or the queue is full.
    bool AppendWithHead(const HeadedPacket& packet);
    // Sends the queue and then the given packets behind it in gathered writes: what the socket takes at once
    // is never queued. The packets it does not take are queued, each whole or dropped when the queue is full
    // (one it took in part is always queued, so that the stream stays whole). *accepted counts the given
    // packets sent or queued. The result is that of Send.
    int SendWith(int sockfd, const HeadedPacket* packets, size_t count, size_t* accepted);
    // True when all the packets could wait in the queue behind what it holds, none of them sent first.
    bool HasRoomFor(const HeadedPacket* packets, size_t count) const;

    // One piece of a packet group queued together: size bytes at data (which may point into a buffer it keeps
    // alive).
    struct Segment {
        std::shared_ptr<char> data;
        uint32_t size;
    };
    // Queues every non-empty segment, in order, or none of them when the queue has no room for all.
    bool AppendAll(const std::vector<Segment>& segments);

    // Sends what the socket takes without blocking (with timeout_ms > 0: blocking, each send waiting at most
    // that long), several packets per gathered write. 0 or more: nothing fatal; negative: the connection must
    // close.
    int Send(int sockfd, int timeout_ms = 0);

    bool IsEmpty() const { return buffer_.empty(); }
    bool IsFull() const { return buffer_.size() >= max_queue_length_; }
    uint32_t Size() const { return static_cast<uint32_t>(buffer_.size()); }
    size_t QueuedBytes() const { return queued_bytes_; }

private:
    // Bytes of a packet: head[0, head_size) then data[0, size); write_index counts over both.
    struct Packet {
        std::shared_ptr<const void> owner;
        const char* data;
        uint32_t size;
        uint32_t write_index;
        uint8_t head_size;
        char head[kMaxHeadBytes];
    };

    bool Admit(size_t pending) const;
    void Push(const HeadedPacket& packet, uint32_t write_index);
    // Fills iov with the queue's unsent bytes, then (only when the whole queue fits) those of packets from
    // first on, the first of them from skip on; returns the pieces and sets *packets_end past the last
    // packet offered.
    int Gather(struct iovec* iov, const HeadedPacket* packets, size_t first, size_t count, uint32_t skip,
               size_t* packets_end);
    // Takes n sent bytes off the queue's front; returns the bytes left over (sent beyond the queue).
    size_t Consume(size_t n);

    std::deque<Packet> buffer_;
    uint32_t max_queue_length_;
    size_t max_queued_bytes_;
    size_t queued_bytes_ = 0;
};

}  // namespace mnet
