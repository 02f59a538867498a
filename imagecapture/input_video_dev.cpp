#include "input_video_dev.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "capture_channels.h"
#include "fixed_path.h"
#include "media_utils.h"
#include "pause.h"
#include "v4l2_io.h"

InputVideoDevStruct g_uvcin_videoDev[kUvcPortCount];
InputVideoDevStruct g_hdmiin_videoDev;
std::atomic<uint8_t> g_uvc_timeout_err[kUvcPortCount] = {};

namespace {

bool is_multiplanar(const InputVideoDevStruct* dev) {
    return dev->buf_type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
}

bool is_uvc_port(const InputVideoDevStruct* dev) {
    return dev->kind == kDevKindUvc && dev->port >= 0 && dev->port < kUvcPortCount;
}

// A buffer request for one MMAP buffer; multi-planar devices describe it in one plane.
void prepare_buffer(const InputVideoDevStruct* dev, v4l2_buffer* buf, v4l2_plane* plane, uint32_t index) {
    std::memset(buf, 0, sizeof(*buf));
    std::memset(plane, 0, sizeof(*plane));
    buf->type = static_cast<uint32_t>(dev->buf_type);
    buf->memory = V4L2_MEMORY_MMAP;
    buf->index = index;
    if (is_multiplanar(dev)) {
        buf->m.planes = plane;
        buf->length = 1;
    }
}

// Waits for the capture thread to end, unless the caller is that thread.
void join_capture_thread(InputVideoDevStruct* dev) {
    std::thread finished;
    {
        std::lock_guard<std::mutex> guard(dev->lock);
        if (dev->capture_thread.joinable() && dev->capture_thread.get_id() != std::this_thread::get_id())
            finished = std::move(dev->capture_thread);
    }
    if (finished.joinable()) finished.join();
}

// Serialises the release of a device's buffers and node between the monitor and the capture thread.
std::mutex g_release_mutex;

}  // namespace

std::string input_video_dev_path(InputVideoDevStruct* dev) {
    std::lock_guard<std::mutex> guard(dev->lock);
    return std::string(dev->msg.dev_path, strnlen(dev->msg.dev_path, sizeof(dev->msg.dev_path)));
}

void set_input_video_dev_path(InputVideoDevStruct* dev, const char* path) {
    std::lock_guard<std::mutex> guard(dev->lock);
    std::memset(dev->msg.dev_path, 0, sizeof(dev->msg.dev_path));
    std::strncpy(dev->msg.dev_path, path, sizeof(dev->msg.dev_path) - 1);
}

VideoFormatBlock input_video_dev_format(InputVideoDevStruct* dev) {
    std::lock_guard<std::mutex> guard(dev->lock);
    return dev->format;
}

void set_input_video_dev_format(InputVideoDevStruct* dev, const VideoFormatBlock& format) {
    std::lock_guard<std::mutex> guard(dev->lock);
    dev->format = format;
}

