#include "ndi_pull0.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "active_source.h"
#include "audio_net_streamer.h"
#include "config_ctrl.h"
#include "copy_buffer.h"
#include "encoder_feed.h"
#include "frame_rate_limiter.h"
#include "hdmi_picture.h"
#include "media_utils.h"
#include "mpp_decode_interface.h"
#include "ndi_lib.h"
#include "ndi_parameter_sets.h"
#include "ndi_rx_ctrl.h"
#include "pause.h"
#include "preview_jpeg.h"
#include "preview_link.h"
#include "rga_api.h"
#include "safe_queue.h"
#include "ultra_hdmitx_display.h"
#include "uvc_frame_path.h"

namespace {

// One compressed frame or PCM block on its way from the receive control to the decode or audio thread.
struct ndi_pull0_packet_item {
    uint8_t* bytes;
    uint32_t fourcc;
    uint32_t count;
};

// The watchdog ticks once a second; it sleeps in slices so a close does not wait for a whole tick.
constexpr int kWatchdogTickMs = 1000;
constexpr int kWatchdogSliceMs = 100;
// A closing decoder gets this long to finish the packet it holds.
constexpr int kDecoderIdleWaitMs = 1000;
// Decode thread: the decoder's own queue is kept below its receive limit; poll step while it is full.
constexpr int kDecoderFullSleepMs = 1;
// Fan-out and preview threads: settle time, poll step of an empty ring, pause before ending.
constexpr int kFanoutSettleMs = 500;
constexpr int kRingIdleSleepMs = 1;
constexpr int kFanoutEndSleepMs = 100;
constexpr uint32_t kRatePrintMs = 1000;
// One NV12 picture of the encoder's input size.
constexpr int kEncodeFrameBytes = kEncodeWidth * kEncodeHeight * 3 / 2;

const uint32_t kFourccH264 = NDIlib_FourCC_video_type_H264;
const uint32_t kFourccHevc = NDIlib_FourCC_video_type_HEVC;
const uint32_t kFourccFltp = NDIlib_FourCC_audio_type_FLTp;

std::atomic<uint8_t> g_working{0};
std::atomic<uint8_t> g_ndi0_to_web{0};
std::atomic<uint8_t> g_initialised{0};
std::atomic<uint32_t> g_close_count{0};
std::mutex g_init_mutex;

// The queues and rings are made once and never destroyed: detached threads (the preview thread runs for
// the life of the process) may still use them while exit runs the destructors of static objects.
SafeQueue& ndi_pull0_video_queue = *new SafeQueue;
SafeQueue& ndi_pull0_audio_queue = *new SafeQueue;

// Decoded NV12 pictures of the running stream for the fan-out thread, and the 640x360 preview pictures.
copy_buffer& ndi_out_buffer = *new copy_buffer("ndi_out_buffer");
copy_buffer& ndi0_vedio_to_web = *new copy_buffer("ndi0_vedio_to_web");

// Made once by corvane_ndi_pull0_init.
std::atomic<NdiRxCtrl*> g_rx{nullptr};

// Open and close, and the threads of the open pull (never destroyed either: an exit while a pull is open
// must not meet a joinable thread object).
std::mutex g_open_close_mutex;
std::thread& g_video_thread = *new std::thread;
std::thread& g_audio_thread = *new std::thread;

std::atomic<int> ndi_pull0_watchdog_count{0};
std::atomic<NdiPullRestartFunction> g_restart_function{nullptr};
// The running stream's picture size, for the decoded-frame callback.
std::atomic<int> g_stream_width{0};
std::atomic<int> g_stream_height{0};
// On air, pictures reach the display and the encoder at up to the encoder's rate.
FrameRateLimiter ndi_on_air_limiter(kEncodeFps);

// When the open pull last decoded a picture (get_time_ms), 0 for none since the open.
std::atomic<int64_t> g_last_picture_ms{0};

// Pictures decoded in the current second (decoded-frame callback, on the decoder's worker).
std::atomic<int> g_decoded_count{0};
std::atomic<uint32_t> g_decoded_stamp{0};

void set_ndi_pull0_decode_working(uint8_t working) { g_working.store(working, std::memory_order_relaxed); }
bool working() { return g_working.load(std::memory_order_relaxed) != 0; }
bool ndi_on_air() { return get_active_source() == kInputNdi; }

void ndi_pull0_video_item_free(void** item) {
    if (item == nullptr || *item == nullptr) return;
    auto* packet = static_cast<ndi_pull0_packet_item*>(*item);
    free(packet->bytes);
    free(packet);
    *item = nullptr;
}

void ndi_pull0_audio_item_free(void** item) { ndi_pull0_video_item_free(item); }

ndi_pull0_packet_item* make_item(const uint8_t* bytes, int count, uint32_t fourcc) {
    auto* item = static_cast<ndi_pull0_packet_item*>(malloc(sizeof(ndi_pull0_packet_item)));
    if (item == nullptr) return nullptr;
    item->bytes = static_cast<uint8_t*>(malloc(static_cast<size_t>(count)));
    if (item->bytes == nullptr) {
        free(item);
        return nullptr;
    }
    memcpy(item->bytes, bytes, static_cast<size_t>(count));
    item->fourcc = fourcc;
    item->count = static_cast<uint32_t>(count);
    return item;
}

void free_item(ndi_pull0_packet_item* item) {
    void* p = item;
    ndi_pull0_video_item_free(&p);
}

void ndi_pull0_video_callback(const uint8_t* bytes, int count, int, int, void*, uint32_t fourcc) {
    if (!working() || !ndi_pull0_video_queue.IsEnabled() || bytes == nullptr || count <= 0) return;
    // Uncompressed NDI sources are not shown.
    if (fourcc != kFourccH264 && fourcc != kFourccHevc) return;
    if (ndi_pull0_video_queue.Size() >= kNdiPullMaxVideoItems) return;
    ndi_pull0_packet_item* item = make_item(bytes, count, fourcc);
    if (item != nullptr) ndi_pull0_video_queue.Push(item);
}

void ndi_pull0_audio_callback(const uint8_t* bytes, int count, void*, uint32_t fourcc) {
    if (!working() || !ndi_pull0_audio_queue.IsEnabled() || bytes == nullptr || count <= 0) return;
    if (ndi_pull0_audio_queue.Size() > kNdiPullMaxAudioItems) return;
    ndi_pull0_packet_item* item = make_item(bytes, count, fourcc);
    if (item != nullptr) ndi_pull0_audio_queue.Push(item);
}

int advance_preview_counter() {
    const int now = ndi_preview_count.load(std::memory_order_relaxed);
    ndi_preview_count.store(now + 1 >= kNdiPreviewEvery ? 0 : now + 1, std::memory_order_relaxed);
    return now;
}

// Off-air preview straight from the decoder: crop the padding, NV12 to BGR, 640x360, JPEG, preview link.
void send_offair_preview(const uint8_t* bytes, int size, int hor_stride, int ver_stride) {
    int width = g_stream_width.load(std::memory_order_relaxed);
    int height = g_stream_height.load(std::memory_order_relaxed);
    if (width <= 0 || height <= 0 || width > hor_stride || height > ver_stride) {
        width = hor_stride;
        height = ver_stride;
    }
    width &= ~1;
    height &= ~1;
    if (width <= 0 || height <= 0 || static_cast<int64_t>(hor_stride) * ver_stride * 3 / 2 > size) return;
    std::vector<uint8_t> cropped;
    const uint8_t* picture = bytes;
    if (width != hor_stride || height != ver_stride) {
        cropped.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 3 / 2);
        if (nv12_crop_copy(bytes, hor_stride, ver_stride, cropped.data(), 0, 0, width, height) != 1) return;
        picture = cropped.data();
    }
    const cv::Mat nv12(height * 3 / 2, width, CV_8UC1, const_cast<uint8_t*>(picture));
    cv::Mat bgr;
    cv::Mat small;
    cv::cvtColor(nv12, bgr, cv::COLOR_YUV2BGR_NV12);
    cv::resize(bgr, small, cv::Size(kNdiPreviewWidth, kNdiPreviewHeight), 0, 0, cv::INTER_LINEAR);
    std::vector<uint8_t> jpeg(kPreviewJpegBufferBytes);
    int length = 0;
    rgb_to_jpg_ndi(small.data, kNdiPreviewWidth, kNdiPreviewHeight, jpeg.data(), static_cast<int>(jpeg.size()),
                   &length);
    if (length > 0) send_preview_record(preview_client(PreviewLinkId::Ndi), jpeg.data(), static_cast<size_t>(length));
}

