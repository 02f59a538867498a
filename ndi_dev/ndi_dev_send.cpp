#include "ndi_dev_send.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "fixed_path.h"
#include "ndi_dev_handle.h"
#include "ndi_dev_profile.h"
#include "ndi_hx_send.h"
#include "pause.h"

SafeQueue ndi_send_vedio_safequeue;
SafeQueue ndi_send_proxy_safequeue;
SafeQueue ndi_send_audio_safequeue;

namespace {

// AAC-LC, 48000 Hz, 2 channels: the AudioSpecificConfig sent with every audio packet.
const uint8_t kAudioExtra[2] = {0x11, 0x90};

std::atomic<bool> g_working{false};
std::atomic<int64_t> g_start_video_ms{0};
std::atomic<int64_t> g_start_audio_ms{0};
std::atomic<uint8_t> g_test_selector{0};
std::once_flag g_first_call;
NDI_Dev_Handle* g_handle = nullptr;

void free_item(void** item) {
    if (item == nullptr || *item == nullptr) return;
    NdiDevQueueItem* queued = static_cast<NdiDevQueueItem*>(*item);
    free(queued->bytes);
    free(queued);
    *item = nullptr;
}

// A zeroed item holding a copy of the bytes; null when memory runs out.
NdiDevQueueItem* make_item(const uint8_t* bytes, uint32_t size) {
    auto* item = static_cast<NdiDevQueueItem*>(calloc(1, sizeof(NdiDevQueueItem)));
    if (item == nullptr) return nullptr;
    item->bytes = static_cast<uint8_t*>(malloc(size));
    if (item->bytes == nullptr) {
        free(item);
        return nullptr;
    }
    memcpy(item->bytes, bytes, size);
    item->size = static_cast<int32_t>(size);
    return item;
}

void push_video(SafeQueue* queue, int32_t limit, const char* message, const uint8_t* bytes, uint32_t size,
                int width, int height, bool key) {
    if (!g_working.load(std::memory_order_relaxed) || bytes == nullptr || size == 0 || size > kNdiDevMaxQueuedBytes)
        return;
    if (queue->Size() >= limit) {
        printf("%s\n", message);
        queue->Clear();
        return;
    }
    NdiDevQueueItem* item = make_item(bytes, size);
    if (item == nullptr) return;
    item->type = 0;
    item->key = key;
    item->width = static_cast<uint16_t>(width);
    item->height = static_cast<uint16_t>(height);
    item->frame_rate = kNdiDevQueueFrameRate;
    queue->Push(item);
}

NdiDevQueueItem* take(SafeQueue* queue) {
    void* item = nullptr;
    if (queue->TryPop(&item) != 1) return nullptr;
    return static_cast<NdiDevQueueItem*>(item);
}

// Copies the item's bytes when they fit; a larger item is reported by its length alone, so the device refuses
// it with its own message instead of reading past the request's buffer.
void copy_bytes(const NdiDevQueueItem* item, uint8_t* data, uint32_t capacity, uint32_t* length) {
    *length = static_cast<uint32_t>(item->size);
    if (data != nullptr && *length <= capacity) memcpy(data, item->bytes, *length);
}

// Timestamps are milliseconds since the main task started; the item is done with.
void stamp_and_free(NdiDevRequestHead* request, NdiDevQueueItem* item) {
    const int64_t now = ndi_hx_clock_ms();
    request->timestamp_ms = now - g_start_video_ms.load(std::memory_order_relaxed);
    request->pts_ms = now - g_start_audio_ms.load(std::memory_order_relaxed);
    void* owned = item;
    free_item(&owned);
}

int pull_video(SafeQueue* queue, NdiDevVideoRequest* request, bool key_from_bytes) {
    if (request == nullptr) return 0;
    NdiDevQueueItem* item = take(queue);
    if (item == nullptr) return 0;
    copy_bytes(item, request->data, request->data_capacity, &request->data_length);
    if (key_from_bytes) {
        const uint8_t nal = item->size > 4 ? item->bytes[4] : 0;
        request->key = (nal & 0x0F) == 7 || nal == 0x40;
    } else {
        request->key = item->key;
    }
    if (!request->key) request->extra_length = 0;
    request->width = item->width;
    request->height = item->height;
    request->frame_rate = item->frame_rate;
    stamp_and_free(request, item);
    return 1;
}

void enable_queues(int flag) {
    ndi_send_vedio_safequeue.SetEnable(flag);
    ndi_send_proxy_safequeue.SetEnable(flag);
    ndi_send_audio_safequeue.SetEnable(flag);
    ndi_send_vedio_safequeue.Clear();
    ndi_send_audio_safequeue.Clear();
    ndi_send_proxy_safequeue.Clear();
}

}  // namespace

