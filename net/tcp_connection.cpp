#include "tcp_connection.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "logger.h"
#include "socket_util.h"

namespace mnet {

TcpConnection::TcpConnection(std::shared_ptr<TaskScheduler> task_scheduler, int sockfd)
    : task_scheduler_(std::move(task_scheduler)), sockfd_(sockfd), channel_(std::make_shared<Channel>(sockfd)) {
    // The channel calls into this object by address: it is removed from the scheduler (Close, or the
    // destructor) before this object goes, and its owner releases it only on the scheduler's thread or
    // after closing it.
    channel_->SetReadCallback([this]() { HandleRead(); });
    channel_->SetWriteCallback([this]() { HandleWrite(); });
    channel_->SetCloseCallback([this]() { HandleClose(); });
    channel_->SetErrorCallback([this]() { HandleError(); });

    SocketUtil::SetNonBlock(sockfd_);
    SocketUtil::SetCloseOnExec(sockfd_);
    SocketUtil::SetSendBufSize(sockfd_, kSendBufferBytes);
    SocketUtil::SetKeepAlive(sockfd_);

    channel_->EnableReading();
    if (task_scheduler_ && (task_scheduler_->IsInLoopThread() || !task_scheduler_->IsRunning())) {
        task_scheduler_->UpdateChannel(channel_);
        attached_ = true;
    }
}

void TcpConnection::Attach() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (attached_ || is_closed_.load() || !task_scheduler_) return;
    attached_ = true;
    task_scheduler_->UpdateChannel(channel_);
}

TcpConnection::~TcpConnection() {
    if (!is_closed_.load() && task_scheduler_) task_scheduler_->RemoveChannel(channel_);
    if (sockfd_ > 0) ::close(sockfd_);
}

int64_t TcpConnection::NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

int64_t TcpConnection::SendBacklogMs(int64_t now_ms) const {
    int64_t since = backlog_since_ms_.load(std::memory_order_relaxed);
    return since == 0 ? 0 : now_ms - since;
}

void TcpConnection::NoteBacklog() {
    if (write_buffer_.IsEmpty()) {
        backlog_since_ms_.store(0, std::memory_order_relaxed);
    } else if (backlog_since_ms_.load(std::memory_order_relaxed) == 0) {
        int64_t now = NowMs();
        backlog_since_ms_.store(now == 0 ? 1 : now, std::memory_order_relaxed);
    }
}

std::string TcpConnection::GetIp() const { return SocketUtil::GetPeerIp(sockfd_); }
uint16_t TcpConnection::GetPort() const { return SocketUtil::GetPeerPort(sockfd_); }

void TcpConnection::SetReadCallback(const ReadCallback& cb) {
    std::lock_guard<std::mutex> lock(mutex_);
    read_cb_ = cb;
}

void TcpConnection::SetCloseCallback(const CloseCallback& cb) {
    std::lock_guard<std::mutex> lock(mutex_);
    close_cb_ = cb;
}

void TcpConnection::SetDisconnectCallback(const DisconnectCallback& cb) {
    std::lock_guard<std::mutex> lock(mutex_);
    disconnect_cb_ = cb;
    if (is_closed_.load() && disconnect_cb_) disconnect_cb_(shared_from_this());
}

void TcpConnection::HandleRead() {
    ReadCallback read_cb;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (is_closed_.load()) return;
        if (read_buffer_.IsFull()) {
            Logger::Instance().Log2(LogWarning, "connection %d from %s: %zu unread bytes reached the receive limit, "
                                    "closing", sockfd_, GetIp().c_str(), read_buffer_.ReadableBytes());
            Close();
            return;
        }
        ssize_t n = read_buffer_.Read(sockfd_, read_bytes_per_event_.load(std::memory_order_relaxed));
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        if (n <= 0) {
            Close();
            return;
        }
        read_cb = read_cb_;
    }
    if (read_cb) {
        bool ok = read_cb(shared_from_this(), read_buffer_);
        if (!ok) {
            std::lock_guard<std::mutex> lock(mutex_);
            Close();
        }
    }
}

bool TcpConnection::FlushLocked() {
    const size_t before = write_buffer_.QueuedBytes();
    int ret = write_buffer_.Send(sockfd_);
    if (write_buffer_.QueuedBytes() < before) {
        last_send_progress_ms_.store(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count(),
                                     std::memory_order_relaxed);
    }
    return ret >= 0;
}

