// A bench thread for the device: it finds the NDI sources, opens the first one, and then switches the on-air
// input between NDI and the USB camera every 10 s, forever. Nothing in the process starts it; it exercises
// the input switch (pictures, sound, previews) on a device on the bench.
#pragma once

#include <cstdint>

constexpr int64_t kSignalTaskSettleMs = 2000;
constexpr int64_t kSignalTaskOpenDelayMs = 10000;
constexpr int64_t kSignalTaskSwitchMs = 10000;
constexpr int kSignalTaskScanSeconds = 10;

// The thread body; its waits go through the pause seam.
void* task_run_signal(void* arg);
// Starts it on a detached thread: 0, or the thread error.
int start_task_run_signal();
