#include "ndi_hx_send.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "logger.h"
#include "media_utils.h"
#include "ndi_config.h"
#include "ndi_lib.h"
#include "pause.h"

namespace {

// AAC-LC, 48000 Hz, 2 channels: sent as extra data with every audio frame.
const uint8_t kAudioSpecificConfig[2] = {0x11, 0x90};
constexpr int kVideoIdleSleepMs = 2;
constexpr int kAudioIdleSleepMs = 5;

NdiHxSendContext g_ctx;
// Start, stop and the restart run one at a time (the dispatcher, the restart thread and start-up may race).
std::mutex g_control_mutex;
// Set by a stop that finds the sender still starting: the video thread then never starts sending.
std::atomic<bool> g_cancel{false};
std::atomic<uint8_t> g_restart_allowed{1};
std::atomic<uint8_t> g_audio_started{0};
std::atomic<NdiHxStartFunction> g_restart_start{nullptr};
std::once_flag g_lists_once;

// Settings of the last start, for a restart without an installed start function.
struct StartSettings {
    char name[kNdiHxNameSize];
    uint16_t width, height;
    int32_t reserved, channels, sample_rate, samples_per_frame;
    float fps;
};
StartSettings g_last_start;

struct NdiHxPacketInfo {
    uint8_t* data;
    uint8_t* extra;
    int64_t dts;
    int64_t pts;
    uint32_t data_size;
    uint32_t extra_size;
    uint8_t key;
    uint16_t width;
    uint16_t height;
    int32_t sample_rate;
};

struct VideoSlot {
    NDIlib_compressed_packet_t header;
    NDIlib_video_frame_v2_t frame;
    uint8_t* data = nullptr;
    uint8_t* extra = nullptr;
    std::vector<const uint8_t*> blocks;
    std::vector<int> sizes;
};

struct AudioSlot {
    NDIlib_compressed_packet_t header;
    NDIlib_audio_frame_v3_t frame;
    NDIlib_audio_frame_v2_t frame_v2;  // initialised, never sent
    uint8_t* data = nullptr;
    uint8_t* extra = nullptr;
    std::vector<const uint8_t*> blocks;
    std::vector<int> sizes;
};

bool running() { return g_ctx.working.load(std::memory_order_relaxed) && !g_cancel.load(std::memory_order_relaxed); }

void ndi_compressed_packet_reset(NDIlib_compressed_packet_t* header) {
    memset(header, 0, sizeof(*header));
    header->version = NDIlib_compressed_packet_version_0;
    header->fourcc = NDIlib_compressed_FourCC_type_H264;
}

bool ndi_hx_video_slot_init(VideoSlot* slot) {
    ndi_compressed_packet_reset(&slot->header);
    slot->frame = NDIlib_video_frame_v2_t();
    slot->data = static_cast<uint8_t*>(malloc(kNdiHxVideoDataSize));
    slot->extra = static_cast<uint8_t*>(malloc(kNdiHxVideoExtraSize));
    return slot->data != nullptr && slot->extra != nullptr;
}

void ndi_hx_video_slot_free(VideoSlot* slot) {
    free(slot->data);
    free(slot->extra);
    slot->data = slot->extra = nullptr;
    slot->blocks.clear();
    slot->sizes.clear();
}

bool ndi_hx_audio_slot_init(AudioSlot* slot) {
    ndi_compressed_packet_reset(&slot->header);
    slot->frame = NDIlib_audio_frame_v3_t();
    slot->frame_v2 = NDIlib_audio_frame_v2_t();
    slot->data = static_cast<uint8_t*>(malloc(kNdiHxAudioDataSize));
    slot->extra = static_cast<uint8_t*>(malloc(kNdiHxAudioExtraSize));
    return slot->data != nullptr && slot->extra != nullptr;
}

void ndi_hx_audio_slot_free(AudioSlot* slot) {
    free(slot->data);
    free(slot->extra);
    slot->data = slot->extra = nullptr;
    slot->blocks.clear();
    slot->sizes.clear();
}

// Scatter lists: the packet header, the data, the extra data when there is any, then the null terminator.
NDIlib_frame_scatter_t build_scatter(const NDIlib_compressed_packet_t* header, const uint8_t* data, uint32_t data_size,
                                     const uint8_t* extra, uint32_t extra_size, std::vector<const uint8_t*>* blocks,
                                     std::vector<int>* sizes) {
    blocks->clear();
    sizes->clear();
    blocks->push_back(reinterpret_cast<const uint8_t*>(header));
    sizes->push_back(static_cast<int>(sizeof(NDIlib_compressed_packet_t)));
    blocks->push_back(data);
    sizes->push_back(static_cast<int>(data_size));
    if (extra_size > 0) {
        blocks->push_back(extra);
        sizes->push_back(static_cast<int>(extra_size));
    }
    blocks->push_back(nullptr);
    sizes->push_back(0);
    return NDIlib_frame_scatter_t{blocks->data(), sizes->data()};
}

void ndi_hx_send_video_scatter(NDIlib_send_instance_t instance, VideoSlot* slot, const NdiHxPacketInfo& info,
                               uint32_t fourcc) {
    if (instance == nullptr || slot == nullptr) return;
    slot->frame.timecode = info.dts;
    NDIlib_compressed_packet_t& h = slot->header;
    h.version = NDIlib_compressed_packet_version_0;
    h.fourcc = fourcc;
    h.pts = info.pts;
    h.dts = info.dts;
    h.reserved = 0;
    h.flags = info.key ? NDIlib_compressed_packet_flags_keyframe : NDIlib_compressed_packet_flags_none;
    h.data_size = info.data_size;
    h.extra_data_size = info.extra_size;
    const NDIlib_frame_scatter_t scatter = build_scatter(&slot->header, slot->data, info.data_size, slot->extra,
                                                         info.key ? info.extra_size : 0, &slot->blocks, &slot->sizes);
    NDIlib_send_send_video_scatter_async(instance, &slot->frame, &scatter);
}

void ndi_hx_send_audio_scatter(NDIlib_send_instance_t instance, AudioSlot* slot, const NdiHxPacketInfo& info) {
    if (instance == nullptr || slot == nullptr) return;
    slot->frame.timecode = info.dts;
    NDIlib_compressed_packet_t& h = slot->header;
    h.version = NDIlib_compressed_packet_version_0;
    h.fourcc = NDIlib_compressed_FourCC_type_AAC;
    h.flags = NDIlib_compressed_packet_flags_keyframe;
    h.pts = info.pts;
    h.dts = info.dts;
    h.reserved = 0;
    h.data_size = info.data_size;
    h.extra_data_size = info.extra_size;
    const NDIlib_frame_scatter_t scatter = build_scatter(&slot->header, slot->data, info.data_size, slot->extra,
                                                         info.extra_size, &slot->blocks, &slot->sizes);
    NDIlib_send_send_audio_scatter(instance, &slot->frame, &scatter);
}

void ndi_hx_send_audio_thread(NDIlib_send_instance_t instance) {
    const int64_t base_a = ndi_hx_clock_ms();
    const int64_t base_b = ndi_hx_clock_ms();
    AudioSlot slots[2];
    for (int i = 0; i < 2; ++i) {
        ndi_hx_audio_slot_init(&slots[i]);
        slots[i].frame.sample_rate = g_ctx.sample_rate;
        slots[i].frame.no_channels = g_ctx.channels;
        slots[i].frame.no_samples = g_ctx.samples_per_frame;
        slots[i].frame.FourCC = NDIlib_FourCC_audio_type_AAC;
        printf("i=%d,audio_sample_rate=%d %d %d\r\n", i, g_ctx.sample_rate, g_ctx.channels, g_ctx.samples_per_frame);
    }
    int current = 0;
    while (running()) {
        if (frame_list_size(&g_ctx.audio_list) == 0) {
            sleep_ms(kAudioIdleSleepMs);
            continue;
        }
        FrameItem* item = nullptr;
        frame_list_pop(&g_ctx.audio_list, &item);
        if (item == nullptr) continue;
        AudioSlot& slot = slots[current];
        if (slot.data == nullptr || slot.extra == nullptr) {
            frame_item_free(item);
            continue;
        }
        if (item->size > kNdiHxAudioDataSize) {
            // AAC frames are far smaller; such a frame is not one, so it is not sent.
            LOGGER_D("[Audio] frame of %u bytes exceeds the %zu-byte slot, dropped", item->size, kNdiHxAudioDataSize);
            frame_item_free(item);
            continue;
        }
        NdiHxPacketInfo info{};
        memset(slot.data, 0, kNdiHxAudioDataSize);
        memset(slot.extra, 0, kNdiHxAudioExtraSize);
        info.data = slot.data;
        info.extra = slot.extra;
        info.sample_rate = 48000;
        info.data_size = item->size;
        info.extra_size = sizeof(kAudioSpecificConfig);
        memcpy(slot.extra, kAudioSpecificConfig, sizeof(kAudioSpecificConfig));
        memcpy(slot.data, item->data, item->size);
        const int64_t now = ndi_hx_clock_ms();
        info.dts = now - base_a;
        info.pts = now - base_b;
        if (slot.frame.sample_rate != 48000) {
            printf("[Audio] sample_rate:%d -> %d\n", slot.frame.sample_rate, 48000);
            slot.frame.sample_rate = 48000;
        }
        if (instance) ndi_hx_send_audio_scatter(instance, &slot, info);
        current ^= 1;
        frame_item_free(item);
    }
    ndi_hx_audio_slot_free(&slots[0]);
    ndi_hx_audio_slot_free(&slots[1]);
}

void NDI_HX_thread(NdiHxSendContext* ctx) {
    NDIlib_send_create_t settings;
    settings.p_ndi_name = ctx->name;
    settings.p_groups = nullptr;
    settings.clock_video = true;
    settings.clock_audio = true;
    NDIlib_send_instance_t instance = NDIlib_send_create_v2(&settings, ndi_config_text());
    const int64_t base = ndi_hx_clock_ms();
    // Whatever was queued before this start (or slipped in while the last one stopped) is stale.
    frame_list_clear(&ctx->video_list);
    frame_list_clear(&ctx->audio_list);
    VideoSlot slots[2];
    for (auto& slot : slots) {
        ndi_hx_video_slot_init(&slot);
        slot.frame.xres = ctx->width.load(std::memory_order_relaxed);
        slot.frame.yres = ctx->height.load(std::memory_order_relaxed);
        slot.frame.FourCC = NDIlib_FourCC_video_type_H264;
        slot.frame.frame_rate_N = 30;
        slot.frame.frame_rate_D = 1;
        slot.frame.p_data = nullptr;
        slot.frame.data_size_in_bytes = 0;
        slot.frame.frame_format_type = NDIlib_frame_format_type_progressive;
    }
    std::thread audio;
    if (!g_cancel.load(std::memory_order_relaxed)) {
        printf("[Video] -- Working  --\n");
        // Release: a producer that sees "working" also sees the started size.
        ctx->working.store(1, std::memory_order_release);
        audio = std::thread(ndi_hx_send_audio_thread, instance);
        g_audio_started.store(1, std::memory_order_relaxed);
    }
    int current = 0;
    while (running()) {
        FrameItem* item = nullptr;
        if (frame_list_size(&ctx->video_list) > 0) frame_list_pop(&ctx->video_list, &item);
        if (item == nullptr) {
            // Nothing queued: a short sleep rather than spinning a core while the encoder is idle.
            sleep_ms(kVideoIdleSleepMs);
            continue;
        }
        VideoSlot& slot = slots[current];
        NdiHxPacketInfo info{};
        info.data = slot.data;
        info.extra = slot.extra;
        const uint8_t nal = item->size > 4 ? item->data[4] : 0;
        info.key = ((nal & 0x0F) == 7 || nal == 0x40) ? 1 : 0;
        info.data_size = item->size;
        info.extra_size = 0;
        info.width = item->width;
        info.height = item->height;
        if (info.data_size > kNdiHxVideoDataSize || info.extra_size > kNdiHxVideoExtraSize) {
            printf("[Error] The datalen of video than buffer(data:%d, extra:%d)\n", static_cast<int>(kNdiHxVideoDataSize),
                   static_cast<int>(kNdiHxVideoExtraSize));
            frame_item_free(item);
            break;
        }
        if (slot.data == nullptr) {
            frame_item_free(item);
            continue;
        }
        memcpy(slot.data, item->data, item->size);
        info.dts = info.pts = ndi_hx_clock_ms() - base;
        if (instance) ndi_hx_send_video_scatter(instance, &slot, info, NDIlib_compressed_FourCC_type_H264);
        current ^= 1;
        frame_item_free(item);
    }
    // Waits until the library has let go of the last asynchronously sent slot before the slots are freed.
    if (instance) NDIlib_send_send_video_scatter_async(instance, nullptr, nullptr);
    ndi_hx_video_slot_free(&slots[0]);
    ndi_hx_video_slot_free(&slots[1]);
    if (audio.joinable()) audio.join();
    if (instance) NDIlib_send_destroy(instance);
    printf("[Video] -- END --\n");
    fflush(stdout);
}

void start_again_with_last_settings() {
    StartSettings s;
    {
        std::lock_guard<std::mutex> lock(g_control_mutex);
        s = g_last_start;
    }
    ndi_hx_send_start(s.name, s.width, s.height, s.reserved, s.channels, s.sample_rate, s.samples_per_frame, s.fps);
}

void INIT_ndi_restart_Thread() {
    printf("INIT_ndi_restart_Thread start\n");
    ndi_hx_send_stop();
    pause_ms(kNdiHxRestartPauseMs);
    NdiHxStartFunction start = g_restart_start.load(std::memory_order_relaxed);
    if (start) {
        start();
    } else {
        start_again_with_last_settings();
    }
    pause_ms(kNdiHxRestartSettleMs);
    g_restart_allowed.store(1, std::memory_order_relaxed);
    printf("INIT_ndi_restart_Thread exit\n");
    fflush(stdout);
}

void init_lists_once() {
    std::call_once(g_lists_once, [] {
        frame_list_init(&g_ctx.video_list, kNdiHxListCapacity);
        frame_list_init(&g_ctx.audio_list, kNdiHxListCapacity);
    });
}

}  // namespace

