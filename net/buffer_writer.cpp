#include "buffer_writer.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

#include "socket_util.h"

namespace mnet {

BufferWriter::BufferWriter(uint32_t capacity, size_t max_bytes)
    : max_queue_length_(capacity), max_queued_bytes_(max_bytes) {}

bool BufferWriter::Admit(size_t pending) const {
    return buffer_.size() < max_queue_length_ && queued_bytes_ + pending <= max_queued_bytes_;
}

bool BufferWriter::Append(std::shared_ptr<char> data, uint32_t size, uint32_t index) {
    if (size <= index || !data) return false;
    size_t pending = size - index;
    if (!Admit(pending)) return false;
    Packet packet;
    packet.data = std::move(data);
    packet.size = size;
    packet.write_index = index;
    packet.head_size = 0;
    buffer_.push_back(std::move(packet));
    queued_bytes_ += pending;
    return true;
}

bool BufferWriter::Append(const char* data, uint32_t size, uint32_t index) {
    if (size <= index || data == nullptr) return false;
    if (!Admit(size - index)) return false;
    std::shared_ptr<char> copy(new char[size], std::default_delete<char[]>());
    memcpy(copy.get(), data, size);
    return Append(std::move(copy), size, index);
}

bool BufferWriter::AppendWithHead(const char* head, uint32_t head_size, std::shared_ptr<char> data, uint32_t size) {
    if (head_size > kMaxHeadBytes || (head_size > 0 && head == nullptr)) return false;
    if (size > 0 && !data) return false;
    size_t pending = static_cast<size_t>(head_size) + size;
    if (pending == 0 || !Admit(pending)) return false;
    Packet packet;
    packet.data = std::move(data);
    packet.size = size;
    packet.write_index = 0;
    packet.head_size = static_cast<uint8_t>(head_size);
    if (head_size > 0) memcpy(packet.head, head, head_size);
    buffer_.push_back(std::move(packet));
    queued_bytes_ += pending;
    return true;
}

int BufferWriter::Send(int sockfd, int timeout_ms) {
    if (timeout_ms > 0) SocketUtil::SetBlock(sockfd, timeout_ms);
    int ret = 0;
    struct iovec iov[kMaxGatherPieces];
    while (!buffer_.empty()) {
        int pieces = 0;
        for (auto it = buffer_.begin(); it != buffer_.end() && pieces + 2 <= kMaxGatherPieces; ++it) {
            Packet& packet = *it;
            uint32_t index = packet.write_index;
            if (index < packet.head_size) {
                iov[pieces].iov_base = packet.head + index;
                iov[pieces].iov_len = packet.head_size - index;
                ++pieces;
                index = packet.head_size;
            }
            uint32_t offset = index - packet.head_size;
            if (offset < packet.size) {
                iov[pieces].iov_base = packet.data.get() + offset;
                iov[pieces].iov_len = packet.size - offset;
                ++pieces;
            }
        }
        struct msghdr msg = {};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(pieces);
        ssize_t n = ::sendmsg(sockfd, &msg, MSG_NOSIGNAL);  // a vanished peer gives EPIPE, never a signal
        if (n > 0) {
            ret = n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(n);
            size_t left = static_cast<size_t>(n);
            queued_bytes_ -= left;
            while (left > 0 && !buffer_.empty()) {
                Packet& packet = buffer_.front();
                size_t rest = static_cast<size_t>(packet.head_size) + packet.size - packet.write_index;
                if (left < rest) {
                    packet.write_index += static_cast<uint32_t>(left);
                    left = 0;
                    break;
                }
                left -= rest;
                buffer_.pop_front();
            }
            size_t offered = 0;
            for (int i = 0; i < pieces; ++i) offered += iov[i].iov_len;
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
