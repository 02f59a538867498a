#include "uvc_probe.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "fixed_path.h"
#include "input_video_dev.h"
#include "media_utils.h"
#include "v4l2_io.h"

namespace {

struct ProbeRecord {
    std::mutex lock;
    video_dev_msg msg = {};
    std::atomic<uint8_t> plug{0};
};

ProbeRecord uvcin_video_probe_connect[kUvcPortCount];

// The probe thread; left running at process exit rather than aborting it.
struct ProbeThread {
    std::thread thread;
    ~ProbeThread() {
        if (thread.joinable()) thread.detach();
    }
};
ProbeThread g_probe_thread;
std::atomic<bool> g_probe_run{false};
std::mutex g_probe_start_mutex;

bool valid_port(int port) {
    return port >= 0 && port < kUvcPortCount;
}

// The lowest N of the "videoN" names in a camera interface's video4linux folder, or -1.
long lowest_video_number(const std::string& folder) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return -1;
    long lowest = -1;
    while (dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strstr(name, "video") == nullptr || std::strlen(name) <= 5 || !std::isdigit(name[5])) continue;
        char* end = nullptr;
        const long number = std::strtol(name + 5, &end, 10);
        if (*end != '\0' || number > kMaxVideoNodeNumber) continue;
        if (lowest < 0 || number < lowest) lowest = number;
    }
    closedir(dir);
    return lowest;
}

void probe_thread_body() {
    std::printf("uvcin_video_probe_thread start\n");
    bool first = true;
    uint32_t stamp = 0;
    while (g_probe_run.load()) {
        if (first || is_timeout_ms(stamp, kUvcProbeScanIntervalMs)) {
            first = false;
            stamp = static_cast<uint32_t>(get_time_ms());
            uvcin_video_probe_scan();
        }
        sleep_ms(10);
    }
    std::printf("uvcin_video_probe_thread exit\n");
}

}  // namespace

int uvc_port_of_controller(const std::string& link) {
    const auto has = [&link](const char* name) { return link.find(name) != std::string::npos; };
    if (has("xhci-hcd.4.auto")) return 1;
    if (has("xhci-hcd.10.auto") || has("xhci-hcd.1.auto") || has("xhci-hcd.9.auto")) return 0;
    if (has("fe380000.usb")) return 1;
    return -1;
}

int uvcin_video_probe_scan() {
    const std::string devices = fixed_path("/sys/bus/usb/devices");
    DIR* dir = opendir(devices.c_str());
    if (dir == nullptr) return -1;
    bool plugged[kUvcPortCount] = {};
    char paths[kUvcPortCount][kVideoDevPathSize] = {};
    int found = 0;
    while (dirent* entry = readdir(dir)) {
        if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
        const long number = lowest_video_number(devices + "/" + entry->d_name + "/video4linux");
        if (number < 0) continue;
        const std::string node = fixed_path("/sys/class/video4linux/video" + std::to_string(number));
        char link[4096];
        const ssize_t length = readlink(node.c_str(), link, sizeof(link) - 1);
        if (length <= 0) continue;
        link[length] = '\0';
        const int port = uvc_port_of_controller(link);
        if (port < 0) continue;
        const std::string device = "/dev/video" + std::to_string(number);
        if (device.size() >= sizeof(paths[port])) continue;
        std::memcpy(paths[port], device.c_str(), device.size() + 1);
        plugged[port] = true;
        ++found;
    }
    closedir(dir);
    for (int port = 0; port < kUvcPortCount; ++port) {
        ProbeRecord& record = uvcin_video_probe_connect[port];
        if (plugged[port]) {
            std::lock_guard<std::mutex> guard(record.lock);
            std::memcpy(record.msg.dev_path, paths[port], sizeof(record.msg.dev_path));
        }
        record.plug.store(plugged[port] ? 1 : 0);
    }
    return found;
}

void uvcin_video_probe_clear() {
    for (int port = 0; port < kUvcPortCount; ++port) {
        ProbeRecord& record = uvcin_video_probe_connect[port];
        std::lock_guard<std::mutex> guard(record.lock);
        record.msg = video_dev_msg{};
        record.msg.port = port;
        record.plug.store(0);
    }
}

int uvcin_video_probe_init() {
    uvcin_video_probe_clear();
    std::lock_guard<std::mutex> guard(g_probe_start_mutex);
    if (g_probe_thread.thread.joinable()) return 1;
    g_probe_run.store(true);
    g_probe_thread.thread = std::thread(probe_thread_body);
    return 1;
}

void uvcin_video_probe_uninit() {
    uvcin_video_probe_clear();
    std::lock_guard<std::mutex> guard(g_probe_start_mutex);
    g_probe_run.store(false);
    if (g_probe_thread.thread.joinable()) g_probe_thread.thread.join();
}

