#include "encoder_feed.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "copy_buffer.h"
#include "media_utils.h"
#include "mpp_encoder.h"
#include "pause.h"
#include "rga_api.h"

namespace {

constexpr int kRingWaitMs = 100;     // the ring is not set up yet
constexpr int kRingIdleUs = 100;     // nothing to read in the ring
constexpr uint32_t kFpsPrintMs = 1000;

std::atomic<uint8_t> g_running{0};
std::atomic<uint8_t> g_ready{0};
std::atomic<uint8_t> g_accept{0};
std::atomic<int> g_encoder_id{-1};

// Start and stop of the encoder thread.
std::mutex g_lifecycle_mutex;
pthread_t g_thread{};
bool g_thread_started = false;

// The encoder ring, made on the first start and kept for the process. Its set-up and tear-down and every
// write hold the ring lock, so a writer never meets a ring being freed.
std::mutex g_ring_mutex;
copy_buffer* g_ring = nullptr;

std::atomic<SendWorkingFunction> g_ndi_hx_working{nullptr};
std::atomic<NdiHxPushVideoFunction> g_ndi_hx_push{nullptr};
std::atomic<SendWorkingFunction> g_ndi_dev_working{nullptr};
std::atomic<NdiDevPushVideoFunction> g_ndi_dev_push{nullptr};
std::atomic<RtspPushVideoFunction> g_rtsp_push{nullptr};

void* task_run_signal_to_encode_main(void*) {
    pthread_setname_np(pthread_self(), "signal_to_enc");
    std::printf("task_run_signal_to_encode_main start mbps=%d\r\n", kEncodeKbps);
    auto* api = new rkmpp_encoder_api;
    rkmpp_encoder_api_reset(api);
    // Registered before the start: the stream header is the encoder's first output.
    rkmpp_encoder_api_set_callback(api, on_encoded_packet);
    int id = rkmpp_encoder_api_init(api, kEncodeWidth, kEncodeHeight, kEncodeFps, "NV12", kCodingH264, kEncodeKbps,
                                    kEncodeGop, 0, 0, kEncodeRcSelector, kEncodeProfileSelector);
    g_encoder_id.store(id);
    pause_ms(kEncodeReadyDelayMs);
    g_ready.store(1);

    uint32_t stamp = static_cast<uint32_t>(get_time_ms());
    int count = 0;
    while (g_running.load()) {
        if (!g_ring->is_initialised()) {
            usleep(kRingWaitMs * 1000);
            continue;
        }
        uint8_t* slot = nullptr;
        if (g_ring->m_copy_buffer_read_pop_start(&slot) != 1) {
            usleep(kRingIdleUs);
            continue;
        }
        rkmpp_encoder_api_put_frame(g_encoder_id.load(), slot, g_ring->width() * g_ring->height() * 3 / 2, "NV12");
        g_ring->m_copy_buffer_read_pop_end();
        count++;
        if (is_timeout_ms(stamp, kFpsPrintMs)) {
            std::printf("==vor %s signal h264_5 fps:%d W=%d H=%d\r\n", "task_run_signal_to_encode_main", count,
                        g_ring->width(), g_ring->height());
            count = 0;
            stamp = static_cast<uint32_t>(get_time_ms());
        }
    }
    // Uninit waits for the encoder thread, so the object is no longer used when it is deleted.
    rkmpp_encoder_api_uninit(api, id);
    delete api;
    g_encoder_id.store(-1);
    {
        std::lock_guard<std::mutex> lock(g_ring_mutex);
        g_ring->m_copy_buffer_uninit();
    }
    g_ready.store(0);
    std::printf("task_run_signal_to_encode_main exit\r\n");
    return nullptr;
}

}  // namespace

