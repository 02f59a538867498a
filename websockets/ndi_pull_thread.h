// The NDI pull thread: switches the NDI receive to another source, or reconnects the current one, without
// blocking its starter. It closes the running receive, waits 2 s, and opens the named source unless a
// receive has been opened again meanwhile, or someone else closed the receive meanwhile (the user switched
// NDI off during the pause: it stays off). Two starters: the control dispatcher (the user picked a source
// while a receive runs) and the NDI receive watchdog (no picture for 120 s).
//
// At most one run at a time: a start claims pull_ndi_thread_running (ctrl_dispatcher.h) by compare-exchange
// and is refused while a run is under way. Each run gets its own copy of the name, so a starter writing
// ndi_pull_decode_name never races the running thread.
#pragma once

#include <cstdint>
#include <string>

// The pause between the close and the open.
constexpr int64_t kPullNdiPauseMs = 2000;

// The NDI receive operations a run calls. The defaults are the NDI input's own (ndi_pull0.h); tests install
// recording fakes. Members left empty keep the default.
struct NdiPullOperations {
    void (*close)() = nullptr;
    uint8_t (*decode_working)() = nullptr;
    int (*open)(const std::string& name) = nullptr;
    uint32_t (*close_count)() = nullptr;
};
void set_ndi_pull_operations(const NdiPullOperations& operations);

// The thread body (pthread entry, run detached). arg is a heap std::string with the name to open, which the
// thread takes over; with a null arg it reads ndi_pull_decode_name. Clears pull_ndi_thread_running at its
// end.
void* PULL_NDI_Run_Thread(void* arg);

// Starts a run with a copy of ndi_pull_decode_name (the dispatcher has stored the selected name there):
// 1 when started, 0 while a run is under way or when no thread could be made.
int start_pull_ndi_thread();
// The watchdog's starter: stores name in ndi_pull_decode_name and starts a run with it, unless a run is
// under way (then nothing changes). Install it with set_ndi_pull0_restart_function.
void start_pull_ndi_thread_named(const std::string& name);
