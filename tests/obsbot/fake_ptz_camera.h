// A scripted PTZ camera behind the V4L2 seam: a list of controls (enumerated, read and set), a capability
// card name, and an extension unit that answers on one unit number with a reply per selector. Its commands
// act on its replies as a camera would (the sleep command makes it report status 3, a preset recall leaves
// the preset count alone, and so on), so a status read that comes later reports what the command did.
// It records every control set and every extension-unit query as readable lines.
#pragma once

#include <linux/videodev2.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "v4l2_io.h"

struct FakeControl {
    uint32_t id;
    std::string name;
    int64_t minimum;
    int64_t maximum;
    uint64_t step;
    int64_t default_value;
    int32_t value;
    uint32_t flags = 0;
};

struct FakePtzScript {
    std::string card = "UVC PTZ Camera";
    std::vector<FakeControl> controls;
    // The unit that answers extension-unit queries; -1: the camera has none.
    int xu_unit = 3;
    // GET_CUR reply per selector (60 bytes, zero-padded); selectors without one answer zeros.
    std::map<uint8_t, std::vector<uint8_t>> replies;
    // Control ids whose sets fail.
    std::set<uint32_t> failing_sets;
};

struct XuCall {
    uint8_t unit;
    uint8_t selector;
    uint8_t query;
    std::vector<uint8_t> data;
};

class FakePtzCamera : public V4l2Io {
public:
    // Plugging a camera in starts its records (effects, extension-unit calls) afresh.
    void plug(const std::string& path, const FakePtzScript& script);
    void unplug(const std::string& path);
    // A device node that exists but is not this camera (another video device): found, never opened.
    void add_node(const std::string& path);

    // Sets one byte of a selector's reply.
    void set_reply_byte(uint8_t selector, int index, uint8_t value);
    void set_control_value(uint32_t id, int32_t value);
    int32_t control_value(uint32_t id);

    // The camera-side effects in order: "S_CTRL <id hex>=<value>" for every control set (failed ones
    // too, with " failed") and "XU u<unit> s<selector> <payload hex, trailing zeros cut>" for every SET_CUR.
    std::vector<std::string> effects();
    std::vector<XuCall> xu_calls();
    int query_ext_calls();
    int querycap_calls();
    // Opens attempted on path, failed ones included, and the descriptors still open.
    int open_attempts(const std::string& path);
    int open_fds();
    int stat_calls(const std::string& path);

    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    void* mmap(size_t length, int prot, int flags, int fd, off_t offset) override;
    int munmap(void* address, size_t length) override;
    int wait_readable(int fd, int timeout_ms) override;
    int stat(const char* path, struct stat* info) override;

private:
    int handle_xu(void* arg);
    void apply_command(uint8_t selector, const uint8_t* data);
    std::vector<uint8_t>& reply(uint8_t selector);

    std::mutex mutex_;
    std::string path_;
    bool present_ = false;
    FakePtzScript script_;
    std::set<int> fds_;
    int next_fd_ = 200;
    std::vector<std::string> effects_;
    std::vector<XuCall> xu_calls_;
    int query_ext_calls_ = 0;
    int querycap_calls_ = 0;
    std::map<std::string, int> open_attempts_;
    std::map<std::string, int> stat_calls_;
    std::set<std::string> nodes_;
};

// The controls of a typical PTZ camera as its UVC driver names them, with values inside their ranges.
std::vector<FakeControl> typical_ptz_controls();
