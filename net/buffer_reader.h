// Receive buffer of a connection. Consumed bytes are reclaimed by moving the unread ones to the front before
// the buffer would grow, and the unread part is capped: a peer that sends more than the protocol above takes
// away is refused instead of growing the buffer.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mnet {

class BufferReader {
public:
    static constexpr uint32_t kInitialSize = 2048;
    static constexpr uint32_t kReadBytesPerEvent = 4096;
    // Unread bytes one connection may hold: well above any request, handshake or chunk the servers take.
    static constexpr uint32_t kMaxUnreadBytes = 4 * 1024 * 1024;

    explicit BufferReader(uint32_t initial_size = kInitialSize, uint32_t max_unread = kMaxUnreadBytes);
    virtual ~BufferReader() = default;

    // Receives up to kReadBytesPerEvent bytes: the count, 0 at end of stream or when the buffer is full
    // (IsFull tells which), negative on error with errno set (EAGAIN/EWOULDBLOCK when nothing is waiting).
    ssize_t Read(int fd) { return Read(fd, kReadBytesPerEvent); }
    // The same with another limit per call, for a connection that receives a steady stream.
    ssize_t Read(int fd, uint32_t max_bytes);

    size_t ReadableBytes() const { return writer_index_ - reader_index_; }
    size_t WritableBytes() const { return buffer_.size() - writer_index_; }
    size_t Capacity() const { return buffer_.size(); }
    bool IsFull() const { return ReadableBytes() >= max_unread_; }
    uint32_t MaxUnreadBytes() const { return max_unread_; }

    char* Peek() { return buffer_.data() + reader_index_; }
    const char* Peek() const { return buffer_.data() + reader_index_; }

    // Start of the last "\r\n" among the readable bytes, or nullptr.
    const char* FindLastCrlf() const;

    void Retrieve(size_t len);
    void RetrieveAll() { reader_index_ = writer_index_ = 0; }
    // Moves every readable byte into data; returns the count.
    uint32_t ReadAll(std::string& data);
    // Moves the readable bytes up to and including the last "\r\n" into data; returns the count (0: none).
    uint32_t ReadUntilCrlf(std::string& data);

private:
    void Compact();

    std::vector<char> buffer_;
    size_t reader_index_ = 0;
    size_t writer_index_ = 0;
    uint32_t max_unread_;
};

}  // namespace mnet