void ndi_pull0_decoded_frame_callback(uint8_t* bytes, int size, int hor_stride, int ver_stride, uint32_t format) {
    if (!working() || bytes == nullptr) return;
    if (format == kDecodedNv12) {
        if (ndi_on_air()) {
            if (ndi_out_buffer.is_initialised() && ndi_on_air_limiter.AdmitNow()) {
                if (hor_stride != ndi_out_buffer.width() || ver_stride != ndi_out_buffer.height()) {
                    ndi_out_buffer.m_copy_buffer_write_nv12_crop(bytes, size, hor_stride, ver_stride);
                } else {
                    ndi_out_buffer.m_copy_buffer_write(bytes, size);
                }
            }
        } else {
            if (advance_preview_counter() == 0) send_offair_preview(bytes, size, hor_stride, ver_stride);
        }
    }
    ndi_pull0_watchdog_count.store(0, std::memory_order_relaxed);
    g_last_picture_ms.store(get_time_ms(), std::memory_order_relaxed);
    const int count = g_decoded_count.fetch_add(1, std::memory_order_relaxed) + 1;
    const uint32_t stamp = g_decoded_stamp.load(std::memory_order_relaxed);
    if (is_timeout_ms(stamp, kRatePrintMs)) {
        printf("111111111111111111 NDI W=%d H=%d g_drm_mode_4K=%d fps:%d\r\n", hor_stride, ver_stride,
               g_drm_mode_4K.load() ? 1 : 0, count);
        g_decoded_count.store(0, std::memory_order_relaxed);
        g_decoded_stamp.store(static_cast<uint32_t>(get_time_ms()), std::memory_order_relaxed);
    }
}

