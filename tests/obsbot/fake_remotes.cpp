#include "fake_remotes.h"

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

void FakeRemotes::add(const std::string& path, const std::string& name, bool refuse_read_write) {
    std::lock_guard<std::mutex> lock(mutex_);
    Device& device = devices_[path];
    device.name = name;
    device.present = true;
    device.refuse_read_write = refuse_read_write;
    device.events.clear();
    device.idle_seen = true;
}

void FakeRemotes::remove(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_[path].present = false;
}

void FakeRemotes::push(const std::string& path, uint16_t type, uint16_t code, int32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    input_event event{};
    event.type = type;
    event.code = code;
    event.value = value;
    Device& device = devices_[path];
    device.events.push_back(event);
    device.idle_seen = false;
}

void FakeRemotes::press(const std::string& path, int code) {
    push(path, EV_MSC, MSC_SCAN, 0x70000 + code);
    push(path, EV_KEY, static_cast<uint16_t>(code), 1);
    push(path, EV_SYN, SYN_REPORT, 0);
}

void FakeRemotes::release(const std::string& path, int code) {
    push(path, EV_MSC, MSC_SCAN, 0x70000 + code);
    push(path, EV_KEY, static_cast<uint16_t>(code), 0);
    push(path, EV_SYN, SYN_REPORT, 0);
}

bool FakeRemotes::wait_consumed(const std::string& path, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const Device& device = devices_[path];
            if (device.events.empty() && device.idle_seen) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

int FakeRemotes::open_attempts(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(path);
    return it == devices_.end() ? 0 : it->second.open_attempts;
}

int FakeRemotes::read_write_opens(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(path);
    return it == devices_.end() ? 0 : it->second.read_write_opens;
}

int FakeRemotes::open_fds(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    int count = 0;
    for (const auto& entry : fds_)
        if (entry.second == path) ++count;
    return count;
}

int FakeRemotes::open(const char* path, int flags) {
    std::lock_guard<std::mutex> lock(mutex_);
    Device& device = devices_[path];
    ++device.open_attempts;
    const bool read_write = (flags & O_ACCMODE) == O_RDWR;
    if (!device.present || (read_write && device.refuse_read_write)) {
        errno = device.present ? EACCES : ENOENT;
        return -1;
    }
    if (read_write) ++device.read_write_opens;
    const int fd = next_fd_++;
    fds_[fd] = path;
    return fd;
}

int FakeRemotes::close(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fds_.erase(fd) == 0) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

int FakeRemotes::ioctl(int fd, unsigned long request, void* arg) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = fds_.find(fd);
    if (it == fds_.end()) {
        errno = EBADF;
        return -1;
    }
    const Device& device = devices_[it->second];
    if (request == EVIOCGVERSION) {
        *static_cast<int*>(arg) = EV_VERSION;
        return 0;
    }
    if (_IOC_TYPE(request) == 'E' && _IOC_NR(request) == _IOC_NR(EVIOCGNAME(0))) {
        const size_t size = _IOC_SIZE(request);
        const size_t n = std::min(size, device.name.size() + 1);
        memcpy(arg, device.name.c_str(), n);
        return static_cast<int>(n);
    }
    if (_IOC_TYPE(request) == 'E' && _IOC_NR(request) == _IOC_NR(EVIOCGBIT(0, 0))) {
        const size_t size = _IOC_SIZE(request);
        memset(arg, 0, size);
        if (size > 0) static_cast<uint8_t*>(arg)[0] = (1 << EV_SYN) | (1 << EV_KEY) | (1 << EV_MSC);
        return static_cast<int>(size);
    }
    errno = ENOTTY;
    return -1;
}

ssize_t FakeRemotes::read(int fd, void* buffer, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = fds_.find(fd);
    if (it == fds_.end()) {
        errno = EBADF;
        return -1;
    }
    Device& device = devices_[it->second];
    if (!device.present) {
        errno = ENODEV;
        return -1;
    }
    if (device.events.empty() || size < sizeof(input_event)) {
        device.idle_seen = true;
        errno = EAGAIN;
        return -1;
    }
    memcpy(buffer, &device.events.front(), sizeof(input_event));
    device.events.pop_front();
    return sizeof(input_event);
}

bool FakeRemotes::exists(const char* path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(path);
    return it != devices_.end() && it->second.present;
}
