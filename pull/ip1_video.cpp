// The "ip1" video side: the decode thread (parameter sets, decoder, one packet per release of the pace
// tick), the decoded-frame callback (on air: the picture ring; off air: every 10th picture as a preview on
// port 10005), the buffer thread (HDMI output, encoder, web preview) and the web-preview thread.
#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "active_source.h"
#include "encoder_feed.h"
#include "frame_rate_limiter.h"
#include "hdmi_picture.h"
#include "ip1_input.h"
#include "ip1_state.h"
#include "media_utils.h"
#include "mpp_decode_interface.h"
#include "ndi_parameter_sets.h"
#include "preview_jpeg.h"
#include "preview_link.h"
#include "rga_api.h"

std::atomic<copy_buffer*> ip1_vedio_to_web{nullptr};

namespace {

constexpr int kPreviewWidth = 640;
constexpr int kPreviewHeight = 360;
// Pictures per preview.
constexpr int kPreviewEvery = 10;
// Polling steps of the decode, buffer and preview threads.
constexpr int kPollMs = 1;
// Pause between making the decoder and giving it the first packet.
constexpr int kDecoderSettleMs = 10;
// Longest wait for the decoder to finish its queue at the end.
constexpr int kDecoderIdleWaitMs = 2000;

// On air, pictures reach the display and the encoder at up to the encoder's rate.
FrameRateLimiter ip1_on_air_limiter(kEncodeFps);
std::atomic<bool> ip1_to_web_working{false};
std::once_flag g_to_web_once;

int advance_preview_counter() {
    const int count = ip1_preview_count.load(std::memory_order_relaxed);
    ip1_preview_count.store((count + 1) % kPreviewEvery, std::memory_order_relaxed);
    return count;
}

// Off air: one NV12 picture as a 640x360 preview record on the "ip1" link. Pictures with padded strides
// are cut to the stream's picture size first, so the padding never shows.
void send_preview(const uint8_t* bytes, int hor_stride, int ver_stride) {
    int width = hor_stride;
    int height = ver_stride;
    const uint8_t* picture = bytes;
    static thread_local std::vector<uint8_t> cropped;
    const int stream_width = ip1_width.load(std::memory_order_relaxed) & ~1;
    const int stream_height = ip1_height.load(std::memory_order_relaxed) & ~1;
    if (stream_width >= 2 && stream_height >= 2 && stream_width <= hor_stride && stream_height <= ver_stride &&
        (stream_width != hor_stride || stream_height != ver_stride)) {
        cropped.resize(static_cast<size_t>(stream_width) * stream_height * 3 / 2);
        if (nv12_crop_copy(bytes, hor_stride, ver_stride, cropped.data(), 0, 0, stream_width, stream_height) != 1)
            return;
        picture = cropped.data();
        width = stream_width;
        height = stream_height;
    }
    if (width < 2 || height < 2 || (width & 1) != 0 || (height & 1) != 0) return;
    const cv::Mat nv12(height * 3 / 2, width, CV_8UC1, const_cast<uint8_t*>(picture));
    cv::Mat bgr;
    cv::Mat small;
    cv::cvtColor(nv12, bgr, cv::COLOR_YUV2BGR_NV12);
    cv::resize(bgr, small, cv::Size(kPreviewWidth, kPreviewHeight), 0, 0, cv::INTER_LINEAR);
    static thread_local std::vector<uint8_t> jpeg(kPreviewJpegBufferBytes);
    int length = 0;
    if (rgb_to_jpg_ip1(small.data, kPreviewWidth, kPreviewHeight, jpeg.data(), static_cast<int>(jpeg.size()),
                       &length) != 0)
        return;
    send_preview_record(preview_client(PreviewLinkId::Ip1), jpeg.data(), static_cast<size_t>(length));
}

// Makes the decoder, sizes the picture ring and starts the buffer thread for the stream's parameters.
mpp_decode_Interface* start_decoder(const NdiStreamParams& params, bool h265, std::thread* buffer_thread) {
    ip1_width.store(params.width, std::memory_order_relaxed);
    ip1_height.store(params.height, std::memory_order_relaxed);
    std::printf("\r\n1111111111111 W=%d H=%d fps=%d\r\n", params.width, params.height, params.fps);
    copy_buffer* ring = ip1_nv12_buffer.load(std::memory_order_acquire);
    ring->m_copy_buffer_init(params.width, params.height, kCopyBufferNv12);
    DecoderParams decoder_params{params.width, params.height, params.fps};
    auto* decoder = new (std::nothrow) mpp_decode_Interface(&decoder_params);
    if (decoder == nullptr) return nullptr;
    decoder->SetH265(h265 ? 1 : 0);
    if (decoder->Open() != 1) {
        std::printf("task_vedio_ip1_run_pull: the decoder could not be opened\r\n");
        delete decoder;
        return nullptr;
    }
    decoder->decoded_frame_callback.store(&ip1_decoded_frame_callback, std::memory_order_release);
    ip1_on_air_limiter.Reset();
    ip1_pictures_out.store(0, std::memory_order_relaxed);
    ip1_hide_until.store(0, std::memory_order_relaxed);
    *buffer_thread = std::thread([] { ip1_nv12_buffer_run_pull(nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(kDecoderSettleMs));
    return decoder;
}

// A stale packet with a newer key frame queued behind it: the packets before that key frame are dropped (their
// pictures could only go on air late, or by fast-forwarding) and the key frame is taken instead. nullptr when
// the queue was emptied meanwhile (the input stops).
ip1_packet_item* skip_to_newest_key(ip1_packet_item* item) {
    const uint64_t key_seq = ip1_newest_key_seq.load(std::memory_order_acquire);
    if (key_seq <= item->seq || !ip1_is_stale(item->media_ms, ip1_edge_media_ms.load(std::memory_order_relaxed)))
        return item;
    uint64_t skipped = 0;
    while (item->seq < key_seq) {
        void* raw = item;
        ip1_video_item_free(&raw);
        ++skipped;
        if (ip1_video_queue.TryPop(&raw) == 0) {
            item = nullptr;
            break;
        }
        item = static_cast<ip1_packet_item*>(raw);
    }
    ip1_skipped_packets.fetch_add(skipped, std::memory_order_relaxed);
    if (item != nullptr) {
        int64_t floor = ip1_audio_floor_ms.load(std::memory_order_relaxed);
        if (item->media_ms != kIp1NoMediaMs && (floor == kIp1NoMediaMs || item->media_ms > floor))
            ip1_audio_floor_ms.store(item->media_ms, std::memory_order_relaxed);
    }
    std::printf("task_vedio_ip1_run_pull: %llu late packets skipped to the newest key frame\r\n",
                static_cast<unsigned long long>(skipped));
    return item;
}

// Whether the packet's picture may go on air, and the sound floor that goes with it: a stale packet's
// picture is held back and its sound dropped; a packet whose time went back (a file that loops) lifts the
// floor.
bool mark_live(const ip1_packet_item& item) {
    const bool stale = ip1_is_stale(item.media_ms, ip1_edge_media_ms.load(std::memory_order_relaxed));
    const int64_t floor = ip1_audio_floor_ms.load(std::memory_order_relaxed);
    if (stale && item.media_ms != kIp1NoMediaMs && (floor == kIp1NoMediaMs || item.media_ms > floor)) {
        ip1_audio_floor_ms.store(item.media_ms, std::memory_order_relaxed);
    } else if (!stale && floor != kIp1NoMediaMs && item.media_ms != kIp1NoMediaMs && item.media_ms < floor) {
        ip1_audio_floor_ms.store(kIp1NoMediaMs, std::memory_order_relaxed);
    }
    return !stale;
}

// Hands one packet to the decoder, waiting while its queue is full: a packet left out would spoil the
// pictures up to the next key frame.
bool push_to_decoder(mpp_decode_Interface* decoder, const NdiStreamParams& params, int fps,
                     const ip1_packet_item& item) {
    while (!decoder->CanReceive()) {
        if (!rtsp_rtmp_pull_ip1_working.load(std::memory_order_relaxed)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    decoder->PushPacket(params.width, params.height, fps, item.bytes, item.size);
    return true;
}

}  // namespace

void* task_vedio_ip1_run_pull(void*) {
    std::printf("task_vedio_ip1_run_pull start...\r\n");
    bool need_parameters = true;
    NdiStreamParams params;
    mpp_decode_Interface* decoder = nullptr;
    std::thread buffer_thread;
    int count = 0;
    auto mark = std::chrono::steady_clock::now();
    // Stale packets are taken one after the other without waiting for the pace tick.
    bool catching_up = false;
    uint64_t pushed = 0;  // packets handed to the decoder since it was made
    while (rtsp_rtmp_pull_ip1_working.load(std::memory_order_relaxed)) {
        if (!catching_up && !ip1_release_packet.exchange(false, std::memory_order_relaxed)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
            continue;
        }
        void* raw = nullptr;
        if (ip1_video_queue.TryPop(&raw) == 0) {  // the release is spent
            catching_up = false;
            continue;
        }
        auto* item = skip_to_newest_key(static_cast<ip1_packet_item*>(raw));
        if (item == nullptr) continue;
        raw = item;
        m_ip1_pull_reconnect_count.store(0, std::memory_order_relaxed);
        ip1_last_video_time.store(item->time, std::memory_order_relaxed);
        const bool live = mark_live(*item);
        ip1_video_taken.store(true, std::memory_order_release);
        bool handed = false;
        if (need_parameters) {
            NdiStreamParams found;
            if (ndi_parse_stream_parameters(item->bytes, item->size, item->h265, &found)) {
                if (item->h265)
                    std::printf("m_rtsp15_callback_video_handle_onrecv decode sps W:%d H:%d\r\n", found.width,
                                found.height);
                decoder = start_decoder(found, item->h265, &buffer_thread);
                if (decoder != nullptr) {
                    params = found;
                    need_parameters = false;
                    pushed = 0;
                    handed = push_to_decoder(decoder, params, params.fps, *item);
                }
            }
        } else {
            handed = push_to_decoder(decoder, params, kIp1PushFps, *item);
        }
        if (handed) {
            ++pushed;
            // The pictures of this packet and of every one before it stay off air.
            if (!live) ip1_hide_until.store(pushed, std::memory_order_relaxed);
        }
        ++count;
        const auto now = std::chrono::steady_clock::now();
        if (now - mark > std::chrono::seconds(1)) {
            std::printf("==vor %s H264 fps:%d\r\n", "task_vedio_ip1_run_pull", count);
            count = 0;
            mark = now;
        }
        ip1_video_item_free(&raw);
    }
    if (decoder != nullptr) {
        std::printf("close mpp_tool_ip1\r\n");
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDecoderIdleWaitMs);
        while (!decoder->IsIdle() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        delete decoder;  // joins the worker, so the callback is done with the ring
    }
    // The buffer thread leaves the ring before it is released.
    if (buffer_thread.joinable()) buffer_thread.join();
    ip1_nv12_buffer.load(std::memory_order_acquire)->m_copy_buffer_uninit();
    std::printf("task_vedio_ip1_run_pull end...\r\n");
    ip1_media_thread_done();
    return nullptr;
}

void ip1_decoded_frame_callback(uint8_t* bytes, int size, int hor_stride, int ver_stride, uint32_t format) {
    if (!rtsp_rtmp_pull_ip1_working.load(std::memory_order_relaxed)) return;
    if (bytes == nullptr || format != kDecodedNv12 || hor_stride <= 0 || ver_stride <= 0) return;
    if (static_cast<int64_t>(size) < static_cast<int64_t>(hor_stride) * ver_stride * 3 / 2) return;
    const uint64_t picture = ip1_pictures_out.fetch_add(1, std::memory_order_relaxed);
    if (get_active_source() == kInputIp1) {
        // A picture of a stale packet would go on air late: it only brings the decoder up to the live edge.
        if (picture < ip1_hide_until.load(std::memory_order_relaxed)) {
            ip1_hidden_pictures.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        copy_buffer* ring = ip1_nv12_buffer.load(std::memory_order_acquire);
        if (!ring->is_initialised() || !ip1_on_air_limiter.AdmitNow()) return;
        if (hor_stride == ring->width() && ver_stride == ring->height()) {
            ring->m_copy_buffer_write(bytes, size);
        } else {
            ring->m_copy_buffer_write_nv12_crop(bytes, size, hor_stride, ver_stride);
        }
        return;
    }
    if (advance_preview_counter() == 0) send_preview(bytes, hor_stride, ver_stride);
}

void* ip1_nv12_buffer_run_pull(void*) {
    std::printf("ip1_nv12_buffer_run_pull start...\r\n");
    copy_buffer* ring = ip1_nv12_buffer.load(std::memory_order_acquire);
    std::vector<uint8_t> scaled;
    int count = 0;
    auto mark = std::chrono::steady_clock::now();
    while (rtsp_rtmp_pull_ip1_working.load(std::memory_order_relaxed)) {
        uint8_t* slot = nullptr;
        if (!ring->is_initialised() || ring->m_copy_buffer_read_pop_start(&slot) != 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
            continue;
        }
        const int width = ring->width();
        const int height = ring->height();
        const int bytes = width * height * 3 / 2;
        if (get_active_source() == kInputIp1) {
            hdmi_show_picture(slot, width, height, "NV12");
            const int encode_width = signal_input_encode_get_width();
            const int encode_height = signal_input_encode_get_height();
            if (encode_width == width && encode_height == height) {
                push_nv12_to_encoder(slot, bytes);
            } else {
                scaled.resize(static_cast<size_t>(encode_width) * encode_height * 3 / 2);
                if (rkrga_api_resize(slot, scaled.data(), width, height, encode_width, encode_height, "NV12",
                                     "NV12") == 1)
                    push_nv12_to_encoder(scaled.data(), static_cast<int>(scaled.size()));
            }
            if (advance_preview_counter() == 0 && get_ip1_to_web_working()) {
                copy_buffer* web = ip1_vedio_to_web.load(std::memory_order_acquire);
                if (web != nullptr && web->is_initialised())
                    web->m_copy_buffer_write_rga_bgr24(slot, bytes, "NV12", width, height);
            }
        }
        ++count;
        const auto now = std::chrono::steady_clock::now();
        if (now - mark > std::chrono::seconds(1)) {
            std::printf("==vor %s ip1 fps:%d W=%d H=%d\r\n", "ip1_nv12_buffer_run_pull", count, width, height);
            count = 0;
            mark = now;
        }
        ring->m_copy_buffer_read_pop_end();
    }
    std::printf("ip1_nv12_buffer_run_pull end...\r\n");
    return nullptr;
}

bool get_ip1_to_web_working() { return ip1_to_web_working.load(std::memory_order_relaxed); }
void set_ip1_to_web_working(bool working) { ip1_to_web_working.store(working, std::memory_order_relaxed); }

void ip1_to_web_start() {
    std::call_once(g_to_web_once, [] {
        auto* web = new copy_buffer("ip1_vedio_to_web");
        web->m_copy_buffer_init(kPreviewWidth, kPreviewHeight, kCopyBufferRgb24);
        ip1_vedio_to_web.store(web, std::memory_order_release);
        pthread_t thread;
        if (pthread_create(&thread, nullptr, &task_run_ip1_to_web, nullptr) != 0) {
            std::printf("task_run_ip1_to_web thread create fail\r\n");
            return;
        }
        pthread_detach(thread);
    });
}

void* task_run_ip1_to_web(void*) {
    std::printf("task_run_ip1_to_web start...\r\n");
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    set_ip1_to_web_working(true);
    copy_buffer* web = ip1_vedio_to_web.load(std::memory_order_acquire);
    std::vector<uint8_t> jpeg(kPreviewJpegBufferBytes);
    int count = 0;
    auto mark = std::chrono::steady_clock::now();
    while (get_ip1_to_web_working()) {
        uint8_t* slot = nullptr;
        if (web == nullptr || !web->is_initialised() || web->m_copy_buffer_read_pop_start(&slot) != 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
            continue;
        }
        int length = 0;
        if (rgb_to_jpg_ip1(slot, web->width(), web->height(), jpeg.data(), static_cast<int>(jpeg.size()),
                           &length) == 0)
            send_preview_record(preview_client(PreviewLinkId::Ip1), jpeg.data(), static_cast<size_t>(length));
        ++count;
        const auto now = std::chrono::steady_clock::now();
        if (now - mark > std::chrono::seconds(1)) {
            std::printf("task_run_ip1_to_web W=%d H=%d fps:%d\r\n", web->width(), web->height(), count);
            count = 0;
            mark = now;
        }
        web->m_copy_buffer_read_pop_end();
    }
    std::printf("task_run_ip1_to_web end...\r\n");
    return nullptr;
}
