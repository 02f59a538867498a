// NDI_Dev_Handle: the entry object of the NDI device interface. It owns at most one NDI_Dev, checks the
// caller's settings, makes sure the profile file exists, and forwards start, stop, source search and the
// receive-side frame access to the device. Used from one thread; the device's threads run beside it.
#pragma once

#include <string>

#include "ndi_dev.h"

constexpr const char* kNdiDevVersion = "V-1.00 2024.05.128";
// Pause between the stop and the start of a restart.
constexpr int kNdiDevRestartPauseMs = 100;

struct NDI_Dev_Handle {
    NDI_Dev* device = nullptr;
    NdiDevSendSettings send_settings{};
    std::string profile_path;

    NDI_Dev_Handle() = default;
    ~NDI_Dev_Handle();
    NDI_Dev_Handle(const NDI_Dev_Handle&) = delete;
    NDI_Dev_Handle& operator=(const NDI_Dev_Handle&) = delete;
};

// role 0 (sender, send settings required) or 1 (receiver). 1 when a new device was made and initialised; -1 on
// a refused argument or a profile file that cannot be made. An existing device is stopped and replaced.
int NDI_Dev_Init(NDI_Dev_Handle* handle, int role, const NdiDevSendSettings* send, const NdiDevRecvSettings* recv);
// The device's start (after a check of its profile text); 0 without device or with a broken profile text.
int NDI_Dev_Operate(NDI_Dev_Handle* handle, int ignored, int frame_limit, const char* source_name);
// The device's source search; 0 without device, array or capacity.
int NDI_Dev_Find_Sources(NDI_Dev_Handle* handle, int timeout_ms, NdiDevSourceEntry* out, int capacity);
// The oldest full receive record while the device works as receiver; null otherwise.
NdiDevVideoRecord* NDI_Dev_Get_Video(NDI_Dev_Handle* handle, int wait);
NdiDevAudioRecord* NDI_Dev_Get_Audio(NDI_Dev_Handle* handle, int wait);
// Releases the record taken, while the device works as receiver. 1 when released.
int NDI_Dev_Release_Video(NDI_Dev_Handle* handle);
int NDI_Dev_Release_Audio(NDI_Dev_Handle* handle);
// Stops a working device; 0 without device, 1 otherwise.
int NDI_Dev_Stop(NDI_Dev_Handle* handle, int ignored);
// Stops a working device and destroys it; 0 without device, 1 otherwise.
int NDI_Dev_Destroy(NDI_Dev_Handle* handle, int ignored);
// Stops a working device and starts it again after kNdiDevRestartPauseMs with its stored frame limit (which the
// stop cleared) and source name. The start's result; 0 for a device that is not ready.
int NDI_Dev_Restart(NDI_Dev_Handle* handle);
// The device's sender name: set (1 to 127 characters) and get (when capacity holds it and its NUL).
int NDI_Dev_Set_Name(NDI_Dev_Handle* handle, const char* name);
int NDI_Dev_Get_Name(NDI_Dev_Handle* handle, char* out, int capacity);
