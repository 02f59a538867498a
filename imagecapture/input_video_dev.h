// One V4L2 capture device: open the node, set format and frame rate, map the driver's buffers, stream, and
// run a capture thread that hands each filled buffer to the device's frame callback and gives it back to
// the driver. Stopping a device clears initFinish and joins its capture thread before the buffers are
// unmapped and the node closed, so the thread never reads an unmapped buffer or a reused descriptor.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "video_dev_msg.h"

// Buffers queued to the driver, and frame descriptors per device.
constexpr int V4L2_COUNT = 3;
// A driver granting more buffers than this is refused (the table is allocated from its answer).
constexpr uint32_t kMaxV4l2Buffers = 32;
// A width or height the driver sets beyond this is refused (the frame rings are not sized for it).
constexpr uint32_t kMaxCaptureDimension = 16384;
// The capture thread's wait for a frame; running out raises the port's time-out flag.
constexpr int kCaptureWaitMs = 2000;
// More failed reads than this in a capture thread's life end its capture.
constexpr int kMaxFailedReads = 3;
// Pause after every set-up attempt, so the camera settles before the next event is judged.
constexpr int kVideoInitSettleMs = 3000;

constexpr int kDevKindHdmiIn = 0;
constexpr int kDevKindUvc = 1;

// FourCC, size and rate of a device, and 8 further bytes handed along with every frame.
struct VideoFormatBlock {
    uint32_t fourcc;
    int32_t width;
    int32_t height;
    int32_t fps;
    uint8_t extra[8];
};

// One frame handed to the callback; data is the driver's mapped buffer, valid only during the call. The
// size and line length are those the driver set, which may differ from what was asked.
struct FrameDescriptor {
    uint32_t bytesused;
    uint32_t width;
    uint32_t height;
    uint8_t* data;
    // Bytes per line of a raw picture (0 for compressed formats).
    uint32_t bytesperline;
};

// Called on the capture thread with (frame, byte count, a copy of the format block, the format block).
using InputVideoFrameCallback = int (*)(FrameDescriptor* frame, int bytes, VideoFormatBlock format_copy,
                                        const VideoFormatBlock* format);

struct MappedBuffer {
    void* start;
    size_t length;
};

struct InputVideoDevStruct {
    InputVideoDevStruct() = default;
    InputVideoDevStruct(const InputVideoDevStruct&) = delete;
    InputVideoDevStruct& operator=(const InputVideoDevStruct&) = delete;
    // A capture thread still running when the process exits is left to end with it, not aborted.
    ~InputVideoDevStruct() {
        if (capture_thread.joinable()) capture_thread.detach();
    }

    std::atomic<int> fd{-1};
    int kind = kDevKindUvc;
    // Index within its kind: UVC port 0 or 1, HDMI-in 0.
    int port = 0;
    // 1 (single-planar capture) or 9 (multi-planar capture).
    int buf_type = 1;
    // Frames are read from the device only while this is 1.
    std::atomic<uint8_t> capture_output{0};
    // 1 from a successful set-up until the device is stopped; the capture thread runs while it is 1.
    std::atomic<uint8_t> initFinish{0};
    std::atomic<InputVideoFrameCallback> callback{nullptr};
    // A value the device's user keeps with it.
    std::atomic<uint64_t> user_value{0};

    // Owned by whoever set the device up or stops it; the capture thread uses them in between.
    std::vector<MappedBuffer> buffers;
    FrameDescriptor frames[V4L2_COUNT] = {};
    int frame_counter = 0;

    // Guards msg, format and capture_thread, and makes stopping the device one step.
    std::mutex lock;
    // The discovery record of the port (device path first of all).
    video_dev_msg msg = {};
    // What is asked of the camera; once set up, what the driver really set (FourCC and size).
    VideoFormatBlock format = {};
    // Bytes per line the driver set (0 for compressed formats).
    uint32_t bytesperline = 0;
    std::thread capture_thread;
};

// The two UVC ports' devices (index = port) and the HDMI-in receiver's.
extern InputVideoDevStruct g_uvcin_videoDev[kUvcPortCount];
extern InputVideoDevStruct g_hdmiin_videoDev;

// Set by a UVC port's capture thread when its wait for a frame runs out; cleared by the camera monitor,
// which restarts that port's camera.
extern std::atomic<uint8_t> g_uvc_timeout_err[kUvcPortCount];

// Copies of the device path and format block, taken under the device's lock.
std::string input_video_dev_path(InputVideoDevStruct* dev);
void set_input_video_dev_path(InputVideoDevStruct* dev, const char* path);
VideoFormatBlock input_video_dev_format(InputVideoDevStruct* dev);
void set_input_video_dev_format(InputVideoDevStruct* dev, const VideoFormatBlock& format);

// The device's 64-bit user value.
inline void input_video_dev_set_user_value(InputVideoDevStruct* dev, uint64_t value) { dev->user_value.store(value); }
inline uint64_t input_video_dev_get_user_value(InputVideoDevStruct* dev) { return dev->user_value.load(); }

// Opens, sets up and starts capturing. 1 set up and capture thread started; 0 set-up failed (the device is
// stopped again); otherwise the open result (0 open failed, -1 no such device node). Pauses
// kVideoInitSettleMs after a set-up attempt.
int hdmiin_uvc_video_init(InputVideoDevStruct* dev);
// Stops capture: clears initFinish, joins the capture thread (unless called on it), unmaps and closes,
// and clears the device's channel slot.
void hdmiin_uvc_video_uninit(InputVideoDevStruct* dev);

// The steps of set-up, reading and stopping (1 success, 0 failure; open: -1 no device node).
int open_input_video_dev(InputVideoDevStruct* dev);
int init_input_video_dev(InputVideoDevStruct* dev);
int init_mmap_input_video_dev(InputVideoDevStruct* dev);
int read_frame_input_video_dev(InputVideoDevStruct* dev);
int uninit_input_video_dev(InputVideoDevStruct* dev);
int uninit_mmap_input_video_dev(InputVideoDevStruct* dev);
int start_capture_input_video_dev(InputVideoDevStruct* dev);
int stop_capture_input_video_dev(InputVideoDevStruct* dev);

struct v4l2_capability;
// The capabilities of the opened node: its device capabilities when the driver reports them (a UVC
// camera's metadata node shares the camera's overall capabilities), else the overall ones.
uint32_t v4l2_node_capabilities(const v4l2_capability& cap);

// ioctl through the V4L2 seam: -1 at once for fd <= 0, repeated while it fails with EINTR.
int xioctl(int fd, unsigned long request, void* arg);

// The capture thread's body.
void loop_capture_input_video_dev(InputVideoDevStruct* dev);
