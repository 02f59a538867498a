#include "buffer_writer.h"

#include <sys/socket.h>
#include <sys/uio.h>

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
    buffer_.push_back(Packet{std::move(data), size, index});
    queued_bytes_ += pending;
    return true;
}

bool BufferWriter::AppendAll(const std::vector<Segment>& segments) {
    size_t count = 0;
    size_t bytes = 0;
    for (const Segment& segment : segments) {
        if (segment.size == 0) continue;
        if (!segment.data) return false;
        ++count;
        bytes += segment.size;
    }
    if (count == 0 || buffer_.size() + count > max_queue_length_ || queued_bytes_ + bytes > max_queued_bytes_) {
        return false;
    }
    for (const Segment& segment : segments) {
        if (segment.size > 0) buffer_.push_back(Packet{segment.data, segment.size, 0});
    }
    queued_bytes_ += bytes;
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
        struct iovec iov[kMaxGather];
        int count = 0;
        for (auto it = buffer_.begin(); it != buffer_.end() && count < kMaxGather; ++it, ++count) {
            iov[count].iov_base = it->data.get() + it->write_index;
            iov[count].iov_len = it->size - it->write_index;
        }
        struct msghdr msg = {};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(count);
        ssize_t n = ::sendmsg(sockfd, &msg, MSG_NOSIGNAL);  // a vanished peer gives EPIPE, never a signal
        if (n > 0) {
            ret = static_cast<int>(n);
            queued_bytes_ -= static_cast<size_t>(n);
            size_t left = static_cast<size_t>(n);
            while (left > 0) {
                Packet& packet = buffer_.front();
                size_t pending = packet.size - packet.write_index;
                if (left < pending) {
                    packet.write_index += static_cast<uint32_t>(left);
                    break;
                }
                left -= pending;
                buffer_.pop_front();
            }
            size_t offered = 0;
            for (int i = 0; i < count; ++i) offered += iov[i].iov_len;
            if (static_cast<size_t>(n) < offered) break;  // the socket took part of it: wait for writability
            continue;
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
