#include "ndi_dev_test_support.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "fixed_path.h"
#include "ndi_dev_profile.h"
#include "ndi_shim_test.h"
#include "pause.h"

namespace ndi_dev_test {

namespace {

void short_pause(int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms < 10 ? ms : 10)); }

std::mutex g_mutex;
VideoScript g_video;
std::atomic<int64_t> g_video_pulled{0};
float g_level0 = 0.0f;
float g_level1 = 0.0f;
std::atomic<int64_t> g_audio_pulled{0};

uint8_t pattern_byte(uint32_t n, size_t i) { return static_cast<uint8_t>((i * 7 + n * 13 + (i >> 8)) & 0xFF); }

}  // namespace

DeviceEnv::DeviceEnv() {
    set_pause_function(short_pause);
    ndi_shim::set_clocking_enabled(true);
    ndi_shim::set_send_log_enabled(true);
    ndi_shim::clear_send_log();
}

DeviceEnv::~DeviceEnv() {
    ndi_shim::set_send_log_enabled(false);
    ndi_shim::clear_send_log();
    ndi_shim::set_reuse_video_addresses(false);
    ndi_shim::set_initialize_fails(false);
    ndi_shim::set_send_stall(false);
    set_pause_function(nullptr);
}

std::string DeviceEnv::profile_path() const { return fixed_path(kNdiDevProfilePath); }

void write_profile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

Bytes picture(int mode, int width, int height, uint32_t n) {
    const uint32_t fourcc = ndi_dev_mode_fourcc(mode, true);
    Bytes bytes(ndi_dev_picture_bytes(fourcc, width, height, ndi_dev_line_stride(mode, width)));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = pattern_byte(n, i);
    if (bytes.size() >= 4) memcpy(bytes.data(), &n, 4);
    return bytes;
}

Bytes compressed_data(uint8_t nal, uint32_t n) {
    Bytes bytes(200 + (n % 7) * 31);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = pattern_byte(n, i) | 0x80;  // no stray start code
    bytes[0] = bytes[1] = bytes[2] = 0;
    bytes[3] = 1;
    bytes[4] = nal;
    return bytes;
}

Bytes compressed_extra(uint32_t n) {
    Bytes bytes(24, static_cast<uint8_t>(n));
    bytes[0] = 0xE0;
    return bytes;
}

bool is_key(uint32_t n) { return n % 3 == 0; }

void set_video_script(const VideoScript& script) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_video = script;
    g_video_pulled = 0;
}

int64_t video_pulled() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_video_pulled.load();
}

void allow_video(int64_t count) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_video.allowed = count;
}

int video_pull(NdiDevVideoRequest* request) {
    VideoScript s;
    int64_t n = 0;
    {
        // Checked and counted at once: once allow_video() returns, no frame beyond the allowed count goes out.
        std::lock_guard<std::mutex> lock(g_mutex);
        s = g_video;
        n = g_video_pulled.load();
        if (s.allowed >= 0 && n >= s.allowed) return 0;
        g_video_pulled.store(n + 1);
    }
    const uint32_t number = static_cast<uint32_t>(n);
    Bytes data;
    if (s.mode >= 11) {
        data = compressed_data(s.nal, number);
        request->key = is_key(number);
        if (request->key) {
            const Bytes extra = compressed_extra(number);
            memcpy(request->extra, extra.data(), extra.size());
            request->extra_length = static_cast<uint32_t>(extra.size());
        }
    } else {
        data = picture(s.mode, s.width, s.height, number);
    }
    memcpy(request->data, data.data(), data.size());
    request->data_length = static_cast<uint32_t>(data.size());
    request->timestamp_ms = 1000 + n;
    request->pts_ms = n;
    request->width = s.width;
    request->height = s.height;
    request->frame_rate = s.rate;
    return 1;
}

uint32_t frame_number(const NdiDevVideoInfo& record, bool compressed) {
    uint32_t n = 0;
    if (compressed) {
        NDIlib_compressed_packet_t header;
        const uint8_t* whole = record.data - record.cut;
        if (record.data_size < static_cast<int32_t>(sizeof(header))) return UINT32_MAX;
        memcpy(&header, whole, sizeof(header));
        return static_cast<uint32_t>(header.pts);
    }
    if (record.length >= 4) memcpy(&n, record.data, 4);
    return n;
}

void set_audio_levels(float channel0, float channel1) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_level0 = channel0;
    g_level1 = channel1;
}

int64_t audio_pulled() { return g_audio_pulled.load(); }

int audio_pull(NdiDevAudioRequest* request) {
    float level0, level1;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        level0 = g_level0;
        level1 = g_level1;
    }
    const size_t samples = request->data_capacity / sizeof(float) / 2;
    float* planes = reinterpret_cast<float*>(request->data);
    for (size_t i = 0; i < samples; ++i) {
        planes[i] = level0;
        planes[samples + i] = level1;
    }
    request->data_length = request->data_capacity;
    request->sample_rate = 48000;
    ++g_audio_pulled;
    return 1;
}

NdiDevSendSettings sender_settings(const char* name, int mode, bool high_bandwidth, bool video, bool audio) {
    NdiDevSendSettings s;
    memset(&s, 0, sizeof(s));
    strncpy(s.name, name, sizeof(s.name) - 1);
    s.mode = mode;
    s.high_bandwidth = high_bandwidth;
    s.clock_video = true;
    s.clock_audio = true;
    s.width = 64;
    s.height = 36;
    s.frame_rate = 100.0;
    s.sample_rate = 48000;
    s.channels = 2;
    s.samples_per_frame = 1024;
    s.video_pull = video ? video_pull : nullptr;
    s.audio_pull = audio ? audio_pull : nullptr;
    return s;
}

std::vector<ndi_shim::SendCall> calls_of(ndi_shim::SendCall::Kind kind) {
    std::vector<ndi_shim::SendCall> out;
    for (auto& call : ndi_shim::send_log()) {
        if (call.kind == kind) out.push_back(call);
    }
    return out;
}

NDIlib_compressed_packet_t header_of(const uint8_t* bytes) {
    NDIlib_compressed_packet_t h;
    memcpy(&h, bytes, sizeof(h));
    return h;
}

bool start_receiver(NDI_Dev* receiver, const char* wanted, int timeout_ms) {
    NdiDevSourceEntry entries[8];
    const bool found = ndi_test::wait_until(
        [&] {
            const int n = receiver->FindSources(50, entries, 8);
            for (int i = 0; i < n; ++i) {
                if (strstr(entries[i].name, wanted)) return true;
            }
            return false;
        },
        timeout_ms);
    return found && receiver->Start(0, wanted) == 1;
}

}  // namespace ndi_dev_test
