// A scripted V4L2 camera behind the V4l2Io seam. Each camera sits at a device path, offers formats with
// discrete frame sizes and intervals, grants memory-mapped buffers and fills them, on request, with the
// frames it was given (real JPEGs or H.264 access units). Like the UVC driver, VIDIOC_S_FMT adjusts the request
// to what the camera offers: the closest listed size of the format, the first format for one it does not
// offer, and reports the line length. It can stall (waits time out), vanish (every call
// on its open nodes fails as after an unplug) and fail chosen ioctls. It records the calls it saw, and
// counts unmaps and closes that happen while the capture code is still inside a wait or a frame callback.
#pragma once

#include <linux/videodev2.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "v4l2_io.h"

struct FakeFrameSize {
    uint32_t width;
    uint32_t height;
    // Frames per second of each discrete interval (interval = 1 / fps).
    std::vector<uint32_t> rates;
};

struct FakeFormat {
    uint32_t fourcc;
    std::vector<FakeFrameSize> sizes;
    // Reports its sizes as one stepwise range instead of a list.
    bool stepwise = false;
};

struct FakeCameraScript {
    // The node's own capabilities, and what the whole camera has beyond them.
    uint32_t capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    uint32_t camera_capabilities = 0;
    std::vector<FakeFormat> formats;
    uint32_t granted_buffers = 3;
    size_t buffer_length = 256 * 1024;
    // Cycled through by DQBUF.
    std::vector<std::vector<uint8_t>> frames;
    // Padding bytes the driver adds to every YUYV line (bytesperline = width * 2 + this).
    uint32_t line_padding = 0;
    // Node exists but is not a character device.
    bool regular_file = false;
    bool fail_open = false;
    // An HDMI receiver: G_FMT reports receiver_fourcc at the size of the timings, QUERY_DV_TIMINGS answers
    // dv_timings (ENOLINK without a signal) and the private input-mode request answers input_mode.
    bool receiver = false;
    bool signal = true;
    uint32_t receiver_fourcc = 0;
    v4l2_dv_timings dv_timings = {};
    int input_mode = 0;
};

class FakeCameraIo : public V4l2Io {
public:
    // Real time a stalled wait lasts before it reports the time-out the caller asked for.
    static constexpr int kStallWaitMs = 20;
    // Real time between frames of a running camera.
    static constexpr int kFramePacingMs = 2;

    ~FakeCameraIo() override;

    // Plugs a camera in at path (a full path, fixed-path root included) / pulls it out: its open nodes fail
    // with ENODEV from then on, and it is no longer found.
    void plug(const std::string& path, const FakeCameraScript& script);
    void unplug(const std::string& path);

    void set_stalled(const std::string& path, bool stalled);
    // The next count DQBUFs fail (EIO), return an empty buffer, or claim more bytes than the buffer holds.
    void fail_next_dqbuf(const std::string& path, int count);
    void empty_next_frames(const std::string& path, int count);
    void oversize_next_frames(const std::string& path, int count);
    // ioctl request that fails (with errno) the next times calls (-1: every call), 0 for none.
    void fail_ioctl(const std::string& path, unsigned long request, int error, int times = -1);
    void fail_mmap(const std::string& path, bool fail);
    // What a receiver gets from its source from now on (its open nodes stay open).
    void set_receiver_source(const std::string& path, bool signal, const v4l2_dv_timings& timings, uint32_t fourcc,
                             int input_mode);

    // What the camera saw.
    std::vector<std::string> calls(const std::string& path);
    std::vector<uint32_t> queued_indexes(const std::string& path);
    v4l2_format last_format(const std::string& path);
    v4l2_streamparm last_parm(const std::string& path);
    int open_flags(const std::string& path);
    int open_count(const std::string& path);
    int close_count(const std::string& path);
    int mapped_count(const std::string& path);
    int unmap_count(const std::string& path);
    int dequeued(const std::string& path);
    int timeouts(const std::string& path);
    int last_wait_timeout_ms();
    bool has_open_node(const std::string& path);
    // Unmaps or closes that came while the capture code was busy with the camera.
    int busy_violations() const { return violations_.load(); }

    // The test's frame callback marks itself busy with this.
    std::atomic<int> callback_busy{0};

    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    void* mmap(size_t length, int prot, int flags, int fd, off_t offset) override;
    int munmap(void* address, size_t length) override;
    int wait_readable(int fd, int timeout_ms) override;
    int stat(const char* path, struct stat* info) override;

private:
    struct Buffer {
        std::unique_ptr<uint8_t[]> memory;
        size_t length = 0;
        bool mapped = false;
        bool queued = false;
        // The descriptor it was mapped through.
        int mapped_by = -1;
    };
    struct Camera {
        std::string path;
        FakeCameraScript script;
        bool present = true;
        bool stalled = false;
        bool streaming = false;
        bool fail_mmap = false;
        unsigned long fail_request = 0;
        int fail_errno = 0;
        int fail_times = 0;
        int dqbuf_failures = 0;
        int empty_frames = 0;
        int oversize_frames = 0;
        std::vector<std::unique_ptr<Buffer>> buffers;
        // Buffers of an earlier request: the code under test may still hold their mappings.
        std::vector<std::unique_ptr<Buffer>> retired;
        std::vector<uint32_t> queue;
        std::vector<uint32_t> queued_log;
        std::vector<std::string> calls;
        v4l2_format format = {};
        v4l2_streamparm parm = {};
        int open_flags = 0;
        int opens = 0;
        int closes = 0;
        int maps = 0;
        int unmaps = 0;
        int dequeued = 0;
        int timeouts = 0;
        size_t next_frame = 0;
    };

    // One value of the camera at path, read under the lock.
    template <typename T>
    T read(const std::string& path, T Camera::*member) {
        std::lock_guard<std::mutex> lock(mutex_);
        return camera(path).*member;
    }
    Camera* camera_of_fd(int fd, bool* dead);
    Camera& camera(const std::string& path);
    int handle(Camera& cam, unsigned long request, void* arg);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, std::unique_ptr<Camera>> cameras_;
    // Cameras pulled out while their nodes were open: kept until the end, so late calls find them.
    std::vector<std::unique_ptr<Camera>> unplugged_;
    std::map<int, Camera*> fds_;
    int next_fd_ = 100;
    int last_wait_timeout_ = 0;
    // Threads waiting for a frame, by descriptor: closing or unmapping what such a thread waits on is a fault,
    // while another descriptor of the same node (a format probe) may come and go.
    std::map<int, int> waiting_on_;
    std::atomic<int> violations_{0};
};
