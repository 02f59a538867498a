// Helpers of the pull tests: media files made by ffmpeg at test time, real stream peers (ffmpeg serving
// RTMP, the project's RTSP feeder), free loopback ports, and a listener that plays the companion process on
// the "ip1" preview port.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "peer_process.h"

namespace pull_test {

// A media file of `seconds` made by ffmpeg from its test sources: video (size, rate, codec, GOP 25) and a
// 1 kHz tone (rate, channels) as AAC. extra goes after the video codec options.
struct MediaRecipe {
    MediaRecipe(std::string file_name, std::string picture_size = "320x240", int rate = 25,
              std::string video_codec = "libx264", int sample_rate = 48000, int channels = 2, int length_s = 2,
              std::string more = std::string())
        : file(std::move(file_name)),
          size(std::move(picture_size)),
          fps(rate),
          vcodec(std::move(video_codec)),
          audio_rate(sample_rate),
          audio_channels(channels),
          seconds(length_s),
          extra(std::move(more)) {}
    std::string file;  // name inside the directory; the extension picks the container
    std::string size;
    int fps;
    std::string vcodec;
    int audio_rate;
    int audio_channels;
    int seconds;
    std::string extra;
};

inline std::string MakeMedia(const std::string& dir, const MediaRecipe& recipe) {
    const std::string path = dir + "/" + recipe.file;
    const std::string quiet = recipe.vcodec == "libx265" ? " -x265-params log-level=error" : "";
    const std::string cmd = "ffmpeg -v error -y -f lavfi -i testsrc2=size=" + recipe.size + ":rate=" +
                            std::to_string(recipe.fps) + " -f lavfi -i sine=frequency=1000:sample_rate=" +
                            std::to_string(recipe.audio_rate) + " -t " + std::to_string(recipe.seconds) +
                            " -c:v " + recipe.vcodec + " -g 25 -bf 0 -pix_fmt yuv420p" + quiet + " " + recipe.extra +
                            " -c:a aac -ac " + std::to_string(recipe.audio_channels) + " -b:a 96k " + path;
    return system(cmd.c_str()) == 0 ? path : std::string();
}

// A loopback TCP port that was free a moment ago.
inline int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

// ffmpeg serving file (looped, at its real rate) as an RTMP stream on port: the URL players use.
inline std::string RtmpUrl(int port) { return "rtmp://127.0.0.1:" + std::to_string(port) + "/live/s"; }
inline pid_t ServeRtmp(const std::string& file, int port, const std::string& log) {
    return peer_process::Spawn("ffmpeg -v error -re -stream_loop -1 -i " + file +
                                   " -c copy -f flv -listen 1 " + RtmpUrl(port),
                               log);
}

// True while something listens on the loopback TCP port (read from /proc/net/tcp, so the peer's single
// accept is not spent on a probe).
inline bool IsListening(int port) {
    char local[32];
    snprintf(local, sizeof(local), ":%04X ", port);
    const std::string table = peer_process::ReadFile("/proc/net/tcp");
    for (size_t at = table.find(local); at != std::string::npos; at = table.find(local, at + 1)) {
        // local_address rem_address st: the state follows the remote address; 0A is LISTEN.
        const size_t state = table.find(' ', table.find(' ', at + 1) + 1);
        if (state != std::string::npos && table.compare(state + 1, 2, "0A") == 0) return true;
    }
    return false;
}

// Polls until pred holds; false after timeout_ms.
inline bool WaitFor(const std::function<bool()>& pred, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Plays the companion process: listens on 127.0.0.1:port, takes one connection at a time and collects the
// preview records (4-byte little-endian length, then the JPEG).
class PreviewListener {
public:
    explicit PreviewListener(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        // The preview port is fixed: test processes running side by side in one sandbox take turns.
        bool bound = false;
        for (int attempt = 0; attempt < kBindAttempts && !bound; ++attempt) {
            bound = bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
            if (!bound) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ok_ = bound && listen(fd_, 4) == 0;
        if (ok_) thread_ = std::thread([this] { Run(); });
    }
    ~PreviewListener() {
        stop_ = true;
        const int conn = conn_.load();
        if (conn >= 0) shutdown(conn, SHUT_RDWR);
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        if (thread_.joinable()) thread_.join();
    }
    bool ok() const { return ok_; }
    std::vector<std::vector<uint8_t>> Records() {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_.size();
    }

private:
    static constexpr int kBindAttempts = 1800;

    static bool ReadAll(int fd, uint8_t* out, size_t n) {
        while (n > 0) {
            const ssize_t got = recv(fd, out, n, 0);
            if (got <= 0) return false;
            out += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }
    void Run() {
        while (!stop_) {
            const int conn = accept(fd_, nullptr, nullptr);
            if (conn < 0) return;
            conn_ = conn;
            if (stop_) shutdown(conn, SHUT_RDWR);
            for (;;) {
                uint8_t header[4];
                if (!ReadAll(conn, header, 4)) break;
                const uint32_t length = header[0] | (header[1] << 8) | (header[2] << 16) |
                                        (static_cast<uint32_t>(header[3]) << 24);
                if (length == 0 || length > (1u << 20)) break;
                std::vector<uint8_t> jpeg(length);
                if (!ReadAll(conn, jpeg.data(), length)) break;
                std::lock_guard<std::mutex> lock(mutex_);
                records_.push_back(std::move(jpeg));
            }
            conn_ = -1;
            close(conn);
        }
    }

    int fd_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> conn_{-1};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::vector<uint8_t>> records_;
};

}  // namespace pull_test
