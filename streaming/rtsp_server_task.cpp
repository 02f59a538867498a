#include "rtsp_server_task.h"

#include <pthread.h>

#include <cstdio>
#include <mutex>

#include "pause.h"
#include "rtsp_stream.h"

namespace {

constexpr int kRestartPauseSeconds = 5;

std::mutex g_hooks_mutex;
RtspTaskHooks g_hooks;

RtspTaskHooks CurrentHooks() {
    std::lock_guard<std::mutex> lock(g_hooks_mutex);
    return g_hooks;
}

}  // namespace

void rtsp_set_task_hooks(const RtspTaskHooks& hooks) {
    std::lock_guard<std::mutex> lock(g_hooks_mutex);
    g_hooks = hooks;
}

void* task_run_rtsp_server(void* arg) {
    (void)arg;
    printf("\r\ntask_run_rtsp_server start\r");
    RtspTaskHooks hooks = CurrentHooks();
    if (hooks.before_run) hooks.before_run();
    rtsp_server_run("main", "sub", 1, 0);
    printf("\r\ntask_run_rtsp_server exit\r");
    if (hooks.after_run) hooks.after_run();
    return nullptr;
}

int rtsp_server_task_start() {
    pthread_t thread;
    int ret = pthread_create(&thread, nullptr, task_run_rtsp_server, nullptr);
    if (ret == 0) pthread_detach(thread);
    return ret;
}

bool rtsp_server_restart_if_requested() {
    if (!rtsp_server_get_restart()) return false;
    rtsp_server_set_restart(0);
    printf("rtsp_server error restart...");
    rtsp_server_stop();
    pause_seconds(kRestartPauseSeconds);
    rtsp_server_task_start();
    return true;
}
