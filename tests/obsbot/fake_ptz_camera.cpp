#include "fake_ptz_camera.h"

#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

void FakePtzCamera::plug(const std::string& path, const FakePtzScript& script) {
    std::lock_guard<std::mutex> lock(mutex_);
    path_ = path;
    script_ = script;
    present_ = true;
    // A new camera: what the test looks at afterwards is what this one saw.
    effects_.clear();
    xu_calls_.clear();
}

void FakePtzCamera::unplug(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (path == path_) present_ = false;
}

void FakePtzCamera::add_node(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_.insert(path);
}

std::vector<uint8_t>& FakePtzCamera::reply(uint8_t selector) {
    std::vector<uint8_t>& bytes = script_.replies[selector];
    bytes.resize(60, 0);
    return bytes;
}

void FakePtzCamera::set_reply_byte(uint8_t selector, int index, uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply(selector)[index] = value;
}

void FakePtzCamera::set_control_value(uint32_t id, int32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (FakeControl& control : script_.controls)
        if (control.id == id) control.value = value;
}

int32_t FakePtzCamera::control_value(uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (FakeControl& control : script_.controls)
        if (control.id == id) return control.value;
    return 0;
}

std::vector<std::string> FakePtzCamera::effects() {
    std::lock_guard<std::mutex> lock(mutex_);
    return effects_;
}

std::vector<XuCall> FakePtzCamera::xu_calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return xu_calls_;
}

int FakePtzCamera::query_ext_calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return query_ext_calls_;
}

int FakePtzCamera::querycap_calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return querycap_calls_;
}

int FakePtzCamera::open_attempts(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_attempts_[path];
}

int FakePtzCamera::open_fds() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(fds_.size());
}

int FakePtzCamera::stat_calls(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    return stat_calls_[path];
}

int FakePtzCamera::open(const char* path, int) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++open_attempts_[path];
    if (!present_ || path != path_) {
        errno = ENOENT;
        return -1;
    }
    const int fd = next_fd_++;
    fds_.insert(fd);
    return fd;
}

int FakePtzCamera::close(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fds_.erase(fd) == 0) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

int FakePtzCamera::ioctl(int fd, unsigned long request, void* arg) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fds_.count(fd) == 0) {
        errno = EBADF;
        return -1;
    }
    if (!present_) {
        errno = ENODEV;
        return -1;
    }
    if (request == VIDIOC_QUERYCAP) {
        ++querycap_calls_;
        auto* cap = static_cast<v4l2_capability*>(arg);
        memset(cap, 0, sizeof(*cap));
        snprintf(reinterpret_cast<char*>(cap->driver), sizeof(cap->driver), "uvcvideo");
        snprintf(reinterpret_cast<char*>(cap->card), sizeof(cap->card), "%s", script_.card.c_str());
        snprintf(reinterpret_cast<char*>(cap->bus_info), sizeof(cap->bus_info), "usb-fake-1");
        cap->version = 0x060102;
        return 0;
    }
    if (request == VIDIOC_QUERY_EXT_CTRL) {
        ++query_ext_calls_;
        auto* query = static_cast<v4l2_query_ext_ctrl*>(arg);
        const uint32_t next_flags = V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND;
        if ((query->id & next_flags) == 0) {
            errno = EINVAL;
            return -1;
        }
        const uint32_t after = query->id & ~next_flags;
        const FakeControl* best = nullptr;
        for (const FakeControl& control : script_.controls)
            if (control.id > after && (best == nullptr || control.id < best->id)) best = &control;
        if (best == nullptr) {
            errno = EINVAL;
            return -1;
        }
        memset(query, 0, sizeof(*query));
        query->id = best->id;
        snprintf(query->name, sizeof(query->name), "%s", best->name.c_str());
        query->minimum = best->minimum;
        query->maximum = best->maximum;
        query->step = best->step;
        query->default_value = best->default_value;
        query->flags = best->flags;
        return 0;
    }
    if (request == VIDIOC_G_CTRL || request == VIDIOC_S_CTRL) {
        auto* control = static_cast<v4l2_control*>(arg);
        FakeControl* found = nullptr;
        for (FakeControl& c : script_.controls)
            if (c.id == control->id) found = &c;
        if (request == VIDIOC_G_CTRL) {
            if (found == nullptr) {
                errno = EINVAL;
                return -1;
            }
            control->value = found->value;
            return 0;
        }
        const bool fails = found == nullptr || script_.failing_sets.count(control->id) != 0;
        char line[64];
        snprintf(line, sizeof(line), "S_CTRL %08x=%d%s", control->id, control->value, fails ? " failed" : "");
        effects_.push_back(line);
        if (fails) {
            errno = EINVAL;
            return -1;
        }
        found->value = control->value;
        return 0;
    }
    if (request == UVCIOC_CTRL_QUERY) return handle_xu(arg);
    errno = ENOTTY;
    return -1;
}

