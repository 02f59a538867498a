// Send queue of a connection: packets waiting for the socket, bounded in count and in bytes so that a peer
// that stops reading cannot make it grow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <deque>
#include <vector>

namespace mnet {

class BufferWriter {
public:
    static constexpr uint32_t kMaxQueueLength = 500;
    // Bytes waiting at once: a few seconds of the 8 Mbit/s stream even with a whole picture group queued.
    static constexpr size_t kMaxQueuedBytes = 16 * 1024 * 1024;
    // Packets one send call gathers from the front of the queue.
    static constexpr int kMaxGather = 64;

    // One piece of a gathered packet: size bytes at data (which may point into a buffer it keeps alive).
    struct Segment {
        std::shared_ptr<char> data;
        uint32_t size;
    };

    explicit BufferWriter(uint32_t capacity = kMaxQueueLength, size_t max_bytes = kMaxQueuedBytes);
    virtual ~BufferWriter() = default;

    // Queues data[index, size); false (nothing queued) when size <= index or the queue is full.
    bool Append(std::shared_ptr<char> data, uint32_t size, uint32_t index = 0);
    // The same, with a copy of the bytes.
    bool Append(const char* data, uint32_t size, uint32_t index = 0);
    // Queues every non-empty segment, in order, or none of them when the queue has no room for all.
    bool AppendAll(const std::vector<Segment>& segments);

    // Sends what the socket takes without blocking (with timeout_ms > 0: blocking, each send waiting at most
    // that long), up to kMaxGather packets per system call. 0 or more: nothing fatal; negative: the
    // connection must close.
    int Send(int sockfd, int timeout_ms = 0);

    bool IsEmpty() const { return buffer_.empty(); }
    bool IsFull() const { return buffer_.size() >= max_queue_length_; }
    uint32_t Size() const { return static_cast<uint32_t>(buffer_.size()); }
    size_t QueuedBytes() const { return queued_bytes_; }

private:
    struct Packet {
        std::shared_ptr<char> data;
        uint32_t size;
        uint32_t write_index;
    };

    std::deque<Packet> buffer_;
    uint32_t max_queue_length_;
    size_t max_queued_bytes_;
    size_t queued_bytes_ = 0;
};

}  // namespace mnet