void signal_input_encode_h264_5_init() {
    std::lock_guard<std::mutex> lifecycle(g_lifecycle_mutex);
    if (g_running.load()) {
        std::printf("signal_input_encode_h264_5_init: the encoder runs already\r\n");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_ring_mutex);
        if (!g_ring) g_ring = new copy_buffer("signal_nv12_to_encode_main");
        g_accept.store(1);
        g_ring->m_copy_buffer_init(kEncodeWidth, kEncodeHeight, kCopyBufferNv12);
    }
    std::printf("signal_input_encode_h264_5_init main W=%d H=%d\r\n", kEncodeWidth, kEncodeHeight);
    g_running.store(1);
    int err = pthread_create(&g_thread, nullptr, task_run_signal_to_encode_main, nullptr);
    if (err != 0) {
        std::printf("signal_input_encode_h264_5_init: failed to create thread %d\r\n", err);
        g_running.store(0);
        return;
    }
    g_thread_started = true;
}

void signal_input_encode_h264_5_uninit() {
    std::lock_guard<std::mutex> lifecycle(g_lifecycle_mutex);
    g_running.store(0);
    g_ready.store(0);
    if (g_thread_started && !pthread_equal(g_thread, pthread_self())) {
        pthread_join(g_thread, nullptr);
        g_thread_started = false;
    }
}

uint8_t signal_input_encode_is_running() { return g_running.load(std::memory_order_relaxed); }

int push_nv12_to_encoder(const uint8_t* data, int length) {
    if (!g_running.load(std::memory_order_relaxed) || !g_ready.load(std::memory_order_relaxed)) return -1;
    return rkmpp_encoder_api_put_frame(g_encoder_id.load(std::memory_order_relaxed), data, length, "NV12");
}

void push_signal_frame(const uint8_t* data, const char* fourcc, int width, int height) {
    if (!g_running.load(std::memory_order_relaxed) || !g_accept.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> lock(g_ring_mutex);
    if (!g_ring || !g_ring->is_initialised()) return;
    if (width == g_ring->width() || height == g_ring->height()) {
        g_ring->m_copy_buffer_write_rga_nv12(data, width * height * 3 / 2, width, height);
    } else {
        // The source holds a whole picture of its own FourCC, whatever its layout.
        int length = static_cast<int>(rkrga_fourcc_picture_bytes(fourcc, width, height));
        g_ring->m_copy_buffer_write_rga_nv12_scale(data, length, fourcc, width, height);
    }
}

int signal_input_encode_get_width() { return kEncodeWidth; }
int signal_input_encode_get_height() { return kEncodeHeight; }
int signal_input_encode_get_encoder_id() { return g_encoder_id.load(std::memory_order_relaxed); }

int32_t on_encoded_packet(const uint8_t* data, uint32_t length, uint32_t, int32_t, int32_t) {
    SendWorkingFunction hx_working = g_ndi_hx_working.load();
    NdiHxPushVideoFunction hx_push = g_ndi_hx_push.load();
    if (hx_working && hx_push && hx_working() == 1) hx_push(data, length, kEncodeWidth, kEncodeHeight, nullptr);
    SendWorkingFunction dev_working = g_ndi_dev_working.load();
    NdiDevPushVideoFunction dev_push = g_ndi_dev_push.load();
    if (dev_working && dev_push && dev_working() == 1) dev_push(data, length, kEncodeWidth, kEncodeHeight);
    RtspPushVideoFunction rtsp_push = g_rtsp_push.load();
    if (rtsp_push) rtsp_push(data, length, kEncodeWidth, kEncodeHeight);
    return 0;
}

void set_ndi_hx_send_functions(SendWorkingFunction is_working, NdiHxPushVideoFunction push) {
    g_ndi_hx_working.store(is_working);
    g_ndi_hx_push.store(push);
}

void set_ndi_dev_send_functions(SendWorkingFunction is_working, NdiDevPushVideoFunction push) {
    g_ndi_dev_working.store(is_working);
    g_ndi_dev_push.store(push);
}

void set_rtsp_main_video_function(RtspPushVideoFunction push) { g_rtsp_push.store(push); }
