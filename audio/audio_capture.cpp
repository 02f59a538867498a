#include "audio_capture.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "pcm.h"

namespace {

constexpr int kCapturePauseMs = 1;
constexpr int kPlaybackPauseMs = 2;

void audio_capture_thread_process(audio_capture_handle* h) {
    while (h->running.load(std::memory_order_relaxed) == 1) {
        {
            std::lock_guard<std::mutex> lock(h->handle_mutex);
            if (h->pcm != nullptr && !h->transfer_buffer.empty() &&
                pcm_read(h->pcm, h->transfer_buffer.data(), static_cast<unsigned>(h->transfer_buffer.size())) >= 0) {
                if (audiovector_size(&h->pcm_buffer) > kAudioDeviceBacklogBytes) audiovector_clear(&h->pcm_buffer);
                audiovector_push(&h->pcm_buffer, h->transfer_buffer.data(),
                                 static_cast<uint32_t>(h->transfer_buffer.size()));
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kCapturePauseMs));
    }
}

void player_thread_process(audio_player_handle* h) {
    while (h->running.load(std::memory_order_relaxed) == 1) {
        {
            std::lock_guard<std::mutex> lock(h->handle_mutex);
            int popped = 0;
            if (audiovector_size(&h->pcm_buffer) > 0 && !h->transfer_buffer.empty()) {
                popped = audiovector_pop(&h->pcm_buffer, h->transfer_buffer.data(),
                                         static_cast<int>(h->transfer_buffer.size()));
                if (popped > 0 && pcm_write(h->pcm, h->transfer_buffer.data(), static_cast<unsigned>(popped)) != 0)
                    std::fprintf(stderr, "Error playing sample\n");
            }
            if (!h->transfer_buffer.empty() && audiovector_size(&h->pcm_buffer) > kAudioDeviceBacklogBytes) {
                audiovector_clear(&h->pcm_buffer);
                std::printf("==vor %s,%d %s play %d pcmdata clear %u\n", "audio_player_thread_process", 88, h->name,
                            popped, audiovector_size(&h->pcm_buffer));
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPlaybackPauseMs));
    }
}

void release(audio_device_handle* h) {
    h->running.store(0);
    if (h->thread.joinable()) h->thread.join();
    {
        std::lock_guard<std::mutex> lock(h->handle_mutex);
        std::vector<uint8_t>().swap(h->transfer_buffer);
        if (h->pcm != nullptr) pcm_close(h->pcm);
        h->pcm = nullptr;
    }
    audiovector_uninit(&h->pcm_buffer);
    delete h;
}

// Allocates the handle and opens the device; null (with the reason printed) when that fails.
audio_device_handle* open_device(const audio_dev_info* dev, int channels, uint32_t format, int rate, bool capture) {
    if (dev == nullptr) return nullptr;
    const std::string name = dev->name();
    if (name.compare(0, 3, "hw:") != 0 || name.size() > kAudioDeviceNameMax) return nullptr;
    auto* h = new (std::nothrow) audio_device_handle;
    if (h == nullptr) return nullptr;
    audiovector_init(&h->pcm_buffer);
    pcm_config config = {};
    config.channels = static_cast<unsigned>(channels);
    config.rate = static_cast<unsigned>(rate);
    config.period_size = kAudioPeriodFrames;
    config.period_count = capture ? 2 * static_cast<unsigned>(channels) : kAudioPlaybackPeriods;
    config.format = format;
    std::memcpy(h->name, name.c_str(), name.size() + 1);
    int card = -1;
    int device = -1;
    std::sscanf(h->name, "hw:%d,%d", &card, &device);
    if (capture)
        std::printf("0111 dev_name=%s channels=%d rate=%d format=%d\r\n", h->name, channels, rate,
                    static_cast<int>(format));
    h->pcm = pcm_open(static_cast<unsigned>(card), static_cast<unsigned>(device), capture ? PCM_IN : PCM_OUT, &config);
    if (h->pcm == nullptr || pcm_is_ready(h->pcm) == 0) {
        std::fprintf(stderr, "Unable to open PCM device %u (%s)\n", 0u, pcm_get_error(h->pcm));
        if (capture) std::printf("11111111111111111111111111111111111\r");
        release(h);
        return nullptr;
    }
    // The device buffer's frame count, taken as bytes, is one period of 16-bit frames: 1024 × 2 × channels
    // for a capture (2 × channels periods), 4096 for a player (4 periods).
    const unsigned size = pcm_get_buffer_size(h->pcm);
    try {
        h->transfer_buffer.resize(size);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "Unable to allocate %u bytes\n", size);
        release(h);
        return nullptr;
    }
    if (capture)
        std::printf("dev_name:%s, Playing size: %u, sample: %d ch, %d hz, %u bit\n", h->name, size, channels, rate,
                    format);
    h->running.store(1);
    h->thread = std::thread(capture ? audio_capture_thread_process : player_thread_process, h);
    return h;
}

}  // namespace

audio_capture_handle* audio_capture_init(const audio_dev_info* dev, int channels, uint32_t format, int rate) {
    return open_device(dev, channels, format, rate, true);
}

void audio_capture_uninit(audio_capture_handle* handle) {
    if (handle == nullptr) return;
    release(handle);
    std::printf("==vor %s %d ----\n", "audio_capture_uninit", 149);
}

uint32_t audio_capture_pcm_size(const audio_capture_handle* handle) {
    return handle != nullptr ? audiovector_size(&handle->pcm_buffer) : 0;
}

void audio_capture_clear(audio_capture_handle* handle) {
    if (handle != nullptr) audiovector_clear(&handle->pcm_buffer);
}

int audio_capture_pop(audio_capture_handle* handle, uint8_t* buffer, int n) {
    if (handle == nullptr || buffer == nullptr || n <= 0 || audiovector_size(&handle->pcm_buffer) == 0) return 0;
    return audiovector_pop(&handle->pcm_buffer, buffer, n);
}

audio_player_handle* audio_player_init(const audio_dev_info* dev, int channels, uint32_t format, int rate) {
    return open_device(dev, channels, format, rate, false);
}

void audio_player_push(audio_player_handle* handle, const uint8_t* data, int length) {
    if (handle != nullptr && data != nullptr && length > 0)
        audiovector_push(&handle->pcm_buffer, data, static_cast<uint32_t>(length));
}

void audio_player_uninit(audio_player_handle* handle) {
    if (handle != nullptr) release(handle);
}