uint8_t ndi_dev_send_is_working() { return g_working.load(std::memory_order_relaxed) ? 1 : 0; }

int ndi_dev_stop_request() {
    bool expected = true;
    return g_working.compare_exchange_strong(expected, false, std::memory_order_relaxed) ? 1 : 0;
}

bool ndi_dev_key_nal(const uint8_t* bytes, int size) {
    if (bytes == nullptr || size <= 4) return false;
    const uint8_t type = bytes[4] & 0x1F;
    return type == 5 || type == 7 || bytes[4] == 0x40;
}

void corvane_sdk_ndi_HX_Encode_vedio(const uint8_t* bytes, uint32_t size, int width, int height) {
    // The message names the limit the queue really has.
    push_video(&ndi_send_vedio_safequeue, kNdiDevVideoQueueLimit,
               "corvane_sdk_ndi_HX_Encode_vedio ndi_send_vedio_safequeue.size()>=100", bytes, size, width, height,
               ndi_dev_key_nal(bytes, static_cast<int>(size)));
}

void corvane_sdk_ndi_HX_Encode_vedio_proxy(const uint8_t* bytes, uint32_t size, int width, int height) {
    push_video(&ndi_send_proxy_safequeue, kNdiDevProxyQueueLimit,
               "corvane_sdk_ndi_HX_Encode_vedio_proxy ndi_send_proxy_safequeue.size()>=250", bytes, size, width,
               height, ndi_dev_key_nal(bytes, static_cast<int>(size)));
}

void corvane_sdk_ndi_HX_Encode_audio(const uint8_t* bytes, uint32_t size) {
    if (!g_working.load(std::memory_order_relaxed) || bytes == nullptr || size == 0 || size > kNdiDevMaxQueuedBytes)
        return;
    if (ndi_send_audio_safequeue.Size() >= kNdiDevAudioQueueLimit) {
        printf("corvane_sdk_ndi_HX_Encode_audio ndi_send_audio_safequeue.size()>=47\n");
        ndi_send_audio_safequeue.Clear();
        return;
    }
    NdiDevQueueItem* item = make_item(bytes, size);
    if (item == nullptr) return;
    item->type = 1;
    item->sample_rate = kNdiDevQueueSampleRate;
    ndi_send_audio_safequeue.Push(item);
}

int ndi_dev_video_pull(NdiDevVideoRequest* request) { return pull_video(&ndi_send_vedio_safequeue, request, true); }

int ndi_dev_proxy_pull(NdiDevVideoRequest* request) { return pull_video(&ndi_send_proxy_safequeue, request, false); }

int ndi_dev_audio_pull(NdiDevAudioRequest* request) {
    if (request == nullptr) return 0;
    NdiDevQueueItem* item = take(&ndi_send_audio_safequeue);
    if (item == nullptr) return 0;
    copy_bytes(item, request->data, request->data_capacity, &request->data_length);
    request->extra_length = sizeof(kAudioExtra);
    if (request->extra != nullptr && request->extra_capacity >= sizeof(kAudioExtra))
        memcpy(request->extra, kAudioExtra, sizeof(kAudioExtra));
    request->key = true;
    request->sample_rate = item->sample_rate;
    stamp_and_free(request, item);
    return 1;
}