int FakePtzCamera::handle_xu(void* arg) {
    auto* query = static_cast<uvc_xu_control_query*>(arg);
    XuCall call{query->unit, query->selector, query->query, {}};
    if (query->query == UVC_SET_CUR) {
        call.data.assign(query->data, query->data + query->size);
        size_t used = call.data.size();
        while (used > 0 && call.data[used - 1] == 0) --used;
        char line[256];
        int n = snprintf(line, sizeof(line), "XU u%d s%d", query->unit, query->selector);
        for (size_t i = 0; i < used && n < 240; ++i) n += snprintf(line + n, sizeof(line) - n, " %02X", call.data[i]);
        effects_.push_back(line);
    }
    xu_calls_.push_back(call);
    if (script_.xu_unit < 0 || query->unit != script_.xu_unit || query->size != 60) {
        errno = ENOENT;
        return -1;
    }
    if (query->query == UVC_GET_CUR) {
        memcpy(query->data, reply(query->selector).data(), 60);
        return 0;
    }
    if (query->query == UVC_SET_CUR) {
        apply_command(query->selector, query->data);
        return 0;
    }
    errno = EINVAL;
    return -1;
}

void FakePtzCamera::apply_command(uint8_t selector, const uint8_t* data) {
    if (selector == 3) {
        // The toggled setting is stored as sent.
        std::copy(data, data + 60, reply(3).begin());
    } else if (selector == 2 && data[0] == 0xAA && data[2] == 0x0E) {
        // Wake/sleep: the status reply's byte 9 reports what the camera now does.
        reply(6)[9] = data[13];
    } else if (selector == 6) {
        std::vector<uint8_t>& status = reply(6);
        if (data[0] == 0x02 && data[1] == 0x01) status[2] = data[2];
        if (data[0] == 0x04 && data[1] == 0x01) status[4] = data[2];
        if (data[0] == 0x05 && data[1] == 0x01) status[5] = data[2];
        if (data[0] == 0x0D && data[1] == 0x02) {
            status[16] = data[2];
            status[17] = data[3];
        }
    }
}

void* FakePtzCamera::mmap(size_t, int, int, int, off_t) {
    errno = ENODEV;
    return MAP_FAILED;
}

int FakePtzCamera::munmap(void*, size_t) {
    errno = EINVAL;
    return -1;
}

int FakePtzCamera::wait_readable(int, int) {
    errno = ENODEV;
    return -1;
}

int FakePtzCamera::stat(const char* path, struct stat* info) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++stat_calls_[path];
    if ((!present_ || path != path_) && nodes_.count(path) == 0) {
        errno = ENOENT;
        return -1;
    }
    memset(info, 0, sizeof(*info));
    info->st_mode = S_IFCHR | 0660;
    return 0;
}

std::vector<FakeControl> typical_ptz_controls() {
    return {
        {0x00980900, "Brightness", 0, 100, 1, 50, 50},
        {0x00980901, "Contrast", 0, 100, 1, 50, 50},
        {0x00980902, "Saturation", 0, 100, 1, 60, 60},
        {0x00980903, "Hue", -180, 180, 1, 0, 0},
        {0x0098090C, "White Balance Temperature, Auto", 0, 1, 1, 1, 1},
        {0x00980910, "Gamma", 100, 500, 1, 300, 300},
        {0x0098091A, "White Balance Temperature", 2800, 6500, 10, 4600, 4600},
        {0x0098091B, "Sharpness", 0, 100, 1, 50, 50},
        {0x009A0901, "Exposure, Auto", 0, 3, 1, 3, 3},
        {0x009A0902, "Exposure (Absolute)", 1, 5000, 1, 156, 156},
        {0x009A0908, "Pan (Absolute)", -468000, 468000, 3600, 0, 0},
        {0x009A0909, "Tilt (Absolute)", -324000, 324000, 3600, 0, 0},
        {0x009A090C, "Focus, Auto", 0, 1, 1, 1, 1},
        {0x009A090D, "Zoom, Absolute", 0, 100, 1, 0, 0},
        {0x009A090F, "Zoom, Continuous", -10, 10, 1, 0, 0},
        {0x009A0911, "Iris, Absolute", -90, 180, 90, 0, 0},
        {0x009A0920, "Pan (Speed)", -20, 20, 1, 0, 0},
        {0x009A0921, "Tilt (Speed)", -20, 20, 1, 0, 0},
    };
}
