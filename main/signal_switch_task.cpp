#include "signal_switch_task.h"

#include <cstdio>
#include <vector>

#include "active_source.h"
#include "ndi_find_sources.h"
#include "ndi_pull0.h"
#include "pause.h"
#include "worker_thread.h"

void* task_run_signal(void*) {
    printf("task_run_signal start\r\n");
    pause_ms(kSignalTaskSettleMs);
    NdiSourceInfo* table = nullptr;
    uint32_t count = 0;
    ndi_find_sources(&table, &count, kSignalTaskScanSeconds);
    const std::vector<NdiSourceInfo> sources = ndi_find_copy_sources();
    for (size_t i = 0; i < sources.size(); ++i) {
        printf("task_run_signal source[%zu] name=%s url=%s\r\n", i, sources[i].name, sources[i].url);
    }
    pause_ms(kSignalTaskOpenDelayMs);
    if (!sources.empty() && get_ndi_pull0_decode_working() != 1) set_corvane_ndi_pull0_open(sources[0].name);
    for (;;) {
        pause_ms(kSignalTaskSwitchMs);
        set_active_source(kInputNdi);
        printf("Briskbox_v2_set_signal(DEV_NDI)\r\n");
        pause_ms(kSignalTaskSwitchMs);
        set_active_source(kInputCamera);
        printf("Briskbox_v2_set_signal(DEV_UVC)\r\n");
    }
    return nullptr;
}

int start_task_run_signal() { return start_worker_thread(task_run_signal, "task_run_signal"); }
