#include "ndi_pull_thread.h"

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>

#include "ctrl_dispatcher.h"
#include "ndi_pull0.h"
#include "pause.h"

namespace {

std::mutex g_operations_mutex;
NdiPullOperations g_operations;

NdiPullOperations current_operations() {
    std::lock_guard<std::mutex> lock(g_operations_mutex);
    NdiPullOperations ops = g_operations;
    if (ops.close == nullptr) ops.close = set_corvane_ndi_pull0_close;
    if (ops.decode_working == nullptr) ops.decode_working = get_ndi_pull0_decode_working;
    if (ops.open == nullptr) ops.open = set_corvane_ndi_pull0_open;
    if (ops.close_count == nullptr) ops.close_count = get_ndi_pull0_close_count;
    return ops;
}

// With pull_ndi_thread_running already claimed: starts the detached run, or releases the claim.
int launch(const std::string& name) {
    auto* arg = new std::string(name);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int result = pthread_create(&thread, &attr, PULL_NDI_Run_Thread, arg);
    pthread_attr_destroy(&attr);
    if (result != 0) {
        printf("PULL_NDI_Run_Thread could not be started\n");
        delete arg;
        pull_ndi_thread_running.store(0);
        return 0;
    }
    return 1;
}

bool claim_run() {
    uint8_t idle = 0;
    if (pull_ndi_thread_running.compare_exchange_strong(idle, 1)) return true;
    printf("PULL_NDI_Run_Thread already running, not started again\n");
    return false;
}

}  // namespace

void set_ndi_pull_operations(const NdiPullOperations& operations) {
    std::lock_guard<std::mutex> lock(g_operations_mutex);
    g_operations = operations;
}

void* PULL_NDI_Run_Thread(void* arg) {
    std::unique_ptr<std::string> given(static_cast<std::string*>(arg));
    const std::string name = given ? *given : ndi_pull_decode_name.get();
    printf("PULL_NDI_Run_Thread start ndi_pull_decode_name=%s\n", name.c_str());
    // A run started directly (not through the starters) still marks itself.
    pull_ndi_thread_running.store(1);
    const NdiPullOperations ops = current_operations();
    ops.close();
    const uint32_t closes = ops.close_count();
    pause_ms(kPullNdiPauseMs);
    if (ops.decode_working() != 1 && ops.close_count() == closes) {
        ops.open(name);
    } else if (ops.close_count() != closes) {
        printf("PULL_NDI_Run_Thread: the NDI input was closed during the pause, not reopened\n");
    }
    pull_ndi_thread_running.store(0);
    printf("PULL_NDI_Run_Thread exit\n");
    return nullptr;
}

int start_pull_ndi_thread() {
    if (!claim_run()) return 0;
    return launch(ndi_pull_decode_name.get());
}

void start_pull_ndi_thread_named(const std::string& name) {
    if (!claim_run()) return;
    ndi_pull_decode_name = name;
    launch(name);
}