void ndi_hx_send_start(const char* name, uint16_t width, uint16_t height, int32_t reserved, int32_t channels,
                       int32_t sample_rate, int32_t samples_per_frame, float fps) {
    std::lock_guard<std::mutex> lock(g_control_mutex);
    if (g_ctx.started.load(std::memory_order_relaxed)) return;
    g_ctx.started.store(1, std::memory_order_relaxed);
    g_ctx.working.store(0, std::memory_order_relaxed);
    memset(g_ctx.name, 0, sizeof(g_ctx.name));
    if (name) strncpy(g_ctx.name, name, sizeof(g_ctx.name) - 1);
    g_ctx.width.store(width, std::memory_order_relaxed);
    g_ctx.height.store(height, std::memory_order_relaxed);
    g_ctx.fps = fps;
    g_ctx.reserved = reserved;
    g_ctx.sample_rate = sample_rate;
    g_ctx.channels = channels;
    g_ctx.samples_per_frame = samples_per_frame;
    memcpy(g_last_start.name, g_ctx.name, sizeof(g_last_start.name));
    g_last_start.width = width;
    g_last_start.height = height;
    g_last_start.reserved = reserved;
    g_last_start.channels = channels;
    g_last_start.sample_rate = sample_rate;
    g_last_start.samples_per_frame = samples_per_frame;
    g_last_start.fps = fps;
    // The lists live for the whole process: an encoder thread that saw "working" just before a stop may still
    // push into them, so they are cleared, never destroyed.
    init_lists_once();
    g_cancel.store(false, std::memory_order_relaxed);
    g_ctx.thread = std::thread(NDI_HX_thread, &g_ctx);
}

