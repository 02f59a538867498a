// Shared pieces of the NDI stand-in tests: a private registry folder per test, waiting helpers, compressed
// frames with their packet header, and running ffmpeg / ffprobe.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ndi_lib.h"

namespace ndi_test {

using Bytes = std::vector<uint8_t>;

// A temporary folder used as the fixed-path root (so the registry lives under it); removed afterwards.
class ScopedRegistry {
public:
    ScopedRegistry();
    ~ScopedRegistry();
    const std::string& root() const { return root_; }

private:
    std::string root_;
};

// Polls until done() or timeout; true when done.
bool wait_until(const std::function<bool()>& done, int timeout_ms);
std::vector<std::string> live_names();

// Header + data as one buffer, as a compressed frame travels.
Bytes compressed_frame(uint32_t fourcc, const Bytes& data, bool key, int64_t pts);
// Sends one compressed frame synchronously.
void send_compressed(NDIlib_send_instance_t sender, uint32_t fourcc, const Bytes& frame_bytes, int xres, int yres,
                     int rate_n, int rate_d);

bool ffmpeg(const std::string& args);
std::string capture(const std::string& command);
Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& bytes);

}  // namespace ndi_test
