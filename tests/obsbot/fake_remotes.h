// Scripted USB remotes behind the input-event seam. Each device sits at a path with a name and a queue of
// input events the test pushes; reads are non-blocking (EAGAIN when the queue is empty). A device can be
// removed (its file no longer exists, its reads fail) and added again, and can refuse read-write opens.
#pragma once

#include <linux/input.h>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "input_event_io.h"

class FakeRemotes : public InputEventIo {
public:
    void add(const std::string& path, const std::string& name, bool refuse_read_write = false);
    void remove(const std::string& path);

    void push(const std::string& path, uint16_t type, uint16_t code, int32_t value);
    // What a remote sends for one key: a scan-code event, the key event, a report boundary.
    void press(const std::string& path, int code);
    void release(const std::string& path, int code);

    // Waits until every pushed event of path was read and the reader has come back to the device and found
    // nothing more, so what the last event set off inline has finished. False on time-out.
    bool wait_consumed(const std::string& path, int timeout_ms = 10000);
    // Opens attempted on path (read-only and read-write) and descriptors still open on it.
    int open_attempts(const std::string& path);
    int read_write_opens(const std::string& path);
    int open_fds(const std::string& path);

    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    ssize_t read(int fd, void* buffer, size_t size) override;
    bool exists(const char* path) override;

private:
    struct Device {
        std::string name;
        bool present = false;
        bool refuse_read_write = false;
        std::deque<input_event> events;
        // An empty read happened after the last event was taken.
        bool idle_seen = true;
        int open_attempts = 0;
        int read_write_opens = 0;
    };

    std::mutex mutex_;
    std::map<std::string, Device> devices_;
    std::map<int, std::string> fds_;
    int next_fd_ = 300;
};