int ndi_hx_send_stop() {
    std::lock_guard<std::mutex> lock(g_control_mutex);
    if (!g_ctx.started.load(std::memory_order_relaxed) || !g_ctx.thread.joinable()) return 0;
    const int was_working = g_ctx.working.load(std::memory_order_relaxed) ? 1 : 0;
    g_cancel.store(true, std::memory_order_relaxed);
    g_ctx.working.store(0, std::memory_order_relaxed);
    g_ctx.thread.join();
    g_ctx.working.store(0, std::memory_order_relaxed);
    frame_list_clear(&g_ctx.video_list);
    frame_list_clear(&g_ctx.audio_list);
    g_ctx.started.store(0, std::memory_order_relaxed);
    return was_working;
}

uint8_t ndi_hx_send_is_working() { return g_ctx.working.load(std::memory_order_relaxed) ? 1 : 0; }

void ndi_hx_send_push_video(const uint8_t* data, uint32_t size, int32_t width, int32_t height, void* user) {
    if (!g_ctx.working.load(std::memory_order_acquire)) return;
    if (width != g_ctx.width.load(std::memory_order_relaxed) && height != g_ctx.height.load(std::memory_order_relaxed)) {
        uint8_t allowed = 1;
        if (g_restart_allowed.compare_exchange_strong(allowed, 0, std::memory_order_relaxed)) {
            std::thread(INIT_ndi_restart_Thread).detach();
        }
        return;
    }
    if (data == nullptr || size == 0) return;
    FrameItem* item = frame_item_alloc();
    if (item == nullptr) return;
    item->data = static_cast<uint8_t*>(malloc(size));
    if (item->data == nullptr) {
        frame_item_free(item);
        return;
    }
    memcpy(item->data, data, size);
    item->size = size;
    item->type = kFrameItemVideo;
    item->width = static_cast<uint16_t>(width);
    item->height = static_cast<uint16_t>(height);
    item->user = user;
    frame_list_push(&g_ctx.video_list, item);
}

