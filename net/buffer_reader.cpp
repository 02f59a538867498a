#include "buffer_reader.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace mnet {

BufferReader::BufferReader(uint32_t initial_size, uint32_t max_unread)
    : buffer_(initial_size), max_unread_(max_unread == 0 ? 1 : max_unread) {}

void BufferReader::Compact() {
    size_t readable = ReadableBytes();
    if (readable > 0) memmove(buffer_.data(), buffer_.data() + reader_index_, readable);
    reader_index_ = 0;
    writer_index_ = readable;
}

ssize_t BufferReader::Read(int fd, uint32_t max_bytes) {
    size_t readable = ReadableBytes();
    if (readable >= max_unread_) return 0;
    size_t want = std::min<size_t>(std::max<uint32_t>(max_bytes, 1), max_unread_ - readable);
    if (WritableBytes() < want && reader_index_ > 0) Compact();
    if (WritableBytes() < want) buffer_.resize(writer_index_ + want);

    ssize_t n;
    do {
        n = ::recv(fd, buffer_.data() + writer_index_, want, 0);
    } while (n < 0 && errno == EINTR);
    if (n > 0) writer_index_ += static_cast<size_t>(n);
    return n;
}

const char* BufferReader::FindLastCrlf() const {
    size_t readable = ReadableBytes();
    if (readable < 2) return nullptr;
    const char* begin = Peek();
    for (size_t i = readable - 1; i >= 1; --i) {
        if (begin[i] == '\n' && begin[i - 1] == '\r') return begin + i - 1;
    }
    return nullptr;
}

void BufferReader::Retrieve(size_t len) {
    if (len >= ReadableBytes()) {
        RetrieveAll();
        return;
    }
    reader_index_ += len;
}

uint32_t BufferReader::ReadAll(std::string& data) {
    size_t size = ReadableBytes();
    data.assign(Peek(), size);
    RetrieveAll();
    return static_cast<uint32_t>(size);
}

uint32_t BufferReader::ReadUntilCrlf(std::string& data) {
    const char* crlf = FindLastCrlf();
    if (crlf == nullptr) return 0;
    size_t size = static_cast<size_t>(crlf + 2 - Peek());
    data.assign(Peek(), size);
    Retrieve(size);
    return static_cast<uint32_t>(size);
}

}  // namespace mnet
