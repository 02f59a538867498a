#include "uvc_probe.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

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

// "usb-<controller>-<port chain>" of a camera: the link runs .../<controller>/usb<bus>/<device>/.../
// <interface>/video4linux/videoN, and the device's name is "<bus>-<port chain>".
std::string usb_path_of(const std::string& link, const std::string& interface) {
    const size_t colon = interface.find(':');
    const std::string device = interface.substr(0, colon);
    const size_t dash = device.find('-');
    if (colon == std::string::npos || dash == std::string::npos || dash == 0) return std::string();
    const std::string root_hub = "/usb" + device.substr(0, dash) + "/";
    const size_t at = link.rfind(root_hub);
    if (at == std::string::npos || at == 0) return std::string();
    const size_t controller_start = link.rfind('/', at - 1);
    const std::string controller =
        link.substr(controller_start == std::string::npos ? 0 : controller_start + 1,
                    at - (controller_start == std::string::npos ? 0 : controller_start + 1));
    if (controller.empty() || controller == "..") return std::string();
    return "usb-" + controller + "-" + device.substr(dash + 1);
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

const BoardCameraController kBoardCameraControllers[kBoardCameraControllerCount] = {
    {"xhci-hcd.4.auto", 1}, {"xhci-hcd.10.auto", 0}, {"xhci-hcd.1.auto", 0},
    {"xhci-hcd.9.auto", 0}, {"fe380000.usb", 1},
};

int uvc_port_of_controller(const std::string& link) {
    for (const BoardCameraController& row : kBoardCameraControllers)
        if (link.find(row.name) != std::string::npos) return row.port;
    return -1;
}

bool uvc_board_controllers_present() {
    struct stat info = {};
    for (const BoardCameraController& row : kBoardCameraControllers)
        if (lstat(fixed_path(std::string("/sys/bus/platform/devices/") + row.name).c_str(), &info) == 0) return true;
    return false;
}

namespace {

// Texts compared piece by piece, runs of digits by their numbers.
bool numbers_less(const std::string& a, const std::string& b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (da && db) {
            size_t ie = i;
            size_t je = j;
            while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
            while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
            // Leading zeros aside, a longer run of digits is the larger number.
            std::string na = a.substr(i, ie - i);
            std::string nb = b.substr(j, je - j);
            na.erase(0, std::min(na.find_first_not_of('0'), na.size() - 1));
            nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size() - 1));
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

}  // namespace

bool usb_bus_path_less(const std::string& a, const std::string& b) {
    // The device first ("1-4" before the "1-4.2" behind it), then the interface.
    const std::string device_a = a.substr(0, a.find(':'));
    const std::string device_b = b.substr(0, b.find(':'));
    if (device_a != device_b) return numbers_less(device_a, device_b);
    return numbers_less(a, b);
}

std::vector<UsbVideoCamera> uvc_list_usb_video_cameras() {
    std::vector<UsbVideoCamera> cameras;
    const std::string devices = fixed_path("/sys/bus/usb/devices");
    DIR* dir = opendir(devices.c_str());
    if (dir == nullptr) return cameras;
    while (dirent* entry = readdir(dir)) {
        if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) continue;
        UsbVideoCamera camera;
        camera.interface = entry->d_name;
        camera.video_number = lowest_video_number(devices + "/" + camera.interface + "/video4linux");
        if (camera.video_number < 0) continue;
        const std::string node = fixed_path("/sys/class/video4linux/video" + std::to_string(camera.video_number));
        char link[4096];
        const ssize_t length = readlink(node.c_str(), link, sizeof(link) - 1);
        if (length <= 0) continue;
        link[length] = '\0';
        camera.link = link;
        camera.usb_path = usb_path_of(camera.link, camera.interface);
        cameras.push_back(std::move(camera));
    }
    closedir(dir);
    std::sort(cameras.begin(), cameras.end(), [](const UsbVideoCamera& a, const UsbVideoCamera& b) {
        return usb_bus_path_less(a.interface, b.interface);
    });
    return cameras;
}

int uvcin_video_probe_scan() {
    const std::string devices = fixed_path("/sys/bus/usb/devices");
    DIR* dir = opendir(devices.c_str());
    if (dir == nullptr) return -1;
    closedir(dir);
    const bool board = uvc_board_controllers_present();
    const std::vector<UsbVideoCamera> cameras = uvc_list_usb_video_cameras();
    bool plugged[kUvcPortCount] = {};
    char paths[kUvcPortCount][kVideoDevPathSize] = {};
    int found = 0;
    for (size_t index = 0; index < cameras.size(); ++index) {
        const UsbVideoCamera& camera = cameras[index];
        // Another machine has no table: the cameras take the ports in bus-path order.
        const int port = board ? uvc_port_of_controller(camera.link)
                               : (index < static_cast<size_t>(kUvcPortCount) ? static_cast<int>(index) : -1);
        if (port < 0 || plugged[port]) continue;
        const std::string device = "/dev/video" + std::to_string(camera.video_number);
        if (device.size() >= sizeof(paths[port])) continue;
        std::memcpy(paths[port], device.c_str(), device.size() + 1);
        plugged[port] = true;
        ++found;
    }
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
