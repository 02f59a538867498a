// The start tasks of the NDI and network-stream side: the NDI|HX sender start (task_mThread_ndi6), the
// "ip1" pull start (task_run_rtsp_rtmp) and the start-up search for the configured NDI source
// (task_run_ndi6_open_start). Each runs once on a thread of its own and ends; the configuration start-up
// and the control dispatcher start them again when the settings change. Only the first run of each in a
// process waits the long delay (the system is still settling then).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

constexpr int64_t kNdiSenderFirstDelayMs = 10000;
constexpr int64_t kNdiSenderDelayMs = 1000;
constexpr int64_t kPullFirstDelayMs = 5000;
constexpr int64_t kNdiOpenFirstDelayMs = 3000;
constexpr int64_t kNdiOpenSettleMs = 2000;
constexpr int64_t kNdiRescanMs = 30000;
constexpr int kNdiScanSeconds = 10;
// The sender's picture and sound, as the encoders deliver them.
constexpr int kNdiSendWidth = 1920;
constexpr int kNdiSendHeight = 1080;
constexpr int kNdiSendChannels = 2;
constexpr int kNdiSendSampleRate = 48000;
constexpr int kNdiSendSamplesPerFrame = 1024;
constexpr float kNdiSendFps = 30.0f;
constexpr const char* kNdiSenderPrefix = "BRISKBOX-";

// First-run flags (1 until the first run has waited its long delay; the NDI open task never clears its own).
extern std::atomic<uint8_t> ndi6_first_run;
extern std::atomic<uint8_t> rtsp_rtmp_first_run;
extern std::atomic<uint8_t> ndi6_open_first_run;

// "BRISKBOX-" + the IPv4 address ("BRISKBOX-" alone for an empty address).
std::string ndi_sender_name_for(const std::string& address);
// The name the NDI|HX sender was last started with ("" before).
std::string ndi_sender_name();

void* task_mThread_ndi6(void* arg);
void* task_run_rtsp_rtmp(void* arg);
void* task_run_ndi6_open_start(void* arg);
int start_task_mThread_ndi6();
int start_task_run_rtsp_rtmp();

// The pull address task_run_rtsp_rtmp opens: rtmpUrl while rtmpSwitch is on, else netUrl while netSwitch is
// on, else "" (nothing is opened).
std::string ip1_pull_url();

// Stores the NDI source name and starts task_run_ndi6_open_start: 0, or pthread's error.
int start_ndi_open_task(const std::string& name);
// 1 while the open task is still looking for its source.
int get_ndi6_open_working();
// Ends the open task: it opens nothing more and ends within a fraction of a second (after a scan that is
// under way). Switching NDI receive off calls it.
void stop_ndi_open_task();
// 1: the NDI pull is connected (or not wanted), so the open task stops rescanning.
void set_ndi6_pull_connected(int value);
int get_ndi6_pull_connected();
void set_ndi_scan_working(int value);
int get_ndi_scan_working();

// One discovery pass of the open task: scans, prints the sources and opens the first whose name equals the
// stored name (unless the NDI pull already decodes). True when the name was found (the task is then done).
bool ndi_open_scan_once();