uint8_t uvcin_video_probe_is_plugged(int port) {
    return valid_port(port) ? uvcin_video_probe_connect[port].plug.load() : 0;
}

int uvcin_video_probe_get_msg(int port, video_dev_msg* out) {
    if (!valid_port(port) || out == nullptr) return -1;
    ProbeRecord& record = uvcin_video_probe_connect[port];
    std::lock_guard<std::mutex> guard(record.lock);
    *out = record.msg;
    out->plug = record.plug.load();
    return 1;
}

int uvcin_video_probe_format(int port) {
    std::printf("uvcin_video_probe_format %d\n", port);
    if (!valid_port(port)) return -1;
    ProbeRecord& record = uvcin_video_probe_connect[port];
    std::string name;
    {
        std::lock_guard<std::mutex> guard(record.lock);
        name.assign(record.msg.dev_path, strnlen(record.msg.dev_path, sizeof(record.msg.dev_path)));
    }
    const std::string node = fixed_path(name);
    struct stat info = {};
    if (v4l2_io().stat(node.c_str(), &info) == -1) {
        std::printf("Cannot identify '%s': %d, %s\n", name.c_str(), errno, std::strerror(errno));
        return -1;
    }
    if (!S_ISCHR(info.st_mode)) {
        std::printf("%s is no device\n", name.c_str());
        return -1;
    }
    const int fd = v4l2_io().open(node.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0) return -1;

    v4l2_capability cap = {};
    if (xioctl(fd, VIDIOC_QUERYCAP, &cap) == -1) {
        if (errno == EINVAL)
            std::printf("%s is no V4L2 device\n", name.c_str());
        else
            std::printf("VIDIOC_QUERYCAP, %d, %s\n", errno, std::strerror(errno));
        v4l2_io().close(fd);
        return -1;
    }
    std::printf("driver:%.*s card:%.*s bus:%.*s version:%u.%u.%u\n", static_cast<int>(sizeof(cap.driver)),
                reinterpret_cast<const char*>(cap.driver), static_cast<int>(sizeof(cap.card)),
                reinterpret_cast<const char*>(cap.card), static_cast<int>(sizeof(cap.bus_info)),
                reinterpret_cast<const char*>(cap.bus_info), (cap.version >> 16) & 0xFF, (cap.version >> 8) & 0xFF,
                cap.version & 0xFF);
    if ((v4l2_node_capabilities(cap) & V4L2_CAP_VIDEO_CAPTURE) == 0) {
        std::printf("%s is no video capture device\n", name.c_str());
        v4l2_io().close(fd);
        return -1;
    }

    video_dev_msg listed = {};
    int count = 0;
    for (uint32_t format_index = 0; format_index < kMaxEnumFormats; ++format_index) {
        v4l2_fmtdesc desc = {};
        desc.index = format_index;
        desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd, VIDIOC_ENUM_FMT, &desc) == -1) break;
        const uint32_t fourcc = desc.pixelformat;
        if (fourcc != kFourccMjpg && fourcc != kFourccYuyv && fourcc != kFourccH264) continue;
        for (uint32_t size_index = 0; size_index < kMaxEnumFrameSizes; ++size_index) {
            v4l2_frmsizeenum size = {};
            size.index = size_index;
            size.pixel_format = fourcc;
            // Stepwise and continuous ranges are not read: only listed sizes count.
            if (xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == -1 || size.type != V4L2_FRMSIZE_TYPE_DISCRETE) break;
            const uint32_t width = size.discrete.width;
            const uint32_t height = size.discrete.height;
            for (uint32_t interval_index = 0; interval_index < kMaxEnumFrameIntervals; ++interval_index) {
                v4l2_frmivalenum interval = {};
                interval.index = interval_index;
                interval.pixel_format = fourcc;
                interval.width = width;
                interval.height = height;
                if (xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) == -1 ||
                    interval.type != V4L2_FRMIVAL_TYPE_DISCRETE)
                    break;
                const uint32_t numerator = interval.discrete.numerator;
                const uint32_t denominator = interval.discrete.denominator;
                const uint32_t fps = numerator != 0 ? denominator / numerator : 0;
                std::printf("res:%ux%u@%u,%u,%u\n", width, height, fps, numerator, denominator);
                if (fps > kMaxUnlistedFps && height < width && count < kUvcFormatMax)
                    listed.formats[count++] = UvcFormatEntry{fourcc, width, height, fps};
            }
        }
    }
    {
        std::lock_guard<std::mutex> guard(record.lock);
        listed.port = port;
        std::memcpy(listed.dev_path, record.msg.dev_path, sizeof(listed.dev_path));
        listed.plug = record.plug.load();
        record.msg = listed;
    }
    v4l2_io().close(fd);
    return 1;
}