void ndi_pull0_watchdog_tick() {
    if (ndi_pull0_watchdog_count.load(std::memory_order_relaxed) > kNdiPullWatchdogSeconds) {
        ndi_pull0_watchdog_count.store(0, std::memory_order_relaxed);
        const std::string name = config_ctrl::instance()->cfg_common.ndi_pull_name.get();
        NdiPullRestartFunction restart = g_restart_function.load();
        printf("ndi_pull0 watchdog: no picture for %d s, reopening \"%.200s\"\n", kNdiPullWatchdogSeconds,
               name.c_str());
        if (restart != nullptr) {
            restart(name);
        } else {
            printf("ndi_pull0 watchdog: no restart function installed\n");
        }
        return;
    }
    ndi_pull0_watchdog_count.fetch_add(1, std::memory_order_relaxed);
}

void ndi_pull0_watchdog_main() {
    pthread_setname_np(pthread_self(), "ndi_pull_wdog");
    while (working()) {
        for (int waited = 0; waited < kWatchdogTickMs && working(); waited += kWatchdogSliceMs) {
            pause_ms(kWatchdogSliceMs);
        }
        if (working()) ndi_pull0_watchdog_tick();
    }
}

void ndi_0_nv12_buffer_run_pull() {
    pthread_setname_np(pthread_self(), "ndi_pull_fanout");
    printf("ndi_0_nv12_buffer_run_pull start...\r\n");
    sleep_ms(kFanoutSettleMs);
    std::vector<uint8_t> scaled;
    int count = 0;
    uint32_t stamp = static_cast<uint32_t>(get_time_ms());
    while (working()) {
        uint8_t* slot = nullptr;
        if (ndi_out_buffer.m_copy_buffer_read_pop_start(&slot) != 1) {
            sleep_ms(kRingIdleSleepMs);
            continue;
        }
        const int width = ndi_out_buffer.width();
        const int height = ndi_out_buffer.height();
        const int bytes = width * height * 3 / 2;
        if (ndi_on_air()) {
            hdmi_show_picture(slot, width, height, "NV12");
            if (width == signal_input_encode_get_width() && height == signal_input_encode_get_height()) {
                push_nv12_to_encoder(slot, bytes);
            } else {
                scaled.resize(kEncodeFrameBytes);
                if (rkrga_api_resize(slot, scaled.data(), width, height, kEncodeWidth, kEncodeHeight, "NV12",
                                     "NV12") == 1) {
                    push_nv12_to_encoder(scaled.data(), kEncodeFrameBytes);
                }
            }
            if (advance_preview_counter() == 0 && get_ndi0_to_web_working() == 1 &&
                ndi0_vedio_to_web.is_initialised()) {
                ndi0_vedio_to_web.m_copy_buffer_write_rga_bgr24(slot, bytes, "NV12", width, height);
            }
        }
        ++count;
        if (is_timeout_ms(stamp, kRatePrintMs)) {
            printf("ndi_0_nv12_buffer_run_pull W=%d H=%d g_drm_mode_4K=%d fps:%d\r\n", width, height,
                   g_drm_mode_4K.load() ? 1 : 0, count);
            count = 0;
            stamp = static_cast<uint32_t>(get_time_ms());
        }
        ndi_out_buffer.m_copy_buffer_read_pop_end();
    }
    sleep_ms(kFanoutEndSleepMs);
    printf("ndi_0_nv12_buffer_run_pull end...\r\n");
}