uint32_t v4l2_node_capabilities(const v4l2_capability& cap) {
    return (cap.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? cap.device_caps : cap.capabilities;
}

int xioctl(int fd, unsigned long request, void* arg) {
    if (fd <= 0) {
        errno = EBADF;
        return -1;
    }
    int result;
    do {
        result = v4l2_io().ioctl(fd, request, arg);
    } while (result == -1 && errno == EINTR);
    return result;
}

int open_input_video_dev(InputVideoDevStruct* dev) {
    const std::string name = input_video_dev_path(dev);
    std::printf("open_input_video_dev dev name:%s\r\n", name.c_str());
    const std::string node = fixed_path(name);
    struct stat info = {};
    if (name.empty() || v4l2_io().stat(node.c_str(), &info) == -1) {
        std::printf("Cannot identify '%s'\n", name.c_str());
        return -1;
    }
    if (!S_ISCHR(info.st_mode)) {
        std::printf("%s is no device\n", name.c_str());
        return -1;
    }
    const int fd = v4l2_io().open(node.c_str(), O_RDWR);
    if (fd < 0) {
        std::printf("Cannot open '%s': %d\n", name.c_str(), errno);
        return 0;
    }
    dev->fd.store(fd);
    return 1;
}

int init_mmap_input_video_dev(InputVideoDevStruct* dev) {
    const int fd = dev->fd.load();
    const std::string name = input_video_dev_path(dev);
    v4l2_requestbuffers req = {};
    req.count = V4L2_COUNT;
    req.type = static_cast<uint32_t>(dev->buf_type);
    req.memory = V4L2_MEMORY_MMAP;
    if (xioctl(fd, VIDIOC_REQBUFS, &req) == -1) {
        if (errno == EINVAL)
            std::printf("%s does not support memory mapping\n", name.c_str());
        else
            std::printf("VIDIOC_REQBUFS\r\n");
        return 0;
    }
    std::printf("777888 req.count =%u\n", req.count);
    // Three buffers are queued; fewer cannot stream, and the table is sized from the driver's answer.
    if (req.count < static_cast<uint32_t>(V4L2_COUNT) || req.count > kMaxV4l2Buffers) {
        std::printf("%s granted %u buffers, %d to %u are needed\n", name.c_str(), req.count, V4L2_COUNT,
                    kMaxV4l2Buffers);
        return 0;
    }
    dev->buffers.assign(req.count, MappedBuffer{nullptr, 0});
    for (uint32_t i = 0; i < req.count; ++i) {
        v4l2_buffer buf;
        v4l2_plane plane;
        prepare_buffer(dev, &buf, &plane, i);
        if (xioctl(fd, VIDIOC_QUERYBUF, &buf) == -1) {
            std::printf("VIDIOC_QUERYBUF\r\n");
            return 0;
        }
        const size_t length = is_multiplanar(dev) ? plane.length : buf.length;
        const off_t offset = is_multiplanar(dev) ? plane.m.mem_offset : buf.m.offset;
        void* start = v4l2_io().mmap(length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
        if (start == MAP_FAILED) {
            std::printf("MMAP FAILD\r\n");
            return 0;
        }
        dev->buffers[i] = MappedBuffer{start, length};
    }
    const VideoFormatBlock format = input_video_dev_format(dev);
    uint32_t line = 0;
    {
        std::lock_guard<std::mutex> guard(dev->lock);
        line = dev->bytesperline;
    }
    for (FrameDescriptor& frame : dev->frames) {
        frame.width = static_cast<uint32_t>(format.width);
        frame.height = static_cast<uint32_t>(format.height);
        frame.bytesperline = line;
    }
    return 1;
}

int init_input_video_dev(InputVideoDevStruct* dev) {
    const int fd = dev->fd.load();
    const std::string name = input_video_dev_path(dev);

    v4l2_capability cap = {};
    if (xioctl(fd, VIDIOC_QUERYCAP, &cap) == -1) {
        if (errno == EINVAL)
            std::printf("%s is no V4L2 device\n", name.c_str());
        else
            std::printf("VIDIOC_QUERYCAP\n");
        return 0;
    }
    // The driver's texts need not be terminated.
    std::printf("driver:%.*s card:%.*s bus:%.*s version:%u.%u.%u capabilities:0x%x device_caps:0x%x\n",
                static_cast<int>(sizeof(cap.driver)), reinterpret_cast<const char*>(cap.driver),
                static_cast<int>(sizeof(cap.card)), reinterpret_cast<const char*>(cap.card),
                static_cast<int>(sizeof(cap.bus_info)), reinterpret_cast<const char*>(cap.bus_info),
                (cap.version >> 16) & 0xFF, (cap.version >> 8) & 0xFF, cap.version & 0xFF, cap.capabilities,
                cap.device_caps);
    const uint32_t caps = v4l2_node_capabilities(cap);
    if ((caps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)) == 0) {
        std::printf("%s is no video capture device\n", name.c_str());
        return 0;
    }
    if ((caps & V4L2_CAP_STREAMING) == 0) {
        std::printf("%s does not support streaming i/o\n", name.c_str());
        return 0;
    }
    dev->buf_type =
        (caps & V4L2_CAP_VIDEO_CAPTURE) != 0 ? V4L2_BUF_TYPE_VIDEO_CAPTURE : V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;

    const VideoFormatBlock format = input_video_dev_format(dev);
    v4l2_format fmt = {};
    fmt.type = static_cast<uint32_t>(dev->buf_type);
    if (is_multiplanar(dev)) {
        fmt.fmt.pix_mp.width = static_cast<uint32_t>(format.width);
        fmt.fmt.pix_mp.height = static_cast<uint32_t>(format.height);
        fmt.fmt.pix_mp.pixelformat = format.fourcc;
    } else {
        fmt.fmt.pix.width = static_cast<uint32_t>(format.width);
        fmt.fmt.pix.height = static_cast<uint32_t>(format.height);
        fmt.fmt.pix.pixelformat = format.fourcc;
    }
    if (xioctl(fd, VIDIOC_S_FMT, &fmt) == -1) {
        std::printf("11 VIDIOC_S_FMT fd=%d\n", fd);
        return 0;
    }
    // The driver may adjust what was asked (a size the camera does not offer, another pixel format): from
    // here on the capture, and through the frames the decoders and rings behind it, use what it set.
    const uint32_t set_width = is_multiplanar(dev) ? fmt.fmt.pix_mp.width : fmt.fmt.pix.width;
    const uint32_t set_height = is_multiplanar(dev) ? fmt.fmt.pix_mp.height : fmt.fmt.pix.height;
    const uint32_t set_fourcc = is_multiplanar(dev) ? fmt.fmt.pix_mp.pixelformat : fmt.fmt.pix.pixelformat;
    const uint32_t set_line = is_multiplanar(dev) ? fmt.fmt.pix_mp.plane_fmt[0].bytesperline : fmt.fmt.pix.bytesperline;
    if (set_width == 0 || set_height == 0 || set_width > kMaxCaptureDimension || set_height > kMaxCaptureDimension ||
        set_fourcc == 0) {
        std::printf("%s: the driver set an unusable format %ux%u %.4s\n", name.c_str(), set_width, set_height,
                    reinterpret_cast<const char*>(&set_fourcc));
        return 0;
    }
    if (set_width != static_cast<uint32_t>(format.width) || set_height != static_cast<uint32_t>(format.height) ||
        set_fourcc != format.fourcc)
        std::printf("%s: the driver set %ux%u %.4s for the requested %dx%d %.4s, capturing at what it set\n",
                    name.c_str(), set_width, set_height, reinterpret_cast<const char*>(&set_fourcc), format.width,
                    format.height, reinterpret_cast<const char*>(&format.fourcc));
    VideoFormatBlock actual = format;
    actual.width = static_cast<int32_t>(set_width);
    actual.height = static_cast<int32_t>(set_height);
    actual.fourcc = set_fourcc;
    {
        std::lock_guard<std::mutex> guard(dev->lock);
        dev->format = actual;
        dev->bytesperline = set_line;
    }

    v4l2_streamparm parm = {};
    parm.type = static_cast<uint32_t>(dev->buf_type);
    if (xioctl(fd, VIDIOC_G_PARM, &parm) == -1) std::printf("VIDIOC_G_PARM faild\n");
    std::printf("VIDIOC_G_PARM numerator=%u denominator=%u\n", parm.parm.capture.timeperframe.numerator,
                parm.parm.capture.timeperframe.denominator);
    parm.type = static_cast<uint32_t>(dev->buf_type);
    parm.parm.capture.timeperframe.numerator = 1;
    parm.parm.capture.timeperframe.denominator = static_cast<uint32_t>(format.fps);
    if (xioctl(fd, VIDIOC_S_PARM, &parm) == -1) std::printf("VIDIOC_S_PARM faild\n");
    std::printf("VIDIOC_S_PARM numerator=%u denominator=%u\n", parm.parm.capture.timeperframe.numerator,
                parm.parm.capture.timeperframe.denominator);

    if (init_mmap_input_video_dev(dev) != 1) {
        std::printf("init_mmap_input_video_dev(videoDev) == fasle\n");
        return 0;
    }
    for (uint32_t i = 0; i < static_cast<uint32_t>(V4L2_COUNT); ++i) {
        v4l2_buffer buf;
        v4l2_plane plane;
        prepare_buffer(dev, &buf, &plane, i);
        if (xioctl(fd, VIDIOC_QBUF, &buf) == -1) {
            std::printf("==%s,VIDIOC_QBUF\n", name.c_str());
            return 0;
        }
    }
    int type = dev->buf_type;
    if (xioctl(fd, VIDIOC_STREAMON, &type) == -1) {
        std::printf("VIDIOC_STREAMON\r\n");
        return 0;
    }
    return 1;
}

int read_frame_input_video_dev(InputVideoDevStruct* dev) {
    const int fd = dev->fd.load();
    v4l2_buffer buf;
    v4l2_plane plane;
    prepare_buffer(dev, &buf, &plane, 0);
    if (xioctl(fd, VIDIOC_DQBUF, &buf) == -1) {
        if (errno == EAGAIN)
            std::printf("VIDIOC_DQBUF failed\n");
        else
            std::printf("VIDIOC_DQBUF failed1\n");
        return 0;
    }
    // The index and byte count come from the driver: a buffer that is not ours is never touched, and a
    // byte count beyond the mapping is not handed on.
    if (buf.index >= dev->buffers.size()) {
        std::printf("VIDIOC_DQBUF returned buffer %u of %zu\n", buf.index, dev->buffers.size());
        return 0;
    }
    const MappedBuffer& mapped = dev->buffers[buf.index];
    uint32_t bytes = is_multiplanar(dev) ? plane.bytesused : buf.bytesused;
    if (bytes > mapped.length) {
        std::printf("VIDIOC_DQBUF buffer %u claims %u bytes of %zu\n", buf.index, bytes, mapped.length);
        bytes = 0;
    }
    const InputVideoFrameCallback callback = dev->callback.load();
    if (bytes != 0 && callback != nullptr && buf.index < static_cast<uint32_t>(V4L2_COUNT)) {
        FrameDescriptor* frame = &dev->frames[buf.index];
        frame->data = static_cast<uint8_t*>(mapped.start);
        frame->bytesused = bytes;
        const VideoFormatBlock format = input_video_dev_format(dev);
        callback(frame, static_cast<int>(bytes), format, &format);
        ++dev->frame_counter;
    }
    if (xioctl(fd, VIDIOC_QBUF, &buf) == -1) {
        std::printf("VIDIOC_QBUF\n");
        return 0;
    }
    return 1;
}

int start_capture_input_video_dev(InputVideoDevStruct* dev) {
    dev->capture_output.store(1);
    return 1;
}

int stop_capture_input_video_dev(InputVideoDevStruct* dev) {
    dev->capture_output.store(0);
    return 1;
}

int uninit_mmap_input_video_dev(InputVideoDevStruct* dev) {
    for (FrameDescriptor& frame : dev->frames) frame = FrameDescriptor{};
    int result = 1;
    // Every granted buffer was mapped, so every one is unmapped.
    for (const MappedBuffer& mapped : dev->buffers) {
        if (mapped.start == nullptr || mapped.length == 0) continue;
        if (v4l2_io().munmap(mapped.start, mapped.length) == -1) {
            std::printf("MUNMMAP FAILD\r\n");
            result = 0;
        }
    }
    dev->buffers.clear();
    dev->buffers.shrink_to_fit();
    return result;
}

int uninit_input_video_dev(InputVideoDevStruct* dev) {
    const std::string name = input_video_dev_path(dev);
    stop_capture_input_video_dev(dev);
    std::printf(" stop_capture_input_video_dev = %d name=%s\n", 1, name.c_str());
    int result = uninit_mmap_input_video_dev(dev);
    std::printf(" uninit_input_video_dev(videoDev) = %d videoDev->fd = %d name=%s\n", result, dev->fd.load(),
                name.c_str());
    const int fd = dev->fd.exchange(-1);
    if (fd != -1 && v4l2_io().close(fd) == -1) {
        std::printf("close v4l2 failed\r\n");
        result = 0;
    }
    return result;
}

void hdmiin_uvc_video_uninit(InputVideoDevStruct* dev) {
    dev->initFinish.store(0);
    join_capture_thread(dev);
    {
        std::lock_guard<std::mutex> guard(g_release_mutex);
        uninit_input_video_dev(dev);
    }
    const int slot = channel_slot_of(dev);
    if (slot >= 0 && slot < kChannelSlotCount) pip_channel_index[slot].store(-1);
    std::printf("11 ==vor %s,%d,devname:%s\n", __func__, __LINE__, input_video_dev_path(dev).c_str());
}

int hdmiin_uvc_video_init(InputVideoDevStruct* dev) {
    std::printf("go to hdmiin_uvc_video_init\n");
    // A device still open (or a capture thread that stopped itself) is cleared away first, so no node or
    // thread is left behind.
    if (dev->fd.load() != -1)
        hdmiin_uvc_video_uninit(dev);
    else
        join_capture_thread(dev);

    const int opened = open_input_video_dev(dev);
    if (opened != 1) {
        std::printf("77 ==vor %s,%d,open v4l video failed:%s----\n", __func__, __LINE__,
                    input_video_dev_path(dev).c_str());
        return opened;
    }
    int result = 0;
    if (init_input_video_dev(dev) == 1) {
        dev->initFinish.store(1);
        const int slot = channel_slot_of(dev);
        if (slot >= 0 && slot < kChannelSlotCount) pip_channel_index[slot].store(dev->port);
        std::printf("%s ====================vor %s,%d,%d-%d-%s===================\n",
                    dev->kind == kDevKindUvc ? "22" : "11", __func__, __LINE__, dev->kind, dev->port,
                    input_video_dev_path(dev).c_str());
        try {
            std::lock_guard<std::mutex> guard(dev->lock);
            dev->capture_thread = std::thread(loop_capture_input_video_dev, dev);
            result = 1;
        } catch (const std::system_error& error) {
            std::printf("capture thread not started: %s\n", error.what());
        }
    }
    if (result != 1) hdmiin_uvc_video_uninit(dev);
    pause_ms(kVideoInitSettleMs);
    return result;
}

void loop_capture_input_video_dev(InputVideoDevStruct* dev) {
    uint32_t stamp = static_cast<uint32_t>(get_time_ms());
    int failed_reads = 0;
    const bool uvc = is_uvc_port(dev);
    if (uvc) g_uvc_timeout_err[dev->port].store(0);
    while (dev->initFinish.load() == 1) {
        videostreamerctrl_update_selected_channel(dev);
        if (dev->capture_output.load() == 1) {
            const int fd = dev->fd.load();
            const int ready = v4l2_io().wait_readable(fd, kCaptureWaitMs);
            if (ready < 0) {
                if (errno != EINTR) std::printf("Fail to select\n");
                continue;
            }
            if (ready == 0) {
                std::printf("3334444 videoDev->fd=%d devindex=%d\n", fd, dev->port);
                std::printf("select Timeout\n");
                if (uvc) g_uvc_timeout_err[dev->port].store(1);
                continue;
            }
            if (is_timeout_ms(stamp, 1000)) {
                std::printf("==vor %s,%d,%d-%d,fps:%d\n", __func__, __LINE__, dev->kind, dev->port,
                            dev->frame_counter);
                dev->frame_counter = 0;
                stamp = static_cast<uint32_t>(get_time_ms());
            }
            if (read_frame_input_video_dev(dev) <= 0 && ++failed_reads > kMaxFailedReads) {
                std::printf("55 read_frame_input_video_dev(videoDev) %s\n", input_video_dev_path(dev).c_str());
                hdmiin_uvc_video_uninit(dev);
                break;
            }
        }
        sleep_ms(1);
    }
    std::printf("==vor %s videoDev->initFinish\n", __func__);
}
