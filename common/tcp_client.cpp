#include "tcp_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

TcpClient::~TcpClient() {
    Close();
}

std::string TcpClient::host() const {
    std::lock_guard<std::mutex> lock(state_mutex_);
    return host_;
}

void TcpClient::SetDataCallback(DataCallback callback) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    on_data_ = std::move(callback);
}

void TcpClient::SetDisconnectCallback(DisconnectCallback callback) {
    std::lock_guard<std::mutex> lock(state_mutex_);
    on_disconnect_ = std::move(callback);
}

void TcpClient::join_receive_thread() {
    if (!receive_thread_.joinable()) return;
    // A callback that reconnects runs on the receive thread itself, which ends right after it.
    if (receive_thread_.get_id() == std::this_thread::get_id()) {
        receive_thread_.detach();
    } else {
        receive_thread_.join();
    }
}

int TcpClient::Connect(const std::string& host, int port) {
    std::lock_guard<std::mutex> thread_lock(thread_mutex_);
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        host_ = host;
    }
    port_.store(port, std::memory_order_relaxed);

    // A previous connection ends first: its receive thread is joined so none is left behind.
    end_connection();

    if (host.empty()) return 0;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (port < 0 || port > 65535 || inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        close(fd);
        return 0;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
        perror("timeout");
        close(fd);
        return 0;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    timeval send_timeout{kSendTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof(send_timeout));
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleSeconds, sizeof(kKeepIdleSeconds));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalSeconds, sizeof(kKeepIntervalSeconds));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof(kKeepCount));

    {
        std::lock_guard<std::mutex> lock(fd_mutex_);
        fd_ = fd;
        connected_.store(true, std::memory_order_relaxed);
    }
    try {
        receive_thread_ = std::thread(&TcpClient::receive_loop, this, fd);
    } catch (const std::system_error& e) {
        std::lock_guard<std::mutex> lock(fd_mutex_);
        connected_.store(false, std::memory_order_relaxed);
        close(fd_);
        fd_ = -1;
        fprintf(stderr, "create thread failed.: %s\n", e.what());
        return 0;
    }
    return 1;
}

int TcpClient::Reconnect() {
    if (IsConnected()) return 1;
    return Connect(host(), port());
}

void TcpClient::Close() {
    std::lock_guard<std::mutex> thread_lock(thread_mutex_);
    end_connection();
}

void TcpClient::end_connection() {
    {
        std::lock_guard<std::mutex> lock(fd_mutex_);
        connected_.store(false, std::memory_order_relaxed);
        // Wakes the receive thread; it closes the descriptor on its way out.
        if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
    }
    join_receive_thread();
    std::lock_guard<std::mutex> lock(fd_mutex_);
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

void TcpClient::receive_loop(int fd) {
    uint8_t buffer[kReceiveChunk];
    for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n > 0) {
            DataCallback callback;
            {
                std::lock_guard<std::mutex> lock(state_mutex_);
                callback = on_data_;
            }
            if (callback) callback(this, buffer, static_cast<size_t>(n));
            if (!IsConnected()) break;
            continue;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            perror("receive failed!");
            if (IsConnected()) continue;
        }
        break;
    }
    // True only when the peer ended the connection (or a failed send cut it); a local Close clears the
    // flag before it wakes this thread.
    const bool lost = connected_.exchange(false, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> lock(fd_mutex_);
        if (fd_ == fd) {
            close(fd);
            fd_ = -1;
        }
    }
    if (!lost) return;
    DisconnectCallback callback;
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        callback = on_disconnect_;
    }
    if (callback) callback(this);
    printf("client disconnected.\n");
    fflush(stdout);
}

size_t TcpClient::send_all_locked(const uint8_t* const* parts, const size_t* sizes, int count) {
    iovec iov[2];
    size_t total = 0;
    int n_iov = 0;
    for (int i = 0; i < count && n_iov < 2; ++i) {
        if (sizes[i] == 0) continue;
        iov[n_iov].iov_base = const_cast<uint8_t*>(parts[i]);
        iov[n_iov].iov_len = sizes[i];
        total += sizes[i];
        ++n_iov;
    }
    size_t sent = 0;
    int first = 0;
    while (sent < total) {
        msghdr msg{};
        msg.msg_iov = &iov[first];
        msg.msg_iovlen = static_cast<size_t>(n_iov - first);
        // MSG_NOSIGNAL: a vanished peer gives EPIPE, never a SIGPIPE that would end the process.
        const ssize_t n = sendmsg(fd_, &msg, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
        size_t left = static_cast<size_t>(n);
        while (first < n_iov && left >= iov[first].iov_len) {
            left -= iov[first].iov_len;
            ++first;
        }
        if (first < n_iov) {
            iov[first].iov_base = static_cast<uint8_t*>(iov[first].iov_base) + left;
            iov[first].iov_len -= left;
        }
    }
    return sent;
}

int TcpClient::Send(const void* bytes, size_t length) {
    std::lock_guard<std::mutex> lock(fd_mutex_);
    if (!IsConnected() || fd_ < 0) return -1;
    if (bytes == nullptr || length == 0) return 0;
    const uint8_t* parts[1] = {static_cast<const uint8_t*>(bytes)};
    const size_t sizes[1] = {length};
    const size_t sent = send_all_locked(parts, sizes, 1);
    if (sent == length) return static_cast<int>(length);
    // Part of the bytes left: the stream can no longer be read in step, so the connection ends here.
    if (sent > 0) shutdown(fd_, SHUT_RDWR);
    return -1;
}

int TcpClient::SendRecord(const uint8_t* payload, size_t length) {
    if (payload == nullptr && length > 0) return 0;
    const uint32_t n = static_cast<uint32_t>(length);
    const uint8_t prefix[4] = {static_cast<uint8_t>(n & 0xff), static_cast<uint8_t>((n >> 8) & 0xff),
                               static_cast<uint8_t>((n >> 16) & 0xff), static_cast<uint8_t>((n >> 24) & 0xff)};
    std::lock_guard<std::mutex> lock(fd_mutex_);
    if (!IsConnected() || fd_ < 0) return -1;
    const uint8_t* parts[2] = {prefix, payload};
    const size_t sizes[2] = {sizeof(prefix), length};
    const size_t sent = send_all_locked(parts, sizes, 2);
    if (sent == sizeof(prefix) + length) return 1;
    if (sent > 0) shutdown(fd_, SHUT_RDWR);
    return 0;
}
