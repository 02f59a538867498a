#include "buffer_writer.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "socket_util.h"

namespace mnet {

BufferWriter::BufferWriter(uint32_t capacity, size_t max_bytes)
    : max_queue_length_(capacity), max_queued_bytes_(max_bytes) {}

bool BufferWriter::Append(std::shared_ptr<char> data, uint32_t size, uint32_t index) {
    if (size <= index || !data) return false;
    if (buffer_.size() >= max_queue_length_) return false;
    size_t pending = size - index;
    if (queued_bytes_ + pending > max_queued_bytes_) return false;
    buffer_.push(Packet{std::move(data), size, index});
    queued_bytes_ += pending;
    return true;
}

bool BufferWriter::Append(const char* data, uint32_t size, uint32_t index) {
    if (size <= index || data == nullptr) return false;
    if (buffer_.size() >= max_queue_length_) return false;
    if (queued_bytes_ + (size - index) > max_queued_bytes_) return false;
    std::shared_ptr<char> copy(new char[size], std::default_delete<char[]>());
    memcpy(copy.get(), data, size);
    return Append(std::move(copy), size, index);
}

int BufferWriter::Send(int sockfd, int timeout_ms) {
    if (timeout_ms > 0) SocketUtil::SetBlock(sockfd, timeout_ms);
    int ret = 0;
    while (!buffer_.empty()) {
        Packet& packet = buffer_.front();
        ssize_t n = ::send(sockfd, packet.data.get() + packet.write_index, packet.size - packet.write_index,
                           MSG_NOSIGNAL);  // a vanished peer gives EPIPE, never a signal
        if (n > 0) {
            packet.write_index += static_cast<uint32_t>(n);
            queued_bytes_ -= static_cast<size_t>(n);
            ret = static_cast<int>(n);
            if (packet.write_index == packet.size) {
                buffer_.pop();
                continue;
            }
            break;  // the socket took part of it: wait for writability
        }
        if (n == 0) {
            ret = 0;
            break;
        }
        if (errno == EINTR) continue;
        ret = (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
        break;
    }
    if (timeout_ms > 0) SocketUtil::SetNonBlock(sockfd);
    return ret;
}

}  // namespace mnet
