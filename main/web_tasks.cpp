#include "web_tasks.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "media_utils.h"
#include "ndi_find_sources.h"
#include "ndi_pull0.h"
#include "ndi_tasks.h"
#include "pause.h"
#include "signal_handling.h"
#include "status_json.h"
#include "status_push.h"
#include "web_server.h"

namespace {
std::mutex g_latest_mutex;
SystemStatsSample g_latest_sample;
}  // namespace

void* task_web_http(void*) {
    printf("\r\ntask_web_http start\r\n");
    install_interrupt_handler();
    std::shared_ptr<WebServer> server = std::make_shared<WebServer>();
    if (server->Init(kHttpPort, kWebSocketPort) != 1) fprintf(stderr, "Failed to initialize server\n");
    printf("Server starting...\n");
    printf("HTTP server listening on port %d\n", kHttpPort);
    printf("WebSocket server listening on port %d\n", kWebSocketPort);
    server->Start();
    // Published once started: the interrupt thread and the pushers that find it see a server whose start
    // has completed (an interrupt before this ends the process without a server to stop).
    std::atomic_store(&web_server, server);
    for (;;) {
        pause_ms(kWebPollMs);
        ndi_source_push_step(get_time_ms());
    }
    return nullptr;
}

namespace {

// When the web service thread last scanned (steady ms), for the rescans while a pull is open.
int64_t g_last_list_scan_ms = 0;

// Scans and returns what this scan found (the table's own count may be an earlier scan's).
std::vector<NdiSourceEntry> scan_ndi_sources() {
    set_ndi_scan_working(1);
    NdiSourceInfo* table = nullptr;
    uint32_t count = 0;
    const uint32_t found = ndi_find_sources(&table, &count, kNdiScanSeconds);
    set_ndi_scan_working(0);
    std::vector<NdiSourceInfo> sources = ndi_find_copy_sources();
    if (sources.size() > found) sources.resize(found);
    std::vector<NdiSourceEntry> entries;
    for (size_t i = 0; i < sources.size(); ++i) {
        const NdiSourceInfo& s = sources[i];
        printf("g_ndi_sources_found[%zu].name=%s\r\n", i, s.name);
        entries.push_back(NdiSourceEntry{s.name, s.url, s.fourcc, s.xres, s.yres, s.frame_rate});
    }
    return entries;
}

}  // namespace

bool ndi_source_push_step(int64_t now_ms) {
    const bool asked = ndi_source_flag.load(std::memory_order_relaxed);
    // While a pull is open nobody else scans (the open task is done): keep the list fresh, so a source
    // that appears later can be picked without switching the receive off first.
    const bool rescan = !asked && get_ndi_pull0_decode_working() == 1 &&
                        now_ms - g_last_list_scan_ms >= kNdiOpenRescanMs;
    if (!asked && !rescan) return false;
    const std::vector<NdiSourceEntry> entries = scan_ndi_sources();
    g_last_list_scan_ms = now_ms;
    // A rescan is pushed to pages that asked for the list before; an asked scan always is.
    if (asked || ws_push_requests.IsStored(PushKind::NdiSources)) {
        push_status(PushKind::NdiSources, ndi_source_list_json(entries));
    }
    if (asked) ndi_source_flag.store(false, std::memory_order_relaxed);
    return true;
}

std::string net_count_step(NetCountState* state) {
    collect_system_stats(&state->stats);
    stats_ready = 1;
    // KiB/s in a copy: the record keeps bytes per second, so a pass without a fresh traffic sample shows the
    // previous rate again instead of dividing it once more.
    const int64_t up_kib = static_cast<int64_t>(state->stats.upload / 1024);
    const int64_t down_kib = static_cast<int64_t>(state->stats.download / 1024);
    state->total_up_kib += up_kib;
    state->total_down_kib += down_kib;
    SystemStatsSample sample;
    sample.cpu_percent = state->stats.cpu_percent;
    sample.memory_percent = state->stats.memory_percent;
    sample.temperature = static_cast<int>(state->stats.temperature);
    sample.tx_bytes_per_second = up_kib * 1024;
    sample.rx_bytes_per_second = down_kib * 1024;
    {
        std::lock_guard<std::mutex> lock(g_latest_mutex);
        g_latest_sample = sample;
    }
    const std::string json = statistics_json(sample, state->total_down_kib * 1024, state->total_up_kib * 1024);
    push_status(PushKind::Statistics, json);
    return json;
}

SystemStatsSample latest_system_stats_sample() {
    std::lock_guard<std::mutex> lock(g_latest_mutex);
    return g_latest_sample;
}

void* task_net_count(void*) {
    printf("\r\ntask_net_count start\r\n");
    stats_ready = 0;
    pause_ms(kNetCountStartPauseMs);
    NetCountState state;
    for (;;) {
        pause_ms(kNetCountPauseMs);
        net_count_step(&state);
    }
    return nullptr;
}
