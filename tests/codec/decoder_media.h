// Test media of the decoder tests, made by ffmpeg once per run and shared by every test: camera
// JPEGs and H.264/H.265 streams with ffmpeg's own decode as the reference; and a collector for the
// decoders' frame callback.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "media_fixtures.h"
#include "video_codec.h"

namespace decoder_test {

using Bytes = std::vector<uint8_t>;

struct MediaSet {
    int width = 0;
    int height = 0;
    std::vector<Bytes> packets;  // one JPEG or one access unit each
    std::vector<mpp_test::PlanarPicture> reference;
};

enum class Kind { kJpeg420, kJpeg422, kJpeg444, kH264, kH265, kH265Main10 };

inline bool is_jpeg(Kind kind) { return kind == Kind::kJpeg420 || kind == Kind::kJpeg422 || kind == Kind::kJpeg444; }

// Where made media are kept: every test runs in a process of its own, so the files outlive the process
// and each set is made once per run (the sandbox's /tmp goes away with the run).
inline std::string media_cache_root() {
    const std::string root = "/tmp/briskbox-decoder-media";
    mkdir(root.c_str(), 0700);
    return root;
}

// Makes one set's files in dir; true on success.
inline bool make_media_files(const std::string& dir, Kind kind, int width, int height, int count, int gop) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const std::string source = "-f lavfi -i testsrc2=size=" + size + ":rate=30 -frames:v " + std::to_string(count);
    if (is_jpeg(kind)) {
        const std::string pix_fmt = kind == Kind::kJpeg420   ? "yuvj420p"
                                    : kind == Kind::kJpeg422 ? "yuvj422p"
                                                             : "yuvj444p";
        return mpp_test::ffmpeg(source + " -pix_fmt " + pix_fmt + " -q:v 3 " + dir + "/p_%03d.jpg") &&
               mpp_test::ffmpeg("-i " + dir + "/p_%03d.jpg -f rawvideo -pix_fmt " + pix_fmt + " " + dir + "/ref.yuv");
    }
    const std::string gop_text = std::to_string(gop);
    const std::string encoder =
        kind == Kind::kH264 ? "-c:v libx264 -bf 0 -g " + gop_text + " -f h264"
                            : "-c:v libx265 -x265-params log-level=error:bframes=0:keyint=" + gop_text + " -f hevc";
    const std::string pix_fmt = kind == Kind::kH265Main10 ? "yuv420p10le" : "yuv420p";
    return mpp_test::ffmpeg(source + " -pix_fmt " + pix_fmt + " " + encoder + " " + dir + "/s.es") &&
           mpp_test::ffmpeg("-i " + dir + "/s.es -f rawvideo -pix_fmt yuv420p " + dir + "/ref.yuv");
}

// count pictures of ffmpeg's moving test source in kind, with the key-frame interval gop for streams, and
// ffmpeg's decode of them. Made on first use and kept for the rest of the run.
inline const MediaSet& media(Kind kind, int width, int height, int count, int gop = 10) {
    static std::mutex mutex;
    static std::map<std::tuple<int, int, int, int, int>, std::unique_ptr<MediaSet>> made;
    std::lock_guard<std::mutex> lock(mutex);
    auto key = std::make_tuple(static_cast<int>(kind), width, height, count, gop);
    auto it = made.find(key);
    if (it != made.end()) return *it->second;

    const std::string root = media_cache_root();
    const std::string dir = root + "/k" + std::to_string(static_cast<int>(kind)) + "_" + std::to_string(width) +
                            "x" + std::to_string(height) + "_" + std::to_string(count) + "_" + std::to_string(gop);
    struct stat info {};
    if (stat(dir.c_str(), &info) != 0) {
        // Made aside and moved into place whole, so a test running beside this one never sees half a set.
        std::string pattern = root + "/making_XXXXXX";
        const char* scratch = mkdtemp(&pattern[0]);
        EXPECT_NE(scratch, nullptr);
        if (scratch != nullptr) {
            const bool ok = make_media_files(scratch, kind, width, height, count, gop);
            EXPECT_TRUE(ok) << "ffmpeg could not make " << dir;
            if (!ok || rename(scratch, dir.c_str()) != 0)
                std::system(("rm -rf '" + std::string(scratch) + "'").c_str());
        }
    }
    auto set = std::make_unique<MediaSet>();
    set->width = width;
    set->height = height;
    if (is_jpeg(kind)) {
        for (int i = 1; i <= count; ++i) {
            char name[32];
            std::snprintf(name, sizeof(name), "/p_%03d.jpg", i);
            Bytes jpeg = mpp_test::read_file(dir + name);
            if (jpeg.empty()) break;
            set->packets.push_back(std::move(jpeg));
        }
    } else {
        set->packets = mpp_test::split_access_units(mpp_test::read_file(dir + "/s.es"), kind != Kind::kH264);
    }
    set->reference = mpp_test::read_planar(dir + "/ref.yuv", width, height, kind == Kind::kJpeg444 ? 0 : 1,
                                           kind == Kind::kJpeg420 || !is_jpeg(kind) ? 1 : 0);
    EXPECT_EQ(set->packets.size(), static_cast<size_t>(count)) << dir;
    EXPECT_EQ(set->reference.size(), static_cast<size_t>(count)) << dir;
    const MediaSet& result = *set;
    made.emplace(key, std::move(set));
    return result;
}

