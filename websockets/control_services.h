// What the control command dispatcher calls in the rest of the process: NDI receive and send, the "ip1"
// pull, the thread starters, the USB camera format and the statistics sample. These live above the control
// unit (or beside it), so the dispatcher reaches them through this table, which the process start-up fills
// in. A service that is not installed logs one line and does nothing (its result is 0, false or empty);
// tests install recording fakes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One entry of the discovered NDI source table, as the replies and pushes show it.
struct NdiSourceEntry {
    std::string name;
    std::string address;
    uint32_t fourcc = 0;
    int xres = 0;
    int yres = 0;
    float fps = 0.0f;
};

// A picture format shown as "WxH@fps" in the port list.
struct PortFormat {
    int width = 0;
    int height = 0;
    int fps = 0;
};

// The latest figures of the statistics sampler: rates in bytes per second, converted by each reader.
struct SystemStatsSample {
    int cpu_percent = 0;
    int memory_percent = 0;
    int temperature = 0;  // degrees Celsius
    int64_t tx_bytes_per_second = 0;
    int64_t rx_bytes_per_second = 0;
};

struct ControlServices {
    // Marks the NDI pull as connected, so the start-up scan stays idle.
    std::function<void(int value)> set_ndi6_pull_connected;
    // Ends the start-up search for the configured NDI source (task_run_ndi6_open_start).
    std::function<void()> stop_ndi_open_task;
    // 1 while the NDI receive decodes pictures.
    std::function<int()> get_ndi_pull0_decode_working;
    // Starts receiving the named NDI source.
    std::function<int(const std::string& name)> set_corvane_ndi_pull0_open;
    std::function<void()> set_corvane_ndi_pull0_close;
    // The received NDI picture size and whole frame rate: true with format filled while a receive is open.
    std::function<bool(PortFormat* format)> get_corvane_ndi_pull0_information;
    // A copy of the discovered NDI source table (entries 0 to count - 1).
    std::function<std::vector<NdiSourceEntry>()> ndi_source_table;
    // Starts PULL_NDI_Run_Thread on a new detached thread (it reads ndi_pull_decode_name).
    std::function<void()> start_pull_ndi_thread;
    // Starts the thread task_mThread_ndi6, which starts the NDI|HX sender.
    std::function<void()> start_task_mThread_ndi6;
    std::function<void()> ndi_hx_send_stop;
    // The name the NDI|HX sender was started with ("" before).
    std::function<std::string()> ndi_sender_name;
    // Starts the thread task_run_rtsp_rtmp (pull of rtmpUrl or netUrl as "ip1").
    std::function<void()> start_task_run_rtsp_rtmp;
    std::function<void()> corvane_rtsp_rtmp_pull_ip1_stop;
    // 1 while the "ip1" input is working.
    std::function<int()> get_rtsp_rtmp_pull_ip1_working;
    // "WxH@fps" of the "ip1" input, or "".
    std::function<std::string()> get_ip1_input_format;
    // The USB camera's capture format (videostreamerctrl_get_input_format, kind 1, index 0): true while it
    // captures.
    std::function<bool(PortFormat* format)> videostreamerctrl_get_input_format;
    // The most recent statistics sample.
    std::function<SystemStatsSample()> system_stats;
};

// Installs the services of the process's dispatcher (ws_system_handleResult); call before the web server
// starts. Services left empty keep logging that nothing was done.
void set_control_services(ControlServices services);
