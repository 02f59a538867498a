// What config_ctrl::init starts in other parts of the process. The configuration store sits below those
// parts, so it reaches them through these hooks, which the process start-up installs before init runs.
// A hook that is not installed only logs that nothing was started.
#pragma once

#include <functional>
#include <string>

struct ConfigHooks {
    // NDI receive is not wanted at start: marks the NDI pull as connected, so the start-up scan stays idle.
    std::function<void(int value)> set_ndi6_pull_connected;
    // Starts the start-up task that finds and opens the named NDI source.
    std::function<void(const std::string& name)> start_ndi_open_task;
    // Starts the thread task_run_rtsp_rtmp (pull of rtmpUrl or netUrl as "ip1").
    std::function<void()> start_task_run_rtsp_rtmp;
    // Starts the thread task_mThread_ndi6 (the NDI|HX sender).
    std::function<void()> start_task_mThread_ndi6;
    // "camera_value" loaded as true: the USB camera format choice may use 4K (sets uvc_4k_enabled).
    std::function<void()> set_uvc_4k_enabled;
};
