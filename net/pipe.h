// A non-blocking, close-on-exec pipe: the wake-up line of a task scheduler.
#pragma once

#include <cstddef>
#include <sys/types.h>

namespace mnet {

class Pipe {
public:
    Pipe() = default;
    ~Pipe();
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    bool Create();
    ssize_t Write(const void* buf, size_t len);
    ssize_t Read(void* buf, size_t len);
    int ReadFd() const { return fds_[0]; }
    int WriteFd() const { return fds_[1]; }

private:
    int fds_[2] = {-1, -1};
};

}  // namespace mnet
