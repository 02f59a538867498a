// One accepted (or connected) TCP stream on a task scheduler: buffered non-blocking reads handed to the
// protocol's read callback, and a bounded send queue that sends at once and waits for writability when the
// kernel refuses. Always held through a shared pointer.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "buffer_reader.h"
#include "buffer_writer.h"
#include "channel.h"
#include "task_scheduler.h"

namespace mnet {

class TcpConnection : public std::enable_shared_from_this<TcpConnection> {
public:
    using Ptr = std::shared_ptr<TcpConnection>;
    using DisconnectCallback = std::function<void(std::shared_ptr<TcpConnection> conn)>;
    using CloseCallback = std::function<void(std::shared_ptr<TcpConnection> conn)>;
    using ReadCallback = std::function<bool(std::shared_ptr<TcpConnection> conn, BufferReader& buffer)>;

    static constexpr int kSendBufferBytes = 100 * 1024;
    // Delay of a close or removal whose trigger event the scheduler refused (its queue was full).
    static constexpr uint32_t kRetryDelayMs = 100;

    // Starts watching the descriptor at once when constructed on the scheduler's own thread (or before the
    // scheduler runs); otherwise Attach does it once the connection is owned by a shared pointer, so that no
    // event reaches a half-built connection.
    TcpConnection(std::shared_ptr<TaskScheduler> task_scheduler, int sockfd);
    virtual ~TcpConnection();
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    std::shared_ptr<TaskScheduler> GetTaskScheduler() const { return task_scheduler_; }

    // The channel is live from construction on, possibly on another scheduler's thread, so the callbacks are
    // set under the connection's mutex.
    void SetReadCallback(const ReadCallback& cb);
    void SetCloseCallback(const CloseCallback& cb);
    // Set by the server that owns the connection; runs at once when the connection has already closed.
    void SetDisconnectCallback(const DisconnectCallback& cb);

    // Queue and try to send at once; dropped when closed or when the send queue is full (see BufferWriter).
    // False when dropped, so a protocol that must not lose data silently can resynchronise.
    bool Send(std::shared_ptr<char> data, uint32_t size);
    bool Send(const char* data, uint32_t size);
    // Queues the segments as one unit (all or none, without copying them); with write_now false they wait
    // for the next Flush or send, so that several messages leave in one gathered write.
    bool SendGathered(const std::vector<BufferWriter::Segment>& segments, bool write_now = true);

    // One packet of a batch: its own small header in front of a shared payload (never copied).
    using HeadedPacket = BufferWriter::HeadedPacket;
    // Queues the packets in order, each whole or not at all, and sends what the socket takes in gathered
    // writes; with defer the packets only wait in the queue for the next send or Flush, so that small
    // packets go out together with later ones. A packet that does not fit the send queue is dropped, and
    // the later ones may still fit. With whole, the packets are one unit that is useless in part (a
    // picture): behind a waiting queue without room for all of them, none is sent or queued. Returns how
    // many were sent or queued (0 when closed).
    size_t SendBatch(const HeadedPacket* packets, size_t count, bool defer = false, bool whole = false);
    // Sends what waits in the queue.
    void Flush() { HandleWrite(); }

    // Steady-clock milliseconds of the last time the socket took bytes of the send queue; 0 before that.
    int64_t LastSendProgressMs() const { return last_send_progress_ms_.load(std::memory_order_relaxed); }

    // Registers the channel if the constructor left it for later; does nothing otherwise. TcpServer calls it
    // for every connection it accepts.
    void Attach();

    // Any thread: closes the connection on its scheduler's thread.
    void Disconnect();

    bool IsClosed() const { return is_closed_.load(); }
    // How long the send queue has been waiting without once draining, in ms on the steady clock (0 while
    // it is empty); a peer that stopped reading shows a growing value.
    int64_t SendBacklogMs(int64_t now_ms) const;
    // Milliseconds on the steady clock, the time base of SendBacklogMs.
    static int64_t NowMs();
    int GetSocket() const { return sockfd_; }
    std::string GetIp() const;
    uint16_t GetPort() const;

protected:
    friend class TcpServer;

    virtual void HandleRead();
    virtual void HandleWrite();
    virtual void HandleClose();
    virtual void HandleError();

    // Caller holds mutex_.
    void Close();
    // Bytes taken from the socket per readable event (BufferReader::kReadBytesPerEvent unless changed); a
    // connection that receives a steady stream reads more at once.
    void SetReadBytesPerEvent(uint32_t bytes) { read_bytes_per_event_.store(bytes, std::memory_order_relaxed); }

    std::shared_ptr<TaskScheduler> task_scheduler_;
    BufferReader read_buffer_;
    BufferWriter write_buffer_;
    std::atomic<bool> is_closed_{false};
    std::atomic<uint32_t> read_bytes_per_event_{BufferReader::kReadBytesPerEvent};

private:
    // Caller holds mutex_: sends the queue; false when the connection must close.
    bool FlushLocked();

    // Caller holds mutex_.
    void UpdateWriteInterest();
    // Runs Close on the scheduler thread, by trigger event or, when the queue is full, by timer.
    void CloseOnScheduler();

    // Caller holds mutex_: notes when the queue stops or starts being empty.
    void NoteBacklog();

    int sockfd_;
    std::mutex mutex_;
    std::atomic<int64_t> backlog_since_ms_{0};  // 0: the send queue is empty
    bool attached_ = false;  // under mutex_
    ChannelPtr channel_;
    DisconnectCallback disconnect_cb_;
    CloseCallback close_cb_;
    ReadCallback read_cb_;
    std::atomic<int64_t> last_send_progress_ms_{0};
};

}  // namespace mnet
