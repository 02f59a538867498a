// The companion process's end of the NDI preview link for tests: listens on 127.0.0.1 port 10003, accepts one
// connection and collects the JPEGs of its records (4-byte little-endian length, then the JPEG).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "preview_link.h"

class PreviewListener {
public:
    PreviewListener() {
        listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(kNdiPreviewPort);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // The port is fixed: tests running side by side in one sandbox take turns.
        for (int attempt = 0; attempt < 1200 && !bound_; ++attempt) {
            bound_ = bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
            if (!bound_) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        bound_ = bound_ && listen(listen_fd_, 1) == 0;
        if (bound_) thread_ = std::thread([this] { run(); });
    }
    ~PreviewListener() {
        shutdown(listen_fd_, SHUT_RDWR);
        if (peer_fd_.load() >= 0) shutdown(peer_fd_.load(), SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        close(listen_fd_);
        preview_client(PreviewLinkId::Ndi).Close();
    }
    bool bound() const { return bound_; }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return jpegs_.size();
    }
    std::vector<std::vector<uint8_t>> jpegs() {
        std::lock_guard<std::mutex> lock(mutex_);
        return jpegs_;
    }
    bool malformed() const { return malformed_.load(); }

private:
    bool read_exact(int fd, uint8_t* out, size_t size) {
        size_t done = 0;
        while (done < size) {
            const ssize_t n = recv(fd, out + done, size - done, 0);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    void run() {
        const int fd = accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) return;
        peer_fd_.store(fd);
        for (;;) {
            uint8_t prefix[4];
            if (!read_exact(fd, prefix, 4)) break;
            const uint32_t length = static_cast<uint32_t>(prefix[0]) | static_cast<uint32_t>(prefix[1]) << 8 |
                                    static_cast<uint32_t>(prefix[2]) << 16 | static_cast<uint32_t>(prefix[3]) << 24;
            if (length < 1 || length > kPreviewJpegMaxBytes) {
                malformed_.store(true);
                break;
            }
            std::vector<uint8_t> jpeg(length);
            if (!read_exact(fd, jpeg.data(), length)) break;
            std::lock_guard<std::mutex> lock(mutex_);
            jpegs_.push_back(std::move(jpeg));
        }
        close(fd);
    }

    int listen_fd_ = -1;
    std::atomic<int> peer_fd_{-1};
    bool bound_ = false;
    std::atomic<bool> malformed_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::vector<uint8_t>> jpegs_;
};
