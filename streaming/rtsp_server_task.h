// The RTSP start thread and the restart step of the watchdog. What the start thread needs of other
// subsystems (the camera poller lives as long as the RTSP server runs) is reached through hooks, empty until
// the owner of those subsystems installs them.
#pragma once

#include <functional>

struct RtspTaskHooks {
    // On the start thread, before the server runs: build the camera poller (StatusPoll).
    std::function<void()> before_run;
    // On the start thread, after the server has stopped: stop the camera poller and release it.
    std::function<void()> after_run;
};

// Installs the hooks; later start threads use them.
void rtsp_set_task_hooks(const RtspTaskHooks& hooks);

// The RTSP start thread's body: runs the server ("main", "sub", 1, 0) until it stops.
void* task_run_rtsp_server(void* arg);
// Starts task_run_rtsp_server as a detached thread; 0 on success, pthread's error otherwise.
int rtsp_server_task_start();

// The watchdog's check (every 2 s): on a restart request clears it, stops the server, pauses 5 s and starts a
// new start thread, whose run waits until the old one has torn down. True when it restarted.
bool rtsp_server_restart_if_requested();
