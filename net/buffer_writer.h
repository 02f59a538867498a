// Send queue of a connection: packets waiting for the socket, bounded in count and in bytes so that a peer
// that stops reading cannot make it grow. A packet may carry a small header of its own in front of a shared
// payload, so that one payload serves many connections without a copy; the queue goes out in gathered
// writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

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

    explicit BufferWriter(uint32_t capacity = kMaxQueueLength, size_t max_bytes = kMaxQueuedBytes);
    virtual ~BufferWriter() = default;

    // Queues data[index, size); false (nothing queued) when size <= index or the queue is full.
    bool Append(std::shared_ptr<char> data, uint32_t size, uint32_t index = 0);
    // The same, with a copy of the bytes.
    bool Append(const char* data, uint32_t size, uint32_t index = 0);
    // Queues head[0, head_size) (copied) followed by data[0, size) (shared, not copied); false (nothing
    // queued) when head_size exceeds kMaxHeadBytes, nothing would be sent, or the queue is full.
    bool AppendWithHead(const char* head, uint32_t head_size, std::shared_ptr<char> data, uint32_t size);

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
        std::shared_ptr<char> data;
        uint32_t size;
        uint32_t write_index;
        uint8_t head_size;
        char head[kMaxHeadBytes];
    };

    bool Admit(size_t pending) const;

    std::deque<Packet> buffer_;
    uint32_t max_queue_length_;
    size_t max_queued_bytes_;
    size_t queued_bytes_ = 0;
};

}  // namespace mnet
