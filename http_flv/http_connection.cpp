#include "http_connection.h"

#include <cstring>

namespace mnet {

HttpConnection::HttpConnection(wn_connection* conn)
    : connection_(conn), socket_(conn != nullptr ? conn->sock : -1) {}

HttpConnection::~HttpConnection() = default;

void HttpConnection::Send(const uint8_t* data, uint32_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection_ == nullptr || queue_.size() >= queue_limit_) return;
    std::shared_ptr<uint8_t> buffer(new uint8_t[size + kPacketSlack], std::default_delete<uint8_t[]>());
    if (size > 0) std::memcpy(buffer.get(), data, size);
    queue_.push_back(Packet{buffer, size, 0});
}

void HttpConnection::Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!queue_.empty()) SendNextPacket();
}

void HttpConnection::SendNextPacket() {
    if (queue_.empty() || connection_ == nullptr) return;
    if (connection_->send_mbuf.len > kMaxSendBuffer) return;
    const Packet& packet = queue_.front();
    wn_send(connection_, packet.data.get(), static_cast<int>(packet.size));
    queue_.pop_front();
}

int HttpConnection::GetSocket() { return socket_; }

size_t HttpConnection::QueueRoom() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size() >= queue_limit_ ? 0 : queue_limit_ - queue_.size();
}

}  // namespace mnet