// Waits for the mutex rather than trying it: a send that met a busy connection must not leave its data
// queued with no writable event armed.
void TcpConnection::HandleWrite() {
    if (is_closed_.load()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    if (is_closed_.load()) return;
    if (!FlushLocked()) {
        if (task_scheduler_ && !task_scheduler_->IsInLoopThread()) {
            // Close callbacks run on the scheduler's thread only.
            lock.unlock();
            Disconnect();
            return;
        }
        Close();
        return;
    }
    NoteBacklog();
    UpdateWriteInterest();
}

void TcpConnection::UpdateWriteInterest() {
    if (!task_scheduler_) return;
    if (write_buffer_.IsEmpty()) {
        if (channel_->IsWriting()) {
            channel_->DisableWriting();
            task_scheduler_->UpdateChannel(channel_);
        }
    } else if (!channel_->IsWriting()) {
        channel_->EnableWriting();
        task_scheduler_->UpdateChannel(channel_);
    }
}

void TcpConnection::HandleClose() {
    std::lock_guard<std::mutex> lock(mutex_);
    Close();
}

void TcpConnection::HandleError() {
    std::lock_guard<std::mutex> lock(mutex_);
    Close();
}

bool TcpConnection::Send(std::shared_ptr<char> data, uint32_t size) {
    if (is_closed_.load()) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!write_buffer_.Append(std::move(data), size)) return false;
        NoteBacklog();
    }
    HandleWrite();
    return true;
}

bool TcpConnection::Send(const char* data, uint32_t size) {
    if (is_closed_.load()) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!write_buffer_.Append(data, size)) return false;
        NoteBacklog();
    }
    HandleWrite();
    return true;
}

size_t TcpConnection::SendBatch(const HeadedPacket* packets, size_t count, bool defer, bool whole) {
    if (is_closed_.load() || count == 0) return 0;
    std::unique_lock<std::mutex> lock(mutex_);
    if (is_closed_.load()) return 0;
    // An empty queue takes a unit as far as it fits: one larger than the whole queue would never go.
    if (whole && !write_buffer_.IsEmpty() && !write_buffer_.HasRoomFor(packets, count)) return 0;
    size_t accepted = 0;
    if (defer || channel_->IsWriting()) {
        // Deferred, or the socket is full and writability is awaited: only queue.
        for (size_t i = 0; i < count; ++i) {
            if (write_buffer_.AppendWithHead(packets[i])) ++accepted;
        }
        return accepted;
    }
    const size_t before = write_buffer_.QueuedBytes();
    int ret = write_buffer_.SendWith(sockfd_, packets, count, &accepted);
    if (ret > 0 || write_buffer_.QueuedBytes() < before) {
        last_send_progress_ms_.store(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count(),
                                     std::memory_order_relaxed);
    }
    if (ret < 0) {
        if (task_scheduler_ && !task_scheduler_->IsInLoopThread()) {
            lock.unlock();
            Disconnect();
            return accepted;
        }
        Close();
        return accepted;
    }
    UpdateWriteInterest();
    return accepted;
}

bool TcpConnection::SendGathered(const std::vector<BufferWriter::Segment>& segments, bool write_now) {
    if (is_closed_.load()) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!write_buffer_.AppendAll(segments)) return false;
        NoteBacklog();
    }
    if (write_now) HandleWrite();
    return true;
}

void TcpConnection::Disconnect() {
    CloseOnScheduler();
}

void TcpConnection::CloseOnScheduler() {
    if (!task_scheduler_) return;
    auto conn = shared_from_this();
    auto close = [conn]() {
        std::lock_guard<std::mutex> lock(conn->mutex_);
        conn->Close();
    };
    if (task_scheduler_->AddTriggerEvent(close)) return;
    // A full queue must not lose the close: the server's Stop waits for it.
    task_scheduler_->AddTimer([close]() {
        close();
        return false;
    }, kRetryDelayMs);
}

void TcpConnection::Close() {
    if (is_closed_.load()) return;
    is_closed_.store(true);
    if (task_scheduler_) task_scheduler_->RemoveChannel(channel_);
    auto self = shared_from_this();
    if (close_cb_) close_cb_(self);
    if (disconnect_cb_) disconnect_cb_(self);
}

}  // namespace mnet