void ndi_hx_send_push_audio(const uint8_t* data, uint32_t size) {
    if (!g_ctx.working.load(std::memory_order_relaxed)) return;
    if (data == nullptr || size == 0) return;
    FrameItem* item = frame_item_alloc();
    if (item == nullptr) return;
    item->data = static_cast<uint8_t*>(malloc(size));
    if (item->data == nullptr) {
        frame_item_free(item);
        return;
    }
    memcpy(item->data, data, size);
    item->size = size;
    item->type = kFrameItemAudio;
    item->sample_rate = 48000;
    frame_list_push(&g_ctx.audio_list, item);
}

int64_t ndi_hx_clock_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int ndi_hx_gcd(int a, int b) {
    if (a <= 0 || b <= 0) return 1;
    while (b != 0) {
        const int t = a % b;
        a = b;
        b = t;
    }
    return a;
}

uint8_t ndi_hx_restart_allowed() { return g_restart_allowed.load(std::memory_order_relaxed); }
uint8_t ndi_hx_audio_started() { return g_audio_started.load(std::memory_order_relaxed); }
void ndi_hx_clear_audio_started() { g_audio_started.store(0, std::memory_order_relaxed); }

void set_ndi_hx_restart_start_function(NdiHxStartFunction fn) { g_restart_start.store(fn, std::memory_order_relaxed); }

NDIlib_frame_scatter_t ndi_hx_build_scatter(const NDIlib_compressed_packet_t* header, const uint8_t* data,
                                            uint32_t data_size, const uint8_t* extra, uint32_t extra_size,
                                            std::vector<const uint8_t*>* blocks, std::vector<int>* sizes) {
    return build_scatter(header, data, data_size, extra, extra_size, blocks, sizes);
}
