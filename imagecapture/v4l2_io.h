// Every call the capture code makes on a V4L2 device node goes through one V4l2Io: open, close, ioctl,
// mmap, munmap, waiting for the node to become readable, and stat. The product uses the real system calls;
// tests install a scripted camera behind the same calls. Failures return -1 (MAP_FAILED for mmap) with
// errno set, as the system calls do.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

class V4l2Io {
public:
    virtual ~V4l2Io() = default;

    virtual int open(const char* path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
    virtual void* mmap(size_t length, int prot, int flags, int fd, off_t offset) = 0;
    virtual int munmap(void* address, size_t length) = 0;
    // Waits at most timeout_ms for fd to become readable (or to report an error): 1 ready, 0 time-out,
    // -1 failure with errno.
    virtual int wait_readable(int fd, int timeout_ms) = 0;
    virtual int stat(const char* path, struct stat* info) = 0;
};

// The system calls on /dev/videoN.
class RealV4l2Io : public V4l2Io {
public:
    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    void* mmap(size_t length, int prot, int flags, int fd, off_t offset) override;
    int munmap(void* address, size_t length) override;
    int wait_readable(int fd, int timeout_ms) override;
    int stat(const char* path, struct stat* info) override;
};

// The V4l2Io in use; the real one until another is installed.
V4l2Io& v4l2_io();
// Installs io (not owned; it must outlive every call through it); nullptr restores the real one.
void set_v4l2_io(V4l2Io* io);
