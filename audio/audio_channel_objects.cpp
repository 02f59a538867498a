#include "audio_channel_objects.h"

#include "audio_sleep.h"
#include "audio_volume.h"

namespace {

// Opens when present and enabled, releases when absent or disabled; every 100 ms while running.
template <typename Object, typename Init, typename Uninit>
void supervise(Object* object, Init init, Uninit uninit) {
    while (object->running.load(std::memory_order_relaxed) != 0) {
        const bool present = object->dev->present.load(std::memory_order_relaxed) != 0;
        const bool enabled = object->enable.load(std::memory_order_relaxed) != 0;
        bool open;
        {
            std::lock_guard<std::mutex> lock(object->handle_mutex);
            open = object->handle != nullptr;
        }
        if (present && enabled && !open) {
            // Opening can take a while; the handle is published only once it is ready.
            auto* handle = init(object->dev, object->dev->channels.load(), object->dev->format.load(),
                                object->dev->rate.load());
            std::lock_guard<std::mutex> lock(object->handle_mutex);
            object->handle = handle;
        } else if ((!present || !enabled) && open) {
            decltype(object->handle) handle;
            {
                std::lock_guard<std::mutex> lock(object->handle_mutex);
                handle = object->handle;
                object->handle = nullptr;
            }
            uninit(handle);
        }
        audio_sleep_while(object->running, kAudioSupervisorPeriodMs);
    }
}

template <typename Object, typename Uninit>
void stop(Object* object, Uninit uninit) {
    object->running.store(0);
    if (object->supervisor.joinable()) object->supervisor.join();
    uninit(object->handle);
    object->handle = nullptr;
}

// The supervisors of the capture and playback channel objects.
void audio_capture_dev_thread(audio_capture_dev_object* object) {
    supervise(object, &audio_capture_init, &audio_capture_uninit);
}

void audio_play_dev_thread(audio_play_dev_object* object) {
    supervise(object, &audio_player_init, &audio_player_uninit);
}

}  // namespace

audio_capture_dev_object* audio_capture_dev_create(audio_dev_info* dev) {
    if (dev == nullptr) return nullptr;
    auto* object = new audio_capture_dev_object;
    object->dev = dev;
    object->running.store(1);
    object->supervisor = std::thread(audio_capture_dev_thread, object);
    return object;
}

void audio_capture_dev_destroy(audio_capture_dev_object* object) {
    if (object == nullptr) return;
    stop(object, &audio_capture_uninit);
    delete object;
}

int audio_capture_dev_set_volume(audio_capture_dev_object* object, int index) {
    if (object == nullptr) return 0;
    if (index >= 0 && index <= kVolumeIndexMax) object->volume.store(static_cast<uint32_t>(index));
    return static_cast<int>(object->volume.load());
}

int audio_capture_dev_get_volume(const audio_capture_dev_object* object) {
    return object != nullptr ? static_cast<int>(object->volume.load()) : 0;
}

int audio_capture_dev_pop(audio_capture_dev_object* object, uint8_t* buffer, int n) {
    if (object == nullptr) return 0;
    int count;
    {
        std::lock_guard<std::mutex> lock(object->handle_mutex);
        count = audio_capture_pop(object->handle, buffer, n);
    }
    // Over the bytes popped, not the bytes asked for: the rest of the buffer holds nothing of this block.
    if (count > 0)
        audio_pcm_apply_volume(kVolumeFormatS16, buffer, count, static_cast<int>(object->volume.load()));
    return count;
}

uint32_t audio_capture_dev_size(audio_capture_dev_object* object) {
    if (object == nullptr) return 0;
    std::lock_guard<std::mutex> lock(object->handle_mutex);
    return audio_capture_pcm_size(object->handle);
}

void audio_capture_dev_clear(audio_capture_dev_object* object) {
    if (object == nullptr) return;
    std::lock_guard<std::mutex> lock(object->handle_mutex);
    audio_capture_clear(object->handle);
}

int audio_capture_dev_present(const audio_capture_dev_object* object) {
    return object != nullptr ? object->dev->present.load(std::memory_order_relaxed) : 0;
}

void audio_capture_dev_set_enable(audio_capture_dev_object* object, int flag) {
    if (object != nullptr) object->enable.store(static_cast<uint8_t>(flag));
}

int audio_capture_dev_get_enable(const audio_capture_dev_object* object) {
    return object != nullptr ? object->enable.load() : 0;
}

int audio_capture_dev_is_open(audio_capture_dev_object* object) {
    if (object == nullptr) return 0;
    std::lock_guard<std::mutex> lock(object->handle_mutex);
    return object->handle != nullptr ? 1 : 0;
}

audio_play_dev_object* audio_play_dev_create(audio_dev_info* dev) {
    if (dev == nullptr) return nullptr;
    auto* object = new audio_play_dev_object;
    object->dev = dev;
    object->running.store(1);
    object->supervisor = std::thread(audio_play_dev_thread, object);
    return object;
}

void audio_play_dev_destroy(audio_play_dev_object* object) {
    if (object == nullptr) return;
    stop(object, &audio_player_uninit);
    delete object;
}

void audio_play_dev_push(audio_play_dev_object* object, const uint8_t* data, int length) {
    if (object == nullptr || object->dev->present.load(std::memory_order_relaxed) == 0) return;
    std::lock_guard<std::mutex> lock(object->handle_mutex);
    audio_player_push(object->handle, data, length);
}

int audio_play_dev_present(const audio_play_dev_object* object) {
    return object != nullptr ? object->dev->present.load(std::memory_order_relaxed) : 0;
}

void audio_play_dev_set_enable(audio_play_dev_object* object, int flag) {
    if (object != nullptr) object->enable.store(static_cast<uint8_t>(flag));
}

int audio_play_dev_get_enable(const audio_play_dev_object* object) {
    return object != nullptr ? object->enable.load() : 0;
}

int audio_play_dev_is_open(audio_play_dev_object* object) {
    if (object == nullptr) return 0;
    std::lock_guard<std::mutex> lock(object->handle_mutex);
    return object->handle != nullptr ? 1 : 0;
}