// Hands one item to the decoder, waiting while the decoder's own queue is full (the receive queue then
// fills and drops instead).
void post_to_decoder(mpp_decode_Interface* decoder, const NdiStreamParams& params, int fps,
                     const ndi_pull0_packet_item* item) {
    while (working() && !decoder->CanReceive()) sleep_ms(kDecoderFullSleepMs);
    if (working()) decoder->PushPacket(params.width, params.height, fps, item->bytes, static_cast<int>(item->count));
}

void task_mThread_ndi_video_0() {
    pthread_setname_np(pthread_self(), "ndi_pull_video");
    printf("task_mThread_ndi_video_0 start\n");
    ndi_pull0_watchdog_count.store(0, std::memory_order_relaxed);
    std::thread watchdog(ndi_pull0_watchdog_main);
    mpp_decode_Interface* ndi_pull0_decoder = nullptr;
    std::thread fanout;
    NdiStreamParams params;
    while (working()) {
        void* popped = nullptr;
        if (ndi_pull0_video_queue.WaitPop(&popped) != 1) continue;
        auto* item = static_cast<ndi_pull0_packet_item*>(popped);
        if (ndi_pull0_decoder == nullptr) {
            // Decoding starts at the first unit that carries the stream's parameter sets.
            if (!ndi_parse_stream_parameters(item->bytes, static_cast<int>(item->count), item->fourcc == kFourccHevc,
                                             &params)) {
                free_item(item);
                continue;
            }
            if (ndi_out_buffer.is_initialised()) ndi_out_buffer.m_copy_buffer_uninit();
            ndi_out_buffer.m_copy_buffer_init(params.width, params.height, kCopyBufferNv12);
            g_stream_width.store(params.width, std::memory_order_relaxed);
            g_stream_height.store(params.height, std::memory_order_relaxed);
            ndi_on_air_limiter.Reset();
            printf("11111 %s W=%d H=%d FPS=%d\n", params.h265 ? "H265" : "H264", params.width, params.height,
                   params.fps);
            DecoderParams decoder_params{params.width, params.height, params.fps};
            ndi_pull0_decoder = new mpp_decode_Interface(&decoder_params);
            ndi_pull0_decoder->SetH265(params.h265 ? 1 : 0);
            if (ndi_pull0_decoder->Open() != 1) {
                printf("task_mThread_ndi_video_0: decoder could not be opened, waiting for the next key frame\n");
                delete ndi_pull0_decoder;
                ndi_pull0_decoder = nullptr;
                ndi_out_buffer.m_copy_buffer_uninit();
                free_item(item);
                continue;
            }
            ndi_pull0_decoder->decoded_frame_callback.store(ndi_pull0_decoded_frame_callback,
                                                            std::memory_order_release);
            fanout = std::thread(ndi_0_nv12_buffer_run_pull);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            post_to_decoder(ndi_pull0_decoder, params, kNdiHevcAssumedFps, item);
        } else {
            post_to_decoder(ndi_pull0_decoder, params, params.fps, item);
        }
        free_item(item);
    }
    if (ndi_pull0_decoder != nullptr) {
        printf("close mpp_NPI_pull0\n");
        for (int waited = 0; waited < kDecoderIdleWaitMs && !ndi_pull0_decoder->IsIdle(); ++waited) sleep_ms(1);
        ndi_pull0_decoder->Close();
    }
    if (fanout.joinable()) fanout.join();
    delete ndi_pull0_decoder;
    ndi_pull0_video_queue.SetEnable(0);
    ndi_pull0_video_queue.Clear();
    if (ndi_out_buffer.is_initialised()) ndi_out_buffer.m_copy_buffer_uninit();
    g_stream_width.store(0, std::memory_order_relaxed);
    g_stream_height.store(0, std::memory_order_relaxed);
    watchdog.join();
    printf("task_mThread_ndi_video_0 exit\n");
}

