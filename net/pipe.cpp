#include "pipe.h"

#include <fcntl.h>
#include <unistd.h>

namespace mnet {

Pipe::~Pipe() {
    for (int& fd : fds_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

bool Pipe::Create() {
    return ::pipe2(fds_, O_NONBLOCK | O_CLOEXEC) == 0;
}

ssize_t Pipe::Write(const void* buf, size_t len) {
    if (fds_[1] < 0) return -1;
    return ::write(fds_[1], buf, len);
}

ssize_t Pipe::Read(void* buf, size_t len) {
    if (fds_[0] < 0) return -1;
    return ::read(fds_[0], buf, len);
}

}  // namespace mnet
