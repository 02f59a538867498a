#include "ndi_test_support.h"

#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "fixed_path.h"
#include "ndi_registry.h"
#include "ndi_shim_test.h"

namespace ndi_test {

ScopedRegistry::ScopedRegistry() {
    char name[] = "/tmp/ndi-test-XXXXXX";
    if (mkdtemp(name) != nullptr) root_ = name;
    set_fixed_path_root(root_);
    // The stand-in does not follow the fixed path root; it is told, as the process tells it.
    ndi_shim::set_registry_dir(root_ + ndi_registry::kDefaultRegistryDir);
}

ScopedRegistry::~ScopedRegistry() {
    ndi_shim::set_registry_dir("");
    set_fixed_path_root("");
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
}

bool wait_until(const std::function<bool()>& done, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::vector<std::string> live_names() {
    std::vector<std::string> names;
    for (const auto& record : ndi_registry::list_live_sources()) names.push_back(record.name);
    return names;
}

Bytes compressed_frame(uint32_t fourcc, const Bytes& data, bool key, int64_t pts) {
    NDIlib_compressed_packet_t header{};
    header.version = NDIlib_compressed_packet_version_0;
    header.fourcc = fourcc;
    header.pts = header.dts = pts;
    header.flags = key ? NDIlib_compressed_packet_flags_keyframe : 0;
    header.data_size = static_cast<uint32_t>(data.size());
    Bytes out(sizeof(header) + data.size());
    memcpy(out.data(), &header, sizeof(header));
    if (!data.empty()) memcpy(out.data() + sizeof(header), data.data(), data.size());
    return out;
}

void send_compressed(NDIlib_send_instance_t sender, uint32_t fourcc, const Bytes& frame_bytes, int xres, int yres,
                     int rate_n, int rate_d) {
    const uint8_t* blocks[] = {frame_bytes.data(), nullptr};
    const int sizes[] = {static_cast<int>(frame_bytes.size()), 0};
    NDIlib_frame_scatter_t scatter{blocks, sizes};
    NDIlib_video_frame_v2_t frame;
    frame.xres = xres;
    frame.yres = yres;
    frame.FourCC = static_cast<NDIlib_FourCC_video_type_e>(fourcc);
    frame.frame_rate_N = rate_n;
    frame.frame_rate_D = rate_d;
    NDIlib_send_send_video_scatter(sender, &frame, &scatter);
}

bool ffmpeg(const std::string& args) {
    return std::system(("ffmpeg -hide_banner -nostdin -y -loglevel error " + args).c_str()) == 0;
}

std::string capture(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), pipe)) > 0) out.append(chunk, got);
    pclose(pipe);
    return out;
}

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace ndi_test
