#include "usb_camera_lookup.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "fixed_path.h"
#include "uvc_probe.h"

namespace {

char g_subdir_result[kSubdirResultSize];
// The lookups share the result buffer, and each rewrites its own record.
std::mutex g_lookup_mutex;

bool is_directory(const std::string& path) {
    struct stat info = {};
    return lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int search(const std::string& folder, const char* name, int depth) {
    if (depth > kMaxSubdirDepth) return 0;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return 0;
    const std::string prefix = !folder.empty() && folder.back() == '/' ? folder : folder + "/";
    int found = 0;
    while (found == 0) {
        const dirent* entry = readdir(dir);
        if (entry == nullptr) break;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        const std::string child = prefix + entry->d_name;
        if (!is_directory(child)) continue;
        if (std::strcmp(entry->d_name, name) == 0) {
            std::snprintf(g_subdir_result, sizeof(g_subdir_result), "%s", folder.c_str());
            found = 1;
        } else {
            found = search(child, name, depth + 1);
        }
    }
    closedir(dir);
    return found;
}

void lookup(UsbCameraInfo* info, const char* controller_folder, const char* controller, uint8_t usb3) {
    std::lock_guard<std::mutex> guard(g_lookup_mutex);
    std::memset(info, 0, sizeof(*info));
    if (search(fixed_path(controller_folder), "video4linux", 0) == 0) return;
    std::snprintf(info->controller, sizeof(info->controller), "%s", controller);
    info->usb3 = usb3;
    info->found = 1;
    const std::string videos = std::string(g_subdir_result) + "/video4linux/";
    for (int number = 0; number <= kMaxLookupVideoNumber; ++number) {
        struct stat ignored = {};
        if (stat((videos + "video" + std::to_string(number)).c_str(), &ignored) == 0) {
            std::snprintf(info->dev_path, sizeof(info->dev_path), "/dev/video%d", number);
            return;
        }
    }
}

// Off the board: the camera that takes port (0 or 1) in the probe's order. Its controller text is the USB
// path the camera's sound card names, so the microphone of exactly this camera is found even when both
// cameras share one host controller.
void lookup_by_port(UsbCameraInfo* info, int port, uint8_t usb3) {
    std::lock_guard<std::mutex> guard(g_lookup_mutex);
    std::memset(info, 0, sizeof(*info));
    const std::vector<UsbVideoCamera> cameras = uvc_list_usb_video_cameras();
    if (static_cast<size_t>(port) >= cameras.size()) return;
    const UsbVideoCamera& camera = cameras[static_cast<size_t>(port)];
    info->usb3 = usb3;
    info->found = 1;
    if (!camera.usb_path.empty())
        std::snprintf(info->controller, sizeof(info->controller), "%s,", camera.usb_path.c_str());
    std::snprintf(info->dev_path, sizeof(info->dev_path), "/dev/video%ld", camera.video_number);
}

}  // namespace

int find_subdir_recursive(const char* folder, const char* name) {
    if (folder == nullptr || name == nullptr) return 0;
    return search(folder, name, 0);
}

const char* find_subdir_result() {
    return g_subdir_result;
}

UsbCameraInfo* find_usb3_camera_video_dev() {
    static UsbCameraInfo info;
    if (!uvc_board_controllers_present()) {
        lookup_by_port(&info, 0, 1);
        return &info;
    }
    lookup(&info, "/sys/devices/platform/usb0/fe800000.dwc3/xhci-hcd.9.auto/", "xhci-hcd.9.auto", 1);
    return &info;
}

UsbCameraInfo* find_usb2_camera_video_dev() {
    static UsbCameraInfo info;
    if (!uvc_board_controllers_present()) {
        lookup_by_port(&info, 1, 0);
        return &info;
    }
    lookup(&info, "/sys/devices/platform/fe380000.usb/", "fe380000.usb", 0);
    return &info;
}