void ndi_dev_set_test_selector(uint8_t selector) { g_test_selector.store(selector, std::memory_order_relaxed); }

void NDI_Test_Get_Stream_Info(NdiDevTestVideoInfo* info) {
    const uint8_t selector = g_test_selector.load(std::memory_order_relaxed);
    if (info == nullptr || (selector != 0 && selector != 2)) return;
    info->width = kNdiDevTestWidth;
    info->height = kNdiDevTestHeight;
    info->fps = kNdiDevTestFps;
    printf(selector == 0 ? "NDI_Test_Get_Stream_Info NDI_TEST_EXAMPLES_H264_H\n"
                         : "NDI_Test_Get_Stream_Info NDI_TEST_EXAMPLES_HEVC_H\n");
}

void ndi_dev_test_audio_info(NdiDevTestAudioInfo* info) {
    if (info == nullptr || g_test_selector.load(std::memory_order_relaxed) > 3) return;
    info->sample_rate = kNdiDevTestSampleRate;
    info->channels = kNdiDevTestChannels;
    info->samples = kNdiDevTestSamples;
}

void ndi_dev_main_task(const char* name) {
    std::call_once(g_first_call, [] {
        ndi_send_vedio_safequeue.Init("ndi_send_vedio_safequeue");
        ndi_send_proxy_safequeue.Init("ndi_send_proxy_safequeue");
        ndi_send_audio_safequeue.Init("ndi_send_audio_safequeue");
        ndi_send_vedio_safequeue.SetFreeCallback(free_item);
        ndi_send_proxy_safequeue.SetFreeCallback(free_item);
        ndi_send_audio_safequeue.SetFreeCallback(free_item);
        g_handle = new NDI_Dev_Handle();
    });
    g_start_video_ms.store(ndi_hx_clock_ms(), std::memory_order_relaxed);
    g_start_audio_ms.store(ndi_hx_clock_ms(), std::memory_order_relaxed);
    enable_queues(1);
    g_handle->profile_path = fixed_path(kNdiDevProfilePath);
    printf("NDI NDI_TEST_EXAMPLES_H264_H...\n");
    ndi_dev_set_test_selector(0);

    NdiDevSendSettings settings;
    memset(&settings, 0, sizeof(settings));
    if (name) strncpy(settings.name, name, sizeof(settings.name) - 1);
    settings.mode = kNdiDevModeH264;
    NdiDevTestVideoInfo video{};
    NDI_Test_Get_Stream_Info(&video);
    NdiDevTestAudioInfo audio{};
    ndi_dev_test_audio_info(&audio);
    settings.width = video.width;
    settings.height = video.height;
    settings.frame_rate = video.fps;
    settings.sample_rate = audio.sample_rate;
    settings.channels = audio.channels;
    settings.samples_per_frame = audio.samples;
    settings.high_bandwidth = true;
    settings.metadata = false;
    settings.clock_video = true;
    settings.clock_audio = true;
    settings.video_pull = ndi_dev_video_pull;
    settings.audio_pull = ndi_dev_audio_pull;
    printf("Main0 init done\n");

    const int init = NDI_Dev_Init(g_handle, kNdiDevSender, &settings, nullptr);
    NDI_Dev_Operate(g_handle, init, 0, nullptr);
    g_working.store(true, std::memory_order_relaxed);
    printf("Main NDI_Dev_Stop working\n");
    while (g_working.load(std::memory_order_relaxed)) pause_seconds(1);
    NDI_Dev_Stop(g_handle, 0);
    printf("Main NDI_Dev_Stop exit\n");
    pause_seconds(1);
    NDI_Dev_Destroy(g_handle, 0);
    printf("Main NDI_Dev_Destroy exit\n");
    enable_queues(0);
}
