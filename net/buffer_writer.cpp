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

bool BufferWriter::HasRoomFor(const HeadedPacket* packets, size_t count) const {
    if (buffer_.size() + count > max_queue_length_) return false;
    size_t bytes = 0;
    for (size_t i = 0; i < count; ++i) bytes += static_cast<size_t>(packets[i].head_size) + packets[i].size;
    return queued_bytes_ + bytes <= max_queued_bytes_;
}

bool BufferWriter::Append(std::shared_ptr<char> data, uint32_t size, uint32_t index) {
    if (size <= index || !data) return false;
    size_t pending = size - index;
    if (!Admit(pending)) return false;
    Packet packet;
    packet.data = data.get();
    packet.owner = std::move(data);
    packet.size = size;
    packet.write_index = index;
    packet.head_size = 0;
    buffer_.push_back(std::move(packet));
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
        if (segment.size == 0) continue;
        Packet packet;
        packet.data = segment.data.get();
        packet.owner = segment.data;
        packet.size = segment.size;
        packet.write_index = 0;
        packet.head_size = 0;
        buffer_.push_back(std::move(packet));
    }
    queued_bytes_ += bytes;
    return true;
}

bool BufferWriter::Append(const char* data, uint32_t size, uint32_t index) {
    if (size <= index || data == nullptr) return false;
    if (!Admit(size - index)) return false;
    std::shared_ptr<char> copy(new char[size], std::default_delete<char[]>());
    memcpy(copy.get(), data, size);
    return Append(std::move(copy), size, index);
}

void BufferWriter::Push(const HeadedPacket& p, uint32_t write_index) {
    Packet packet;
    packet.owner = *p.owner;
    packet.data = reinterpret_cast<const char*>(p.data);
    packet.size = p.size;
    packet.write_index = write_index;
    packet.head_size = static_cast<uint8_t>(p.head_size);
    if (p.head_size > 0) memcpy(packet.head, p.head, p.head_size);
    buffer_.push_back(std::move(packet));
    queued_bytes_ += static_cast<size_t>(p.head_size) + p.size - write_index;
}

bool BufferWriter::AppendWithHead(const HeadedPacket& p) {
    if (p.head_size > kMaxHeadBytes || (p.head_size > 0 && p.head == nullptr)) return false;
    if (p.size > 0 && (p.owner == nullptr || !*p.owner || p.data == nullptr)) return false;
    size_t pending = static_cast<size_t>(p.head_size) + p.size;
    if (pending == 0 || !Admit(pending)) return false;
    Push(p, 0);
    return true;
}

int BufferWriter::Gather(struct iovec* iov, const HeadedPacket* packets, size_t first, size_t count, uint32_t skip,
                         size_t* packets_end) {
    int pieces = 0;
    auto add = [&](const void* base, size_t len) {
        iov[pieces].iov_base = const_cast<void*>(base);
        iov[pieces].iov_len = len;
        ++pieces;
    };
    bool whole_queue = true;
    for (auto it = buffer_.begin(); it != buffer_.end(); ++it) {
        if (pieces + 2 > kMaxGatherPieces) {
            whole_queue = false;
            break;
        }
        Packet& packet = *it;
        uint32_t index = packet.write_index;
        if (index < packet.head_size) {
            add(packet.head + index, packet.head_size - index);
            index = packet.head_size;
        }
        uint32_t offset = index - packet.head_size;
        if (offset < packet.size) add(packet.data + offset, packet.size - offset);
    }
    size_t j = first;
    if (whole_queue) {
        for (; j < count && pieces + 2 <= kMaxGatherPieces; ++j) {
            const HeadedPacket& p = packets[j];
            uint32_t index = j == first ? skip : 0;
            if (index < p.head_size) {
                add(p.head + index, p.head_size - index);
                index = p.head_size;
            }
            uint32_t offset = index - p.head_size;
            if (offset < p.size) add(p.data + offset, p.size - offset);
        }
    }
    *packets_end = j;
    return pieces;
}

size_t BufferWriter::Consume(size_t n) {
    while (n > 0 && !buffer_.empty()) {
        Packet& packet = buffer_.front();
        size_t rest = static_cast<size_t>(packet.head_size) + packet.size - packet.write_index;
        if (n < rest) {
            packet.write_index += static_cast<uint32_t>(n);
            queued_bytes_ -= n;
            return 0;
        }
        n -= rest;
        queued_bytes_ -= rest;
        buffer_.pop_front();
    }
    return n;
}

int BufferWriter::Send(int sockfd, int timeout_ms) {
    if (timeout_ms > 0) SocketUtil::SetBlock(sockfd, timeout_ms);
    size_t accepted = 0;
    int ret = SendWith(sockfd, nullptr, 0, &accepted);
    if (timeout_ms > 0) SocketUtil::SetNonBlock(sockfd);
    return ret;
}

int BufferWriter::SendWith(int sockfd, const HeadedPacket* packets, size_t count, size_t* accepted) {
    *accepted = 0;
    int ret = 0;
    size_t next = 0;    // the first given packet not yet wholly sent
    uint32_t skip = 0;  // bytes of it already sent
    struct iovec iov[kMaxGatherPieces];
    for (;;) {
        size_t packets_end = next;
        int pieces = Gather(iov, packets, next, count, skip, &packets_end);
        if (pieces == 0) break;
        struct msghdr msg = {};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(pieces);
        ssize_t n = ::sendmsg(sockfd, &msg, MSG_NOSIGNAL);  // a vanished peer gives EPIPE, never a signal
        if (n > 0) {
            ret = n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(n);
            size_t left = Consume(static_cast<size_t>(n));
            while (left > 0 && next < packets_end) {
                const HeadedPacket& p = packets[next];
                size_t rest = static_cast<size_t>(p.head_size) + p.size - skip;
                if (left < rest) {
                    skip += static_cast<uint32_t>(left);
                    left = 0;
                    break;
                }
                left -= rest;
                ++next;
                ++*accepted;
                skip = 0;
            }
            size_t offered = 0;
            for (int i = 0; i < pieces; ++i) offered += iov[i].iov_len;
            if (static_cast<size_t>(n) < offered) break;  // the socket took part of it: wait for writability
            continue;
        }
        if (n == 0) break;
        if (errno == EINTR) continue;
        ret = (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
        break;
    }
    if (ret < 0) return ret;
    for (; next < count; ++next) {
        if (skip > 0) {
            // Part of it is on the wire already: the rest must follow whatever the limits say.
            Push(packets[next], skip);
            skip = 0;
            ++*accepted;
        } else if (AppendWithHead(packets[next])) {
            ++*accepted;
        }
    }
    return ret;
}

}  // namespace mnet
