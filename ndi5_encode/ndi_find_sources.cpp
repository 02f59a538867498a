#include "ndi_find_sources.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "ndi_config.h"
#include "ndi_lib.h"

namespace {

constexpr int kSettleMs = 500;
constexpr uint32_t kWaitForSourcesMs = 2000;
constexpr int kProbeTries = 300;
constexpr int kProbeSleepMs = 15;

// Whole scans are serialised; the table lock is held only while entries are written or read.
std::mutex g_scan_mutex;
std::mutex g_table_mutex;
NdiSourceInfo g_table[kNdiMaxSources];
uint32_t g_count = 0;
NDIlib_find_instance_t g_finder = nullptr;

void copy_text(char* dst, size_t capacity, const char* src) {
    const size_t n = src ? strnlen(src, capacity - 1) : 0;
    if (n > 0) memcpy(dst, src, n);
    dst[n] = '\0';
}

// Connects briefly to one source to learn its video format; fields stay zero when nothing arrives.
void probe(const NDIlib_source_t& source, uint32_t i) {
    NDIlib_recv_create_v3_t settings;
    settings.source_to_connect_to = NDIlib_source_t();
    settings.color_format = NDIlib_recv_color_format_compressed_v3_with_audio;
    settings.bandwidth = NDIlib_recv_bandwidth_highest;
    settings.allow_video_fields = true;
    settings.p_ndi_recv_name = nullptr;
    NDIlib_recv_instance_t receiver = NDIlib_recv_create_v4(&settings, ndi_config_text());
    if (receiver == nullptr) return;
    NDIlib_recv_connect(receiver, &source);
    NDIlib_framesync_instance_t fs = NDIlib_framesync_create(receiver);
    for (int attempt = 0; attempt < kProbeTries; ++attempt) {
        NDIlib_video_frame_v2_t frame;
        NDIlib_framesync_capture_video(fs, &frame, NDIlib_frame_format_type_progressive);
        if (frame.p_data != nullptr) {
            std::lock_guard<std::mutex> lock(g_table_mutex);
            g_table[i].xres = frame.xres;
            g_table[i].yres = frame.yres;
            g_table[i].fourcc = frame.FourCC;
            g_table[i].frame_rate =
                frame.frame_rate_D != 0
                    ? static_cast<float>(static_cast<double>(frame.frame_rate_N) / static_cast<double>(frame.frame_rate_D))
                    : 0.0f;
            NDIlib_framesync_free_video(fs, &frame);
            break;
        }
        NDIlib_framesync_free_video(fs, &frame);
        std::this_thread::sleep_for(std::chrono::milliseconds(kProbeSleepMs));
    }
    NDIlib_framesync_destroy(fs);
    NDIlib_recv_destroy(receiver);
}

}  // namespace

uint32_t ndi_find_sources(NdiSourceInfo** out_table, uint32_t* out_count, int seconds_arg) {
    std::lock_guard<std::mutex> scan(g_scan_mutex);
    uint32_t seconds = static_cast<uint32_t>(seconds_arg);
    if (seconds > kNdiMaxScanSeconds) seconds = kNdiMaxScanSeconds;
    if (g_finder != nullptr) NDIlib_find_destroy(g_finder);
    g_finder = NDIlib_find_create_v2(nullptr);
    if (g_finder == nullptr) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
    const auto start = std::chrono::system_clock::now();
    const NDIlib_source_t* sources = nullptr;
    bool fetched = false;
    bool waited = false;
    while (std::chrono::system_clock::now() - start < std::chrono::seconds(seconds)) {
        const bool changed = NDIlib_find_wait_for_sources(g_finder, kWaitForSourcesMs);
        waited = true;
        if (!changed) {
            printf("No change to the sources found.\n");
            break;
        }
        uint32_t n = 0;
        sources = NDIlib_find_get_current_sources(g_finder, &n);
        fetched = true;
        std::lock_guard<std::mutex> lock(g_table_mutex);
        g_count = 0;
        memset(g_table, 0, sizeof(g_table));
        printf("Network sources (%u found).\n", n);
        const uint32_t recorded = n < kNdiMaxSources ? n : kNdiMaxSources;
        for (uint32_t i = 0; i < recorded; ++i) {
            printf("%u. %s -- %s\n", i + 1, sources[i].p_ndi_name, sources[i].p_url_address);
            g_table[i].index = static_cast<int32_t>(i);
            copy_text(g_table[i].name, sizeof(g_table[i].name), sources[i].p_ndi_name);
            copy_text(g_table[i].url, sizeof(g_table[i].url), sources[i].p_url_address);
        }
        g_count = recorded;
        *out_count = g_count;
        *out_table = g_table;
    }
    if (!fetched) {
        NDIlib_find_destroy(g_finder);
        g_finder = nullptr;
        std::lock_guard<std::mutex> lock(g_table_mutex);
        // A fresh finder reports every live source at its first wait; a first wait with no change means the
        // network has none now. Keeping the previous scan's entries would list (and let the open task open)
        // senders that have gone away.
        if (waited) {
            g_count = 0;
            memset(g_table, 0, sizeof(g_table));
        }
        return g_count;
    }
    const uint32_t count = g_count;  // only this scan writes it, and it holds the scan lock
    for (uint32_t i = 0; i < count; ++i) {
        printf("%u. %s -- %s\n", i + 1, sources[i].p_ndi_name, sources[i].p_url_address);
        probe(sources[i], i);
    }
    if (count == 0) printf("1111111111111 NDIlib_find_destroy");
    NDIlib_find_destroy(g_finder);
    g_finder = nullptr;
    if (count > 0) {
        std::lock_guard<std::mutex> lock(g_table_mutex);
        for (uint32_t i = 0; i < count; ++i) {
            const NdiSourceInfo& e = g_table[i];
            printf("%u. %s -- %s,  res:%dx%d@%0.2f format:%c%c%c%c  %d\n", i + 1, e.name, e.url, e.xres, e.yres,
                   static_cast<double>(e.frame_rate), static_cast<char>(e.fourcc & 0xFF),
                   static_cast<char>((e.fourcc >> 8) & 0xFF), static_cast<char>((e.fourcc >> 16) & 0xFF),
                   static_cast<char>((e.fourcc >> 24) & 0xFF), static_cast<int>(e.fourcc));
        }
    }
    fflush(stdout);
    return count;
}

const NdiSourceInfo* ndi_find_lookup(const char* name) {
    if (name == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(g_table_mutex);
    for (uint32_t i = 0; i < g_count; ++i) {
        if (strcmp(g_table[i].name, name) == 0) return &g_table[i];
    }
    return nullptr;
}

const NdiSourceInfo* ndi_find_get_source(uint32_t index) {
    std::lock_guard<std::mutex> lock(g_table_mutex);
    return index < g_count ? &g_table[index] : nullptr;
}

std::vector<NdiSourceInfo> ndi_find_copy_sources() {
    std::lock_guard<std::mutex> lock(g_table_mutex);
    return std::vector<NdiSourceInfo>(g_table, g_table + g_count);
}
