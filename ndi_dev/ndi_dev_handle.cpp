#include "ndi_dev_handle.h"

#include <cstdio>
#include <cstring>

#include "ndi_dev_profile.h"
#include "pause.h"

namespace {

bool receiver_working(const NDI_Dev_Handle* handle) {
    return handle && handle->device && handle->device->role() == kNdiDevReceiver && handle->device->working();
}

}  // namespace

NDI_Dev_Handle::~NDI_Dev_Handle() { delete device; }

int NDI_Dev_Init(NDI_Dev_Handle* handle, int role, const NdiDevSendSettings* send, const NdiDevRecvSettings* recv) {
    printf("Vesion:%s\n", kNdiDevVersion);
    if (handle == nullptr || role < 0 || role >= kNdiDevNoRole) {
        printf("Error: The operate of NDI-Dev is fault!\n");
        return -1;
    }
    if (role == kNdiDevSender) {
        if (send == nullptr) {
            printf("Error: The info of NDI-Dev is fault!\n");
            return -1;
        }
        if (send->mode < 0 || send->mode > kNdiDevModeMax) {
            printf("Error: Please confirm the video format!\n");
            return -1;
        }
        if (send->video_pull == nullptr || send->audio_pull == nullptr) {
            printf("Error: Unable to get data of video and audio!\n");
            return -1;
        }
        handle->send_settings = *send;
    }
    if (ndi_dev_create_default_profile(handle->profile_path.c_str()) != 1) return -1;
    if (handle->device) {
        if (handle->device->working()) handle->device->Stop();
        delete handle->device;
    }
    handle->device = new NDI_Dev();
    // A device that is not ready refuses its start with its own message.
    handle->device->Init(role, role == kNdiDevSender ? &handle->send_settings : nullptr, handle->profile_path.c_str(),
                         recv);
    return 1;
}

int NDI_Dev_Operate(NDI_Dev_Handle* handle, int, int frame_limit, const char* source_name) {
    if (handle == nullptr || handle->device == nullptr) return 0;
    if (ndi_dev_profile_check(handle->device) != 1) return 0;
    return handle->device->Start(frame_limit, source_name);
}

int NDI_Dev_Find_Sources(NDI_Dev_Handle* handle, int timeout_ms, NdiDevSourceEntry* out, int capacity) {
    if (handle == nullptr || handle->device == nullptr || out == nullptr || capacity <= 0) return 0;
    return handle->device->FindSources(timeout_ms, out, capacity);
}

NdiDevVideoRecord* NDI_Dev_Get_Video(NDI_Dev_Handle* handle, int wait) {
    return receiver_working(handle) ? handle->device->TakeVideo(wait) : nullptr;
}

NdiDevAudioRecord* NDI_Dev_Get_Audio(NDI_Dev_Handle* handle, int wait) {
    return receiver_working(handle) ? handle->device->TakeAudio(wait) : nullptr;
}

int NDI_Dev_Release_Video(NDI_Dev_Handle* handle) {
    if (!receiver_working(handle)) return 0;
    handle->device->ReleaseVideo();
    return 1;
}

int NDI_Dev_Release_Audio(NDI_Dev_Handle* handle) {
    if (!receiver_working(handle)) return 0;
    handle->device->ReleaseAudio();
    return 1;
}

int NDI_Dev_Stop(NDI_Dev_Handle* handle, int) {
    if (handle == nullptr || handle->device == nullptr) return 0;
    if (handle->device->working()) handle->device->Stop();
    return 1;
}

int NDI_Dev_Destroy(NDI_Dev_Handle* handle, int) {
    if (handle == nullptr || handle->device == nullptr) return 0;
    if (handle->device->working()) handle->device->Stop();
    delete handle->device;
    handle->device = nullptr;
    return 1;
}

int NDI_Dev_Restart(NDI_Dev_Handle* handle) {
    if (handle == nullptr || handle->device == nullptr) return 0;
    NDI_Dev* dev = handle->device;
    if (ndi_dev_profile_check(dev) != 1 || !dev->ready()) return 0;
    if (dev->working()) dev->Stop();
    pause_ms(kNdiDevRestartPauseMs);
    char source[kNdiDevNameSize];
    memcpy(source, dev->source_name(), sizeof(source));
    return dev->Start(dev->frame_limit(), source[0] ? source : nullptr);
}

int NDI_Dev_Set_Name(NDI_Dev_Handle* handle, const char* name) {
    if (handle == nullptr || handle->device == nullptr) return 0;
    return handle->device->set_name(name);
}

int NDI_Dev_Get_Name(NDI_Dev_Handle* handle, char* out, int capacity) {
    if (handle == nullptr || handle->device == nullptr || out == nullptr) return 0;
    const size_t length = strlen(handle->device->name());
    if (capacity <= 0 || static_cast<size_t>(capacity) <= length) return 0;
    memcpy(out, handle->device->name(), length + 1);
    return 1;
}