void task_mThread_ndi_audio_0() {
    pthread_setname_np(pthread_self(), "ndi_pull_audio");
    printf("task_mThread_ndi_audio_0 start\n");
    while (working()) {
        void* popped = nullptr;
        if (ndi_pull0_audio_queue.WaitPop(&popped) != 1) continue;
        auto* item = static_cast<ndi_pull0_packet_item*>(popped);
        if (item->fourcc == kFourccFltp && ndi_on_air()) {
            audio_net_streamer_push_pcm(item->bytes, static_cast<int>(item->count));
        }
        free_item(item);
    }
    ndi_pull0_audio_queue.SetEnable(0);
    ndi_pull0_audio_queue.Clear();
    printf("task_mThread_ndi_audio_0 exit\n");
}

// The camera's preview thread, under a name of its own.
void* uvc_web_preview_thread(void*) {
    pthread_setname_np(pthread_self(), "uvc_web_preview");
    return uvc_web_preview_main(nullptr);
}

void start_detached(void* (*body)(void*), const char* name) {
    pthread_t thread;
    if (pthread_create(&thread, nullptr, body, nullptr) != 0) {
        printf("corvane_ndi_pull0_init: thread %s could not be started\n", name);
        return;
    }
    pthread_detach(thread);
}

// With the open/close lock held.
void close_locked() {
    if (NdiRxCtrl* rx = g_rx.load()) ndi_rx_ctrl_disconnect_source(rx);
    set_ndi_pull0_decode_working(0);
    // Disabled queues wake their consumers, which then see the pull closed.
    ndi_pull0_video_queue.SetEnable(0);
    ndi_pull0_audio_queue.SetEnable(0);
    if (g_video_thread.joinable()) g_video_thread.join();
    if (g_audio_thread.joinable()) g_audio_thread.join();
    ndi_pull0_video_queue.Clear();
    ndi_pull0_audio_queue.Clear();
}

}  // namespace

void corvane_ndi_pull0_init() {
    std::lock_guard<std::mutex> lock(g_init_mutex);
    if (g_initialised.load()) return;
    // The camera's preview ring and thread, then this input's own.
    if (!rkrga_out_uvc_to_web.is_initialised())
        rkrga_out_uvc_to_web.m_copy_buffer_init(kNdiPreviewWidth, kNdiPreviewHeight, kCopyBufferRgb24);
    start_detached(uvc_web_preview_thread, "uvc_web_preview_main");
    if (!ndi0_vedio_to_web.is_initialised())
        ndi0_vedio_to_web.m_copy_buffer_init(kNdiPreviewWidth, kNdiPreviewHeight, kCopyBufferRgb24);
    set_ndi0_to_web_working(1);
    start_detached(task_run_ndi0_to_web, "task_run_ndi0_to_web");

    ndi_pull0_video_queue.Init("ndi_pull0_video_queue");
    ndi_pull0_video_queue.SetFreeCallback(ndi_pull0_video_item_free);
    ndi_pull0_audio_queue.Init("ndi_pull0_audio_queue");
    ndi_pull0_audio_queue.SetFreeCallback(ndi_pull0_audio_item_free);

    auto* rx = new NdiRxCtrl();
    ndi_rx_ctrl_init(rx);
    rx->object_name = "g_ndi_rec_pull0";
    rx->video_callback.store(ndi_pull0_video_callback);
    rx->audio_callback.store(ndi_pull0_audio_callback);
    g_rx.store(rx);
    g_decoded_stamp.store(static_cast<uint32_t>(get_time_ms()));
    g_initialised.store(1);
}

