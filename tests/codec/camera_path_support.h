// What the HDMI picture and camera frame path tests share: a two-colour test picture made by ffmpeg as
// camera JPEGs, an H.264 stream with a parameter set on every key frame and a raw YUYV frame; a loopback
// listener standing in for the companion process on the camera's preview port; and small helpers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "media_fixtures.h"

namespace camera_test {

using Bytes = std::vector<uint8_t>;

struct Rgb {
    int r, g, b;
};
// The left half of every test picture, and the right half.
constexpr Rgb kLeft = {220, 60, 30};
constexpr Rgb kRight = {30, 90, 200};

inline bool near(const uint8_t* pixel, Rgb expected, int tolerance = 24) {
    return std::abs(pixel[0] - expected.r) <= tolerance && std::abs(pixel[1] - expected.g) <= tolerance &&
           std::abs(pixel[2] - expected.b) <= tolerance;
}

inline void quick_pause(int64_t ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

inline bool wait_until(const std::function<bool()>& condition, int timeout_ms = 30000) {
    const auto start = std::chrono::steady_clock::now();
    while (!condition()) {
        if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(timeout_ms)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

struct CameraMedia {
    int width = 0;
    int height = 0;
    std::vector<Bytes> jpegs;        // 4:2:0 camera JPEGs
    std::vector<Bytes> jpegs_422;    // 4:2:2 camera JPEGs
    std::vector<Bytes> h264;         // access units, SPS and PPS before every key frame (every 10th)
    Bytes yuyv;                      // one packed YUYV picture
    Bytes nv12;                      // the same as NV12 and NV16
    Bytes nv16;
};

// Makes the media files of the test picture at width x height in dir; true on success.
inline bool make_camera_media(const std::string& dir, int width, int height) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    char box[160];
    std::snprintf(box, sizeof(box), "drawbox=x=%d:y=0:w=%d:h=%d:color=0x%02X%02X%02X:t=fill", width / 2, width / 2,
                  height, kRight.r, kRight.g, kRight.b);
    char colour[32];
    std::snprintf(colour, sizeof(colour), "0x%02X%02X%02X", kLeft.r, kLeft.g, kLeft.b);
    const std::string source = "-f lavfi -i color=c=" + std::string(colour) + ":s=" + size + ":r=30," + box;
    return mpp_test::ffmpeg(source + " -frames:v 12 -pix_fmt yuvj420p -q:v 3 " + dir + "/j_%03d.jpg") &&
           mpp_test::ffmpeg(source + " -frames:v 4 -pix_fmt yuvj422p -q:v 3 " + dir + "/k_%03d.jpg") &&
           mpp_test::ffmpeg(source + " -frames:v 60 -pix_fmt yuv420p -c:v libx264 -bf 0 -g 10 " +
                            "-x264-params repeat-headers=1 -f h264 " + dir + "/s.h264") &&
           mpp_test::ffmpeg(source + " -frames:v 1 -pix_fmt yuyv422 -f rawvideo " + dir + "/y.yuyv") &&
           mpp_test::ffmpeg(source + " -frames:v 1 -pix_fmt nv12 -f rawvideo " + dir + "/p.nv12") &&
           mpp_test::ffmpeg(source + " -frames:v 1 -pix_fmt yuv422p -f rawvideo " + dir + "/p.422p");
}

// The test picture at width x height. Every test runs in a process of its own, so the files are made once
// per run under /tmp (the sandbox's /tmp goes away with the run) and read by each process.
inline const CameraMedia& camera_media(int width, int height) {
    static std::mutex mutex;
    static std::vector<std::unique_ptr<CameraMedia>> made;
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& m : made)
        if (m->width == width && m->height == height) return *m;
    const std::string root = "/tmp/briskbox-camera-path-media";
    mkdir(root.c_str(), 0700);
    const std::string dir = root + "/" + std::to_string(width) + "x" + std::to_string(height);
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0) {
        // Made aside and moved into place whole, so a process beside this one never reads half a set.
        std::string pattern = root + "/making_XXXXXX";
        if (mkdtemp(&pattern[0]) != nullptr) {
            if (!make_camera_media(pattern, width, height) || rename(pattern.c_str(), dir.c_str()) != 0)
                std::system(("rm -rf '" + pattern + "'").c_str());
        }
    }
    auto m = std::make_unique<CameraMedia>();
    m->width = width;
    m->height = height;
    for (int i = 1; i <= 12; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "/j_%03d.jpg", i);
        m->jpegs.push_back(mpp_test::read_file(dir + name));
        if (i <= 4) {
            std::snprintf(name, sizeof(name), "/k_%03d.jpg", i);
            m->jpegs_422.push_back(mpp_test::read_file(dir + name));
        }
    }
    m->h264 = mpp_test::split_access_units(mpp_test::read_file(dir + "/s.h264"), false);
    m->yuyv = mpp_test::read_file(dir + "/y.yuyv");
    m->nv12 = mpp_test::read_file(dir + "/p.nv12");
    // NV16 from planar 4:2:2 (ffmpeg does not write NV16): the luma, then U and V interleaved.
    const Bytes planar = mpp_test::read_file(dir + "/p.422p");
    const size_t luma = static_cast<size_t>(width) * height;
    if (planar.size() == luma * 2) {
        m->nv16.assign(planar.begin(), planar.begin() + static_cast<long>(luma));
        for (size_t i = 0; i < luma / 2; ++i) {
            m->nv16.push_back(planar[luma + i]);
            m->nv16.push_back(planar[luma + luma / 2 + i]);
        }
    }
    made.push_back(std::move(m));
    return *made.back();
}

// The companion process on a preview port: accepts one connection at a time and keeps every record
// (4-byte little-endian length, then the bytes) it receives.
class PreviewListener {
public:
    explicit PreviewListener(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // Another test process of the suite may hold the fixed port for a while.
        bound_ = wait_until([&] { return bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0; },
                            120000) &&
                 listen(fd_, 4) == 0;
        if (bound_) thread_ = std::thread([this] { run(); });
    }
    ~PreviewListener() {
        stop_.store(true);
        shutdown(fd_, SHUT_RDWR);
        const int client = client_.load();
        if (client >= 0) shutdown(client, SHUT_RDWR);
        if (thread_.joinable()) thread_.join();
        close(fd_);
    }
    bool bound() const { return bound_; }
    std::vector<Bytes> records() {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_.size();
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.clear();
    }

private:
    void run() {
        while (!stop_.load()) {
            const int client = accept(fd_, nullptr, nullptr);
            if (client < 0) return;
            client_.store(client);
            if (stop_.load()) shutdown(client, SHUT_RDWR);
            Bytes pending;
            uint8_t chunk[65536];
            while (!stop_.load()) {
                const ssize_t n = recv(client, chunk, sizeof(chunk), 0);
                if (n <= 0) break;
                pending.insert(pending.end(), chunk, chunk + n);
                while (pending.size() >= 4) {
                    const uint32_t length = pending[0] | (pending[1] << 8) | (pending[2] << 16) |
                                            (static_cast<uint32_t>(pending[3]) << 24);
                    if (pending.size() < 4 + static_cast<size_t>(length)) break;
                    std::lock_guard<std::mutex> lock(mutex_);
                    records_.emplace_back(pending.begin() + 4, pending.begin() + 4 + length);
                    pending.erase(pending.begin(), pending.begin() + 4 + length);
                }
            }
            client_.store(-1);
            close(client);
        }
    }

    int fd_ = -1;
    std::atomic<int> client_{-1};
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Bytes> records_;
};

}  // namespace camera_test
