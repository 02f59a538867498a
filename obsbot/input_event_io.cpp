#include "input_event_io.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

int RealInputEventIo::open(const char* path, int flags) {
    return ::open(path, flags);
}

int RealInputEventIo::close(int fd) {
    return ::close(fd);
}

int RealInputEventIo::ioctl(int fd, unsigned long request, void* arg) {
    return ::ioctl(fd, request, arg);
}

ssize_t RealInputEventIo::read(int fd, void* buffer, size_t size) {
    return ::read(fd, buffer, size);
}

bool RealInputEventIo::exists(const char* path) {
    return ::access(path, F_OK) == 0;
}

namespace {
RealInputEventIo g_real_io;
std::atomic<InputEventIo*> g_io{&g_real_io};
}  // namespace

InputEventIo& input_event_io() {
    return *g_io.load();
}

void set_input_event_io(InputEventIo* io) {
    g_io.store(io != nullptr ? io : &g_real_io);
}
