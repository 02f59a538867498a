#include "ndi_tasks.h"

#include <cstdio>
#include <mutex>

#include "config_ctrl.h"
#include "ndi_find_sources.h"
#include "ndi_hx_send.h"
#include "ndi_pull0.h"
#include "ip1_input.h"
#include "net_utils.h"
#include "pause.h"
#include "worker_thread.h"

std::atomic<uint8_t> ndi6_first_run{1};
std::atomic<uint8_t> rtsp_rtmp_first_run{1};
std::atomic<uint8_t> ndi6_open_first_run{1};

namespace {

std::mutex g_text_mutex;
std::string g_sender_name;
std::string g_open_name;

std::atomic<uint8_t> g_open_working{0};
std::atomic<uint8_t> g_scan_working{0};
std::atomic<uint8_t> g_pull_connected{0};
// Steps of the open task's pauses: a stop ends a pause within one step.
constexpr int64_t kOpenPauseStepMs = 100;

bool open_task_stopped() { return g_open_working.load() == 0; }

// The open task's pause of ms (through the pause seam); false when the task was stopped before or during it.
bool open_task_pause(int64_t ms) {
    for (int64_t left = ms; left > 0; left -= kOpenPauseStepMs) {
        if (open_task_stopped()) return false;
        pause_ms(left < kOpenPauseStepMs ? left : kOpenPauseStepMs);
    }
    return !open_task_stopped();
}

std::string open_name() {
    std::lock_guard<std::mutex> lock(g_text_mutex);
    return g_open_name;
}

}  // namespace

std::string ndi_sender_name_for(const std::string& address) { return kNdiSenderPrefix + address; }

std::string ndi_sender_name() {
    std::lock_guard<std::mutex> lock(g_text_mutex);
    return g_sender_name;
}

void* task_mThread_ndi6(void*) {
    printf("task_mThread_ndi6 start W=%d H=%d\n", kNdiSendWidth, kNdiSendHeight);
    uint8_t first = 1;
    if (ndi6_first_run.compare_exchange_strong(first, 0)) {
        pause_ms(kNdiSenderFirstDelayMs);
    } else {
        pause_ms(kNdiSenderDelayMs);
    }
    std::string address;
    if (get_local_ip("eth0") == 0) address = get_shared_local_ip();
    printf("NDI ip:%s\r\n", address.c_str());
    const std::string name = ndi_sender_name_for(address);
    {
        std::lock_guard<std::mutex> lock(g_text_mutex);
        g_sender_name = name;
    }
    ndi_hx_send_start(name.c_str(), kNdiSendWidth, kNdiSendHeight, 0, kNdiSendChannels, kNdiSendSampleRate,
                      kNdiSendSamplesPerFrame, kNdiSendFps);
    printf("task_mThread_ndi6 exit\n");
    return nullptr;
}

std::string ip1_pull_url() {
    CommonConfig& c = config_ctrl::instance()->cfg_common;
    if (c.rtmpSwitch) return c.rtmpUrl.get();
    if (c.netSwitch) return c.netUrl.get();
    return std::string();
}

void* task_run_rtsp_rtmp(void*) {
    printf("\r\ntask_run_rtsp_rtmp start\r");
    uint8_t first = 1;
    if (rtsp_rtmp_first_run.compare_exchange_strong(first, 0)) pause_ms(kPullFirstDelayMs);
    const std::string url = ip1_pull_url();
    if (!url.empty()) corvane_rtsp_rtmp_pull_ip1_open(url);
    printf("\r\ntask_run_rtsp_rtmp exit\r");
    return nullptr;
}

int start_task_mThread_ndi6() { return start_worker_thread(task_mThread_ndi6, "task_mThread_ndi6"); }
int start_task_run_rtsp_rtmp() { return start_worker_thread(task_run_rtsp_rtmp, "task_run_rtsp_rtmp"); }

bool ndi_open_scan_once() {
    const std::string name = open_name();
    NdiSourceInfo* table = nullptr;
    uint32_t count = 0;
    const uint32_t found = ndi_find_sources(&table, &count, kNdiScanSeconds);
    // Only what this scan found: the table may still hold an earlier scan's entries when no finder could be
    // made, and a source that has gone must not be opened.
    std::vector<NdiSourceInfo> sources = ndi_find_copy_sources();
    if (sources.size() > found) sources.resize(found);
    for (size_t i = 0; i < sources.size(); ++i) {
        printf("g_ndi_sources_found[%zu].name=%s\r\n", i, sources[i].name);
    }
    for (const NdiSourceInfo& source : sources) {
        if (name != source.name) continue;
        printf("11111111111111111111111\r\n");
        // Switched off while this scan ran: the user no longer wants the source.
        if (g_open_working.exchange(0) == 0) return false;
        if (get_ndi_pull0_decode_working() != 1) set_corvane_ndi_pull0_open(name);
        return true;
    }
    return false;
}

void* task_run_ndi6_open_start(void*) {
    printf("task_run_ndi6_open_start start name=%s\r\n", open_name().c_str());
    // The first-run flag is never cleared: every run waits the first delay.
    if (ndi6_open_first_run.load() != 0) open_task_pause(kNdiOpenFirstDelayMs);
    g_scan_working = 1;
    if (open_task_pause(kNdiOpenSettleMs)) ndi_open_scan_once();
    for (;;) {
        g_scan_working = 0;
        if (open_task_stopped()) break;
        if (!open_task_pause(kNdiRescanMs)) break;
        // A connected pull (or one the settings do not want) needs no rescan; keep waiting.
        if (g_pull_connected == 1) continue;
        g_scan_working = 1;
        ndi_open_scan_once();
    }
    g_scan_working = 0;
    printf("task_run_ndi6_open_start exit\r\n");
    return nullptr;
}

int start_ndi_open_task(const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(g_text_mutex);
        g_open_name = name;
    }
    // Working from the start (not only after the first pause), so a switch-off right after start-up ends it.
    g_open_working = 1;
    const int result = start_worker_thread(task_run_ndi6_open_start, "task_run_ndi6_open_start");
    if (result != 0) g_open_working = 0;
    return result;
}

int get_ndi6_open_working() { return g_open_working.load(); }
void stop_ndi_open_task() {
    if (g_open_working.exchange(0) != 0) printf("task_run_ndi6_open_start: NDI receive switched off, stopping\r\n");
}
void set_ndi6_pull_connected(int value) { g_pull_connected = static_cast<uint8_t>(value); }
int get_ndi6_pull_connected() { return g_pull_connected.load(); }
void set_ndi_scan_working(int value) { g_scan_working = static_cast<uint8_t>(value); }
int get_ndi_scan_working() { return g_scan_working.load(); }