// One picture the callback saw, copied.
struct Captured {
    Bytes bytes;
    int size = 0;
    int hor_stride = 0;
    int ver_stride = 0;
    uint32_t format = 0;
    std::thread::id thread;
};

// Collects what a decoder's callback hands over. The callback is a plain function, so one collector is
// active at a time (the tests run one after another).
class Collector {
public:
    Collector() {
        std::lock_guard<std::mutex> lock(active_mutex());
        active() = this;
    }
    ~Collector() {
        std::lock_guard<std::mutex> lock(active_mutex());
        active() = nullptr;
    }

    static void Callback(uint8_t* bytes, int size, int hor_stride, int ver_stride, uint32_t format) {
        std::lock_guard<std::mutex> lock(active_mutex());
        if (active() != nullptr) active()->Add(bytes, size, hor_stride, ver_stride, format);
    }

    // Waits until count pictures arrived (or a generous time passed); true when they did.
    bool WaitFor(size_t count, int seconds = 60) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(seconds), [&] { return frames_.size() >= count; });
    }
    std::vector<Captured> Frames() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_.size();
    }

private:
    static std::mutex& active_mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static Collector*& active() {
        static Collector* collector = nullptr;
        return collector;
    }
    void Add(const uint8_t* bytes, int size, int hor_stride, int ver_stride, uint32_t format) {
        Captured c;
        c.bytes.assign(bytes, bytes + size);
        c.size = size;
        c.hor_stride = hor_stride;
        c.ver_stride = ver_stride;
        c.format = format;
        c.thread = std::this_thread::get_id();
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(std::move(c));
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Captured> frames_;
};

inline int align16(int v) { return (v + 15) / 16 * 16; }

// Largest sample difference of a captured semi-planar picture against a reference.
inline int difference(const Captured& c, MppFrameFormat fmt, const mpp_test::PlanarPicture& reference) {
    return mpp_test::max_difference(c.bytes.data(), static_cast<uint32_t>(c.hor_stride),
                                    static_cast<uint32_t>(c.ver_stride), fmt, reference);
}

// Bytes that are no picture of any kind (a fixed pseudo-random sequence).
inline Bytes garbage(size_t size, uint32_t seed) {
    Bytes out(size);
    for (uint8_t& b : out) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<uint8_t>(seed >> 16);
    }
    return out;
}

// Polls until the decoder has taken every queued packet and stayed idle for 300 ms: a worker clears the
// flag when it takes a packet and sets it only after a whole queue wait (100 ms) without one.
inline bool WaitIdle(VideoCodec& decoder, int seconds = 60) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    auto idle_since = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < end) {
        const auto now = std::chrono::steady_clock::now();
        if (decoder.GetQueueSize() != 0 || !decoder.IsIdle()) idle_since = now;
        if (now - idle_since >= std::chrono::milliseconds(300)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

}  // namespace decoder_test
