// An IPv4 TCP client with a receive thread, used for the preview links to the companion process. The socket
// descriptor lives under one mutex together with every send and every close, so a send never reaches a
// descriptor that was closed (and perhaps reused by another connection) in the meantime.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class TcpClient {
public:
    using DataCallback = std::function<void(TcpClient* client, const uint8_t* bytes, size_t length)>;
    using DisconnectCallback = std::function<void(TcpClient* client)>;

    // A blocked send gives up after this long; a dead peer is noticed by keep-alive after about 45 s.
    static constexpr int kSendTimeoutSeconds = 3;
    static constexpr int kKeepIdleSeconds = 30;
    static constexpr int kKeepIntervalSeconds = 5;
    static constexpr int kKeepCount = 3;
    // Bytes handed to the data callback per read.
    static constexpr size_t kReceiveChunk = 128;

    TcpClient() = default;
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    // Stores host and port and connects: 1 connected (receive thread running), 0 failed.
    int Connect(const std::string& host, int port);
    // 1 when already connected, else Connect with the stored host and port.
    int Reconnect();
    // Sends all bytes: the count, or -1 while not connected or when the send fails. A send that stops part
    // way closes the connection, so the peer never reads a torn stream; the view thread reconnects later.
    int Send(const void* bytes, size_t length);
    // Sends a 4-byte little-endian length and the payload as one unit: all of it (1), or nothing at all (0,
    // connection kept) or a part that ends the connection (0). -1 while not connected.
    int SendRecord(const uint8_t* payload, size_t length);
    bool IsConnected() const { return connected_.load(std::memory_order_relaxed); }
    // Closes the socket and joins the receive thread; no callback runs for a close made here.
    void Close();

    void SetDataCallback(DataCallback callback);
    void SetDisconnectCallback(DisconnectCallback callback);

    std::string host() const;
    int port() const { return port_.load(std::memory_order_relaxed); }

private:
    void receive_loop(int fd);
    // Sends the buffers in order under the held fd lock; the bytes sent.
    size_t send_all_locked(const uint8_t* const* parts, const size_t* sizes, int count);
    void join_receive_thread();
    // Closes the socket and joins the receive thread; the caller holds thread_mutex_.
    void end_connection();

    mutable std::mutex state_mutex_;  // host, callbacks
    std::string host_;
    std::atomic<int> port_{0};
    std::atomic<bool> connected_{false};
    std::mutex fd_mutex_;  // the descriptor, every send and every close
    int fd_ = -1;
    std::mutex thread_mutex_;  // the receive thread handle (Connect, Close)
    std::thread receive_thread_;
    DataCallback on_data_;
    DisconnectCallback on_disconnect_;
};