int set_corvane_ndi_pull0_open(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_open_close_mutex);
    if (!g_initialised.load()) {
        printf("set_corvane_ndi_pull0_open: the receive side is not set up\n");
        return 0;
    }
    if (working() || g_video_thread.joinable() || g_audio_thread.joinable()) close_locked();
    g_last_picture_ms.store(0, std::memory_order_relaxed);
    set_ndi_pull0_decode_working(1);
    ndi_pull0_video_queue.SetEnable(1);
    ndi_pull0_video_queue.Clear();
    ndi_pull0_audio_queue.SetEnable(1);
    ndi_pull0_audio_queue.Clear();
    g_video_thread = std::thread(task_mThread_ndi_video_0);
    g_audio_thread = std::thread(task_mThread_ndi_audio_0);
    printf("set_corvane_ndi_pull0_open name=%s\n", name.c_str());
    return ndi_rx_ctrl_connect_source(g_rx.load(), name.c_str());
}

void set_corvane_ndi_pull0_close() {
    std::lock_guard<std::mutex> lock(g_open_close_mutex);
    close_locked();
    g_close_count.fetch_add(1);
}

uint8_t get_ndi_pull0_decode_working() { return g_working.load(std::memory_order_relaxed); }

uint32_t get_ndi_pull0_close_count() { return g_close_count.load(); }

uint8_t get_ndi_pull0_pictures_arriving() {
    if (!working()) return 0;
    const int64_t last = g_last_picture_ms.load(std::memory_order_relaxed);
    return last != 0 && get_time_ms() - last < kNdiPicturesFreshMs ? 1 : 0;
}

int get_corvane_ndi_pull0_information(int* width, int* height, int* fps) {
    NdiRxCtrl* rx = g_rx.load();
    // An open pull whose source is offline has no format to show ("0x0@0" would read as a picture).
    if (get_ndi_pull0_pictures_arriving() != 1 || rx == nullptr) return 0;
    int w = 0, h = 0;
    ndi_rx_ctrl_get_video_size(rx, &w, &h);
    const int rate = ndi_rx_ctrl_get_fps(rx);
    printf("get_corvane_ndi_pull0_information W=%d H=%d FPS=%d\n", w, h, rate);
    if (width != nullptr) *width = w;
    if (height != nullptr) *height = h;
    if (fps != nullptr) *fps = rate;
    return 1;
}

uint8_t get_ndi0_to_web_working() { return g_ndi0_to_web.load(std::memory_order_relaxed); }
void set_ndi0_to_web_working(uint8_t working) { g_ndi0_to_web.store(working, std::memory_order_relaxed); }

namespace {
std::atomic<uint8_t> g_ndi_pull0_spare_flag{1};
}  // namespace

uint8_t get_ndi_pull0_spare_flag() { return g_ndi_pull0_spare_flag.load(std::memory_order_relaxed); }
void set_ndi_pull0_spare_flag(uint8_t value) { g_ndi_pull0_spare_flag.store(value, std::memory_order_relaxed); }

void set_ndi_pull0_restart_function(NdiPullRestartFunction fn) { g_restart_function.store(fn); }

void* task_run_ndi0_to_web(void*) {
    pthread_setname_np(pthread_self(), "ndi0_to_web");
    printf("task_run_ndi0_to_web start...\r\n");
    set_ndi0_to_web_working(1);
    std::vector<uint8_t> jpeg(kPreviewJpegBufferBytes);
    int count = 0;
    uint32_t stamp = static_cast<uint32_t>(get_time_ms());
    while (get_ndi0_to_web_working() == 1) {
        uint8_t* slot = nullptr;
        if (!ndi0_vedio_to_web.is_initialised() || ndi0_vedio_to_web.m_copy_buffer_read_pop_start(&slot) != 1) {
            sleep_ms(kRingIdleSleepMs);
            continue;
        }
        int length = 0;
        rgb_to_jpg_ndi(slot, kNdiPreviewWidth, kNdiPreviewHeight, jpeg.data(), static_cast<int>(jpeg.size()),
                       &length);
        if (length > 0) send_preview_record(preview_client(PreviewLinkId::Ndi), jpeg.data(), static_cast<size_t>(length));
        ++count;
        if (is_timeout_ms(stamp, kRatePrintMs)) {
            printf("task_run_ndi0_to_web W=%d H=%d fps:%d\r\n", kNdiPreviewWidth, kNdiPreviewHeight, count);
            count = 0;
            stamp = static_cast<uint32_t>(get_time_ms());
        }
        ndi0_vedio_to_web.m_copy_buffer_read_pop_end();
    }
    printf("task_run_ndi0_to_web exit\r\n");
    return nullptr;
}
