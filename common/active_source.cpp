#include "active_source.h"

std::atomic<int> active_source{0};
std::atomic<uint8_t> uvc_connect_flag{0};
std::atomic<int> uvc_frame_watch_ticks{0};
std::atomic<int> uvc_preview_counter{0};
std::atomic<uint8_t> uvc_frame_pending{0};
std::atomic<int> ndi_preview_count{0};
std::atomic<int> ip1_preview_count{0};
std::atomic<int> address_overlay_budget{1200};

namespace {
std::atomic<AudioSourceFunction> g_audio_source_function{nullptr};

void switch_audio(int source) {
    AudioSourceFunction fn = g_audio_source_function.load();
    if (fn != nullptr) fn(source);
}
}  // namespace

void set_audio_source_function(AudioSourceFunction fn) {
    g_audio_source_function.store(fn);
}

void set_active_source(int input) {
    switch (input) {
    case kInputCamera:
        switch_audio(kAudioSourceCamera);
        uvc_preview_counter.store(1, std::memory_order_relaxed);
        uvc_frame_pending.store(0, std::memory_order_relaxed);
        break;
    case kInputNdi:
        switch_audio(kAudioSourceNetwork);
        ndi_preview_count.store(1, std::memory_order_relaxed);
        break;
    case kInputIp1:
        switch_audio(kAudioSourceNetwork);
        ip1_preview_count.store(1, std::memory_order_relaxed);
        break;
    default:
        break;
    }
    active_source.store(input, std::memory_order_relaxed);
}

int get_active_source() {
    return active_source.load(std::memory_order_relaxed);
}
