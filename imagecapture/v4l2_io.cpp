#include "v4l2_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

int RealV4l2Io::open(const char* path, int flags) {
    return ::open(path, flags);
}

int RealV4l2Io::close(int fd) {
    return ::close(fd);
}

int RealV4l2Io::ioctl(int fd, unsigned long request, void* arg) {
    return ::ioctl(fd, request, arg);
}

void* RealV4l2Io::mmap(size_t length, int prot, int flags, int fd, off_t offset) {
    return ::mmap(nullptr, length, prot, flags, fd, offset);
}

int RealV4l2Io::munmap(void* address, size_t length) {
    return ::munmap(address, length);
}

int RealV4l2Io::wait_readable(int fd, int timeout_ms) {
    pollfd entry{};
    entry.fd = fd;
    entry.events = POLLIN;
    const int result = ::poll(&entry, 1, timeout_ms);
    return result > 0 ? 1 : result;
}

int RealV4l2Io::stat(const char* path, struct stat* info) {
    return ::stat(path, info);
}

namespace {
RealV4l2Io g_real_io;
std::atomic<V4l2Io*> g_io{&g_real_io};
}  // namespace

V4l2Io& v4l2_io() {
    return *g_io.load();
}

void set_v4l2_io(V4l2Io* io) {
    g_io.store(io != nullptr ? io : &g_real_io);
}
