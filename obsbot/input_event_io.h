// Every call the remote-key controller makes on an input event device ("/dev/input/eventN") goes through
// one InputEventIo: open, close, ioctl, read and the existence test. The product uses the real system
// calls; tests install scripted remotes behind the same calls. Failures return -1 with errno set.
#pragma once

#include <sys/types.h>

#include <cstddef>

class InputEventIo {
public:
    virtual ~InputEventIo() = default;

    virtual int open(const char* path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
    // Non-blocking on a node opened with O_NONBLOCK: -1 with EAGAIN when no event waits.
    virtual ssize_t read(int fd, void* buffer, size_t size) = 0;
    // True while the device file exists.
    virtual bool exists(const char* path) = 0;
};

// The system calls on /dev/input/eventN.
class RealInputEventIo : public InputEventIo {
public:
    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    ssize_t read(int fd, void* buffer, size_t size) override;
    bool exists(const char* path) override;
};

// The InputEventIo in use; the real one until another is installed.
InputEventIo& input_event_io();
// Installs io (not owned; it must outlive every call through it); nullptr restores the real one.
void set_input_event_io(InputEventIo* io);
