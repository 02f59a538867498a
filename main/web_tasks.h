// The web service thread (the web server, the interrupt handler and the NDI source list push) and the
// statistics thread (a status push about every 4 s: 1 s pause, then a 3 s traffic sample).
#pragma once

#include <cstdint>
#include <string>

#include "control_services.h"
#include "system_stats.h"

constexpr int kHttpPort = 80;
constexpr int kWebSocketPort = 8081;
constexpr int64_t kWebPollMs = 1000;
constexpr int64_t kNetCountStartPauseMs = 2000;
constexpr int64_t kNetCountPauseMs = 1000;

void* task_web_http(void* arg);
// While an NDI pull is open, the NDI source list is scanned again this often.
constexpr int64_t kNdiOpenRescanMs = 30000;
// One pass of task_web_http's loop at now_ms (the steady clock of get_time_ms): when a client asked for the
// NDI sources, scans (up to 10 s), pushes what the scan found and clears the request; otherwise, while an
// NDI pull is open and the last scan of this thread is kNdiOpenRescanMs old, scans again and pushes the list
// when a client asked for it before. True when it scanned.
bool ndi_source_push_step(int64_t now_ms);

// What task_net_count keeps from pass to pass.
struct NetCountState {
    SystemStats stats;       // rates in bytes per second, as sampled
    int64_t total_up_kib = 0;
    int64_t total_down_kib = 0;
};
// One pass without its pause: samples, adds the KiB/s rates to the totals and pushes the statistics.
// Returns the pushed JSON data text.
std::string net_count_step(NetCountState* state);
// The latest statistics as the control dispatcher reports them (get 03 35).
SystemStatsSample latest_system_stats_sample();
void* task_net_count(void* arg);
