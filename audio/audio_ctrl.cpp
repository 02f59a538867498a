#include "audio_ctrl.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "audio_channel_objects.h"
#include "audio_dev_info.h"
#include "audio_net_streamer.h"
#include "audio_resample.h"
#include "audio_sleep.h"
#include "audio_volume.h"
#include "audiovector.h"
#include "pause.h"

namespace {

constexpr int kChannelCount = 4;
// One microphone block is 1024 frames of 16-bit samples: this many bytes per channel.
constexpr uint32_t kBlockBytesPerChannel = 2048;
constexpr int kStartPauseMs = 1000;

std::atomic<int> g_audio_source{0};
std::atomic<uint8_t> g_audio_mix_flag{0};
std::atomic<float> g_mix_weights[kChannelCount] = {{0.5f}, {0.0f}, {0.5f}, {0.5f}};
std::atomic<int> g_output_volume{kVolumeIndexUnity};

audiovector g_encode_pcm_vector;

std::atomic<audio_capture_dev_object*> g_capture_objects[3] = {{nullptr}, {nullptr}, {nullptr}};
std::atomic<audio_play_dev_object*> g_players[2] = {{nullptr}, {nullptr}};

std::mutex g_start_mutex;
std::atomic<uint8_t> g_started{0};
std::atomic<uint8_t> g_wrenlet_audio_ctrl_all_cap_and_play_thread_run{0};
std::thread g_ctrl_thread;
std::atomic<uint8_t> g_loopback_run{0};
std::thread g_loopback_thread;

audio_capture_dev_object* capture(int id) {
    return id >= 1 && id <= 3 ? g_capture_objects[id - 1].load() : nullptr;
}

audio_dev_info* descriptor(int id) {
    switch (id) {
    case kAudioChannelHdmiIn:
        return audio_dev_get_hdmiin();
    case kAudioChannelMic:
        return audio_dev_get_mic();
    case kAudioChannelUvc:
        return audio_dev_get_uvc();
    case kAudioChannelNetwork:
        return audio_dev_get_net_streamer();
    default:
        return nullptr;
    }
}

void push_player(int player, const uint8_t* data, uint32_t length) {
    audio_play_dev_push(g_players[player - 1].load(), data, static_cast<int>(length));
}

void push_encoder(const uint8_t* data, uint32_t length) {
    audiovector_push(&g_encode_pcm_vector, data, length);
}

void apply_output_volume(uint8_t* data, uint32_t length) {
    audio_pcm_apply_volume(kVolumeFormatS16, data, static_cast<int>(length), g_output_volume.load());
}

// Conversion is needed for a microphone that is not already 48000 Hz stereo S16.
bool uvc_needs_conversion(int rate, int channels, int format) {
    return rate != 0 && channels != 0 && (channels != kAudioOutChannels || rate != kAudioOutRate || format != 0);
}

void resampler_upkeep(AudioResampleHandle** resampler) {
    audio_dev_info* uvc = audio_dev_get_uvc();
    // Presence first: the detection thread fills rate and channels in before it marks a microphone present.
    const bool present = uvc->present.load(std::memory_order_acquire) != 0;
    // One reading of the form serves the decision and the resampler made from it.
    const int rate = uvc->rate.load();
    const int channels = uvc->channels.load();
    const int format = uvc->format.load();
    const int rate_differs = rate != kAudioOutRate ? 1 : 0;
    const int format_differs = format != 0 ? 1 : 0;
    if (present) {
        const bool needed = uvc_needs_conversion(rate, channels, format);
        // A microphone replaced by one of another rate or width between two passes needs a new resampler.
        if (*resampler != nullptr &&
            (!needed || (*resampler)->src_rate != rate || (*resampler)->src_nb_channels != channels)) {
            std::printf("=====vor %s,%d %d %d %d %d-------\n", "wrenlet_audio_ctrl_thread", 374, rate, channels,
                        rate_differs, format_differs);
            AudioResample_Uninit(resampler);
        }
        if (needed && *resampler == nullptr) {
            std::printf("=====vor %s,%d  %d %d %d %d-------\n", "wrenlet_audio_ctrl_thread", 364, rate, channels,
                        rate_differs, format_differs);
            AudioResample_InitS16(resampler, channels, rate, format, kAudioOutChannels, kAudioOutRate,
                                  kAudioOutFormat);
        }
        return;
    }
    if (audio_capture_dev_size(capture(kAudioChannelUvc)) > 0) audio_capture_dev_clear(capture(kAudioChannelUvc));
    if (*resampler != nullptr) {
        std::printf("=====vor %s,%d %d-------\n", "wrenlet_audio_ctrl_thread", 384, uvc->present.load());
        AudioResample_Uninit(resampler);
    }
}

// One microphone block (1024 frames) from channel 3 into block, resampled into converted when a
// resampler exists. Returns the bytes ready in *out, 0 when no whole block is waiting.
uint32_t take_uvc_block(AudioResampleHandle* resampler, std::vector<uint8_t>* block,
                        std::vector<uint8_t>* converted, uint8_t** out) {
    const int channels = audio_dev_get_uvc()->channels.load();
    if (channels <= 0) return 0;
    const uint32_t block_bytes = static_cast<uint32_t>(channels) * kBlockBytesPerChannel;
    audio_capture_dev_object* uvc = capture(kAudioChannelUvc);
    if (audio_capture_dev_size(uvc) < block_bytes) return 0;
    block->resize(block_bytes);
    const int popped = audio_capture_dev_pop(uvc, block->data(), static_cast<int>(block_bytes));
    if (popped <= 0) return 0;
    if (resampler == nullptr) {
        *out = block->data();
        return static_cast<uint32_t>(popped);
    }
    // Sized from the resampler's own bound: a low-rate mono block grows six-fold on its way to 48 kHz stereo.
    converted->resize(AudioResample_OutputBound(resampler));
    uint32_t length = 0;
    if (AudioResample_Convert(resampler, block->data(), static_cast<uint32_t>(popped), converted->data(),
                              static_cast<uint32_t>(converted->size()), &length) != 1)
        return 0;
    *out = converted->data();
    return length;
}

void mix_pass(AudioResampleHandle* resampler, std::vector<uint8_t>* block, std::vector<uint8_t>* converted) {
    for (int id = 1; id <= 3; ++id) {
        if (audio_capture_dev_get_enable(capture(id)) != 1) audio_capture_dev_set_enable(capture(id), 1);
    }
    constexpr uint32_t kMixBlockBytes = kAudioOutChannels * kBlockBytesPerChannel;
    // Slots 1 and 2 stay silent: only the microphone of channel 3 is read.
    static const std::vector<uint8_t> silence(kMixBlockBytes, 0);
    uint8_t* uvc_data = nullptr;
    const uint32_t uvc_length = take_uvc_block(resampler, block, converted, &uvc_data);
    const uint8_t* sources[3] = {silence.data(), silence.data(), uvc_length > 0 ? uvc_data : silence.data()};
    const uint32_t lengths[3] = {0, 0, uvc_length};
    const float weights[3] = {g_mix_weights[0].load(), g_mix_weights[1].load(), g_mix_weights[2].load()};
    std::vector<uint8_t> mixed(std::max(kMixBlockBytes, uvc_length));
    const int length = audio_mixer_n_dev_pcm(3, kAudioOutChannels, kAudioOutFormat, sources, lengths, weights,
                                             mixed.data(), static_cast<uint32_t>(mixed.size()));
    if (length <= 0) return;
    apply_output_volume(mixed.data(), static_cast<uint32_t>(length));
    push_encoder(mixed.data(), static_cast<uint32_t>(length));
    push_player(1, mixed.data(), static_cast<uint32_t>(length));
}

void single_source_pass(int source, AudioResampleHandle* resampler, std::vector<uint8_t>* block,
                        std::vector<uint8_t>* converted) {
    for (int id = 1; id <= 3; ++id) {
        audio_capture_dev_object* object = capture(id);
        if (id == source) {
            audio_capture_dev_set_enable(object, 1);
        } else {
            audio_capture_dev_set_enable(object, 0);
            if (audio_capture_dev_size(object) > 0) audio_capture_dev_clear(object);
        }
    }
    if (source >= 1 && source <= 3) {
        uint8_t* data = nullptr;
        const uint32_t length = take_uvc_block(resampler, block, converted, &data);
        if (length == 0) return;
        apply_output_volume(data, length);
        if (resampler != nullptr) {
            push_player(1, data, length);
            push_encoder(data, length);
        } else {
            push_encoder(data, length);
            push_player(1, data, length);
        }
        return;
    }
    if (source != kAudioChannelNetwork) return;
    audio_net_streamer_dev_object* net = g_net_streamer_audio_dev.load();
    if (net == nullptr) return;
    // Never a waiting pop: a selection or an overflow may empty the queue after the size was read, and a
    // wait would then hold the whole audio road until the network sends sound again.
    void* item = nullptr;
    if (net->pcm_data_safequeue.TryPop(&item) != 1) return;
    auto* pcm_block = static_cast<audio_pcm_block*>(item);
    apply_output_volume(pcm_block->bytes, pcm_block->size);
    push_player(1, pcm_block->bytes, pcm_block->size);
    push_encoder(pcm_block->bytes, pcm_block->size);
    audio_pcm_block_free(&item);
    if (net->pcm_data_safequeue.Size() > kNetPcmBacklogBlocks) {
        net->pcm_data_safequeue.Clear();
        std::printf("777 g_net_streamer_audio_dev->pcm_data_safequeue.clear() ....\n");
    }
}

void wrenlet_audio_ctrl_thread() {
    for (int id = 1; id <= kChannelCount; ++id) audio_ctrl_clear_channel_pcm(id);
    pause_ms(kStartPauseMs);
    std::printf("g_wrenlet_audio_ctrl_all_cap_and_play_thread_run=%d\n",
                g_wrenlet_audio_ctrl_all_cap_and_play_thread_run.load());
    AudioResampleHandle* resampler = nullptr;
    std::vector<uint8_t> block;
    std::vector<uint8_t> converted;
    while (g_wrenlet_audio_ctrl_all_cap_and_play_thread_run.load(std::memory_order_relaxed) != 0) {
        resampler_upkeep(&resampler);
        // One reading of the selector per pass, so a pass acts on one source throughout.
        const int source = g_audio_source.load(std::memory_order_relaxed);
        if (g_audio_mix_flag.load(std::memory_order_relaxed) != 0 && source != kAudioChannelNetwork)
            mix_pass(resampler, &block, &converted);
        else
            single_source_pass(source, resampler, &block, &converted);
        if (source == kAudioChannelNetwork)
            std::this_thread::sleep_for(std::chrono::milliseconds(kNetPassSleepMs));
        else
            std::this_thread::sleep_for(std::chrono::microseconds(kCapturePassSleepUs));
    }
    if (resampler != nullptr) {
        std::printf("=====vor %s,%d-------\n", "wrenlet_audio_ctrl_thread", 598);
        AudioResample_Uninit(&resampler);
    }
}

void audio_ctrl_loopback_thread() {
    AudioResampleHandle* resampler = nullptr;
    AudioResample_InitS16(&resampler, 1, kAudioOutRate, 0, kAudioOutChannels, kAudioOutRate, 0);
    std::vector<uint8_t> block;
    std::vector<uint8_t> converted;
    while (g_loopback_run.load(std::memory_order_relaxed) != 0) {
        uint8_t* data = nullptr;
        const uint32_t length = take_uvc_block(resampler, &block, &converted, &data);
        if (length > 0) {
            push_player(1, data, length);
            push_player(2, data, length);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    AudioResample_Uninit(&resampler);
}

}  // namespace

int wrenlet_audio_ctrl_all_cap_and_play_init() {
    std::lock_guard<std::mutex> lock(g_start_mutex);
    if (g_started.load() != 0) return g_started.load();
    g_started.store(1);
    audiovector_init(&g_encode_pcm_vector);
    audio_dev_detect_init();
    const int order[3] = {kAudioChannelHdmiIn, kAudioChannelUvc, kAudioChannelMic};
    for (int id : order) {
        if (g_capture_objects[id - 1].load() == nullptr) {
            audio_capture_dev_object* object = audio_capture_dev_create(descriptor(id));
            audio_capture_dev_set_enable(object, 0);
            g_capture_objects[id - 1].store(object);
        }
    }
    if (g_net_streamer_audio_dev.load() == nullptr)
        g_net_streamer_audio_dev.store(audio_net_streamer_create(audio_dev_get_net_streamer()));
    if (g_players[0].load() == nullptr) {
        audio_play_dev_object* player = audio_play_dev_create(audio_dev_get_hdmiout());
        audio_play_dev_set_enable(player, 1);
        g_players[0].store(player);
    }
    std::printf("start wrenlet_audio_ctrl_all_cap_and_play_init...\n");
    audio_ctrl_thread_start();
    return 1;
}

void wrenlet_audio_ctrl_all_cap_and_play_uninit() {
    std::lock_guard<std::mutex> lock(g_start_mutex);
    if (g_started.load() == 0) return;
    audio_ctrl_thread_stop();
    for (int id : {kAudioChannelHdmiIn, kAudioChannelUvc, kAudioChannelMic})
        audio_capture_dev_destroy(g_capture_objects[id - 1].exchange(nullptr));
    for (auto& player : g_players) audio_play_dev_destroy(player.exchange(nullptr));
    audio_hdmiin_status_stop();
    audio_dev_detect_uninit();
    audiovector_uninit(&g_encode_pcm_vector);
    g_started.store(0);
}

int audio_ctrl_thread_start() {
    if (g_ctrl_thread.joinable()) return -1;
    g_wrenlet_audio_ctrl_all_cap_and_play_thread_run.store(1);
    g_ctrl_thread = std::thread(wrenlet_audio_ctrl_thread);
    return 0;
}

void audio_ctrl_thread_stop() {
    g_wrenlet_audio_ctrl_all_cap_and_play_thread_run.store(0);
    if (g_ctrl_thread.joinable()) g_ctrl_thread.join();
}

void audio_ctrl_set_source(int id) {
    if (id == kAudioChannelNetwork) {
        audio_net_streamer_dev_object* net = g_net_streamer_audio_dev.load();
        if (net != nullptr) net->pcm_data_safequeue.Clear();
    }
    g_audio_source.store(id, std::memory_order_relaxed);
}

int audio_ctrl_get_source() { return g_audio_source.load(std::memory_order_relaxed); }

int audio_ctrl_set_output_volume(int index) {
    if (index >= 1 && index <= kVolumeIndexMax) g_output_volume.store(index);
    return g_output_volume.load();
}

int audio_ctrl_get_output_volume() { return g_output_volume.load(); }

int audio_ctrl_channel_present(int id) {
    if (id == kAudioChannelNetwork) return 1;
    audio_dev_info* dev = id >= 1 && id <= 3 ? descriptor(id) : nullptr;
    return dev != nullptr ? dev->present.load() : 0;
}

uint32_t audio_ctrl_encode_pcm_size() { return audiovector_size(&g_encode_pcm_vector); }

int audio_ctrl_pop_encode_pcm(uint8_t* buffer, int n) { return audiovector_pop(&g_encode_pcm_vector, buffer, n); }

void audio_ctrl_clear_encode_pcm() { audiovector_clear(&g_encode_pcm_vector); }

void audio_ctrl_push_encode_pcm(const uint8_t* buffer, int n) {
    audiovector_push(&g_encode_pcm_vector, buffer, n > 0 ? static_cast<uint32_t>(n) : 0);
}

uint32_t audio_ctrl_channel_pcm_size(int id) {
    if (id == kAudioChannelNetwork) return audio_dev_vector_size(g_net_streamer_audio_dev.load());
    return audio_capture_dev_size(capture(id));
}

int audio_ctrl_pop_channel_pcm(int id, uint8_t* buffer, int n) {
    if (buffer == nullptr || n <= 0) return 0;
    if (id == kAudioChannelNetwork) {
        const int count = audio_dev_pop_vector_pcm_data(g_net_streamer_audio_dev.load(), buffer, n);
        std::printf("g_net_streamer_audio_dev->audio_dev_pop_vector_pcm_data %d\n", count);
        return count;
    }
    return audio_capture_dev_pop(capture(id), buffer, n);
}

void audio_ctrl_clear_channel_pcm(int id) {
    if (id == kAudioChannelNetwork)
        audio_dev_vector_clear(g_net_streamer_audio_dev.load());
    else
        audio_capture_dev_clear(capture(id));
}

void audio_ctrl_set_channel_enable(int id, int flag) { audio_capture_dev_set_enable(capture(id), flag); }

int audio_ctrl_channel_enabled(int id) { return audio_capture_dev_get_enable(capture(id)); }

int audio_ctrl_set_channel_volume(int id, int index) {
    if (id == kAudioChannelNetwork) return audio_dev_set_volume(g_net_streamer_audio_dev.load(), index);
    return audio_capture_dev_set_volume(capture(id), index);
}

int audio_ctrl_get_channel_volume(int id) {
    if (id == kAudioChannelNetwork) return audio_dev_get_volume(g_net_streamer_audio_dev.load());
    return audio_capture_dev_get_volume(capture(id));
}

int wrenlet_audio_capture_dev_get_channel(int id) {
    std::printf("wrenlet_audio_capture_dev_get_channel = %d\n", id);
    audio_dev_info* dev = descriptor(id);
    return dev != nullptr ? dev->channels.load() : 0;
}

int audio_ctrl_channel_format(int id) {
    audio_dev_info* dev = descriptor(id);
    return dev != nullptr ? static_cast<int>(dev->format.load()) : -1;
}

int audio_ctrl_channel_rate(int id) {
    audio_dev_info* dev = descriptor(id);
    return dev != nullptr ? dev->rate.load() : 0;
}

int audio_ctrl_player_present(int player) {
    if (player != 1 && player != 2) return 0;
    return audio_play_dev_present(g_players[player - 1].load());
}

int audio_ctrl_out_channels() { return kAudioOutChannels; }
int audio_ctrl_out_rate() { return kAudioOutRate; }
int audio_ctrl_out_format() { return kAudioOutFormat; }
int audio_ctrl_settings_channels() { return kAudioOutChannels; }
int audio_ctrl_settings_rate() { return kAudioOutRate; }
int audio_ctrl_settings_format() { return kAudioOutFormat; }

int audio_ctrl_set_mix(uint8_t use1, uint8_t use3, uint8_t use2, float w1, float w2, float w3) {
    for (float w : {w1, w2, w3}) {
        if (!(w >= 0.0f && w <= 1.0f)) return -1;  // also refuses NaN
    }
    g_mix_weights[0].store(use1 != 0 ? w1 : 0.0f);
    g_mix_weights[2].store(use3 != 0 ? w3 : 0.0f);
    g_mix_weights[1].store(use2 != 0 ? w2 : 0.0f);
    g_audio_mix_flag.store(use1 != 0 || use3 != 0 || use2 != 0 ? 1 : 0);
    return 1;
}

int audio_ctrl_get_mix(int id) { return id >= 1 && id <= kChannelCount ? (g_audio_mix_flag.load() & 1) : 0; }

float audio_ctrl_get_mix_weight(int id) {
    return id >= 1 && id <= kChannelCount ? g_mix_weights[id - 1].load() : 0.0f;
}

void audio_ctrl_mix_off() { g_audio_mix_flag.store(0); }

int audio_ctrl_loopback_start() {
    if (g_loopback_thread.joinable()) return -1;
    g_loopback_run.store(1);
    g_loopback_thread = std::thread(audio_ctrl_loopback_thread);
    return 1;
}

void audio_ctrl_loopback_stop() {
    g_loopback_run.store(0);
    if (g_loopback_thread.joinable()) g_loopback_thread.join();
}
