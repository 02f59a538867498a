#include "uvc_frame_path.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <system_error>
#include <thread>
#include <vector>

#include "active_source.h"
#include "decoder_mjpeg_mpp.h"
#include "encoder_feed.h"
#include "frame_rate_limiter.h"
#include "hdmi_picture.h"
#include "jpeg_size.h"
#include "mpp_decode_interface.h"
#include "pause.h"
#include "preview_jpeg.h"
#include "preview_link.h"
#include "rga_api.h"
#include "sps_parser.h"
#include "ultra_hdmitx_display.h"

copy_buffer rkrga_out_decode_uvc("rkrga_out_decode_uvc");
copy_buffer rkrga_out_uvc_to_web("rkrga_out_uvc_to_web");

namespace {

// What the running thread was started for.
enum class UvcCodec { kNone, kMjpeg, kH264, kYuyv };

// Bytes of an H.264 unit copied for the parameter-set reader (a parameter set is a few dozen bytes).
constexpr size_t kSpsCopyBytes = 1024;
// Rate the camera JPEGs are announced with to the MJPEG decoder.
constexpr int kMjpegPacketFps = 30;
// Short pacing of the on-air loop.
constexpr int kRingIdleMs = 10;
constexpr int kRingEmptyMs = 1;
constexpr int kTeardownSettleMs = 100;
constexpr int kYuyvPreviewPauseUs = 100;
// Frame-dropping of the on-air H.264 copy: one in 10, or one in 4 for a 3840-wide camera on a 4K output.
constexpr int kH264DropEvery = 10;
constexpr int kH264DropEvery4K = 4;
constexpr int kWideCameraWidth = 3840;
// Scratch for one 1920x1080 NV12 encoder picture.
constexpr size_t kEncoderFrameBytes = static_cast<size_t>(kEncodeWidth) * kEncodeHeight * 3 / 2;

std::atomic<int> g_state{kUvcPathIdle};
std::atomic<uint8_t> g_working{0};
// Set by a stop request; the thread ends at its next look. Cleared when a sink starts a new thread.
std::atomic<bool> g_stop_requested{false};
std::atomic<uint8_t> g_h264_input_stopped{0};
std::atomic<uint8_t> g_mjpeg_ready{0};
std::atomic<uint8_t> g_mjpeg_first_start{1};
std::atomic<uint8_t> g_raw_preview_request{0};
std::atomic<int> g_h264_sps_count{0};
std::atomic<uint8_t> g_h264_passing{0};
std::atomic<int> g_h264_drop_counter{0};
std::atomic<uint8_t> g_web_preview_enabled{0};

// The codec and size the running thread serves: written by the sink that wins the start (before the thread
// exists), read by the thread and the sinks.
std::atomic<UvcCodec> g_codec{UvcCodec::kNone};
std::atomic<int> g_width{0};
std::atomic<int> g_height{0};

// The decoder while one exists. Sinks post under the lock, so the thread can take the decoder away and
// destroy it without a post still running on it.
std::mutex g_decoder_mutex;
Decoder_MJPEG_MPP* g_mjpeg_decoder = nullptr;
mpp_decode_Interface* g_h264_decoder = nullptr;

// The newest MJPEG picture written into the ring: the decoder's workers deliver out of order, and an older
// picture after it is dropped, so the output never goes backwards. Reset when a thread starts.
std::atomic<int64_t> g_last_written_sequence{0};
// One line per thread about pictures that are not the size the path was started for.
std::atomic<bool> g_mismatch_reported{false};
// The size the camera's H.264 stream declares in its last parameter set (0 until one was read), and the
// last JPEG size reported as differing from the camera's set size.
std::atomic<int> g_h264_stream_width{0};
std::atomic<int> g_h264_stream_height{0};
std::atomic<int> g_jpeg_reported_width{0};
std::atomic<int> g_jpeg_reported_height{0};

// Once-a-second H.264 report.
std::atomic<int64_t> g_h264_report_ms{0};
std::atomic<int> g_h264_frames{0};

uint8_t g_encoder_frame[kEncoderFrameBytes];

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool camera_on_air() {
    return get_active_source() == kInputCamera;
}

// The counter's value for this frame, advancing it (wrapping at period); several decoder workers may count
// at once.
int take_preview_turn(int period) {
    int current = uvc_preview_counter.load(std::memory_order_relaxed);
    int next = 0;
    do {
        if (current < 0 || current >= period) current = 0;
        next = current + 1 >= period ? 0 : current + 1;
    } while (!uvc_preview_counter.compare_exchange_weak(current, next, std::memory_order_relaxed));
    return current;
}

void feed_frame_watch() {
    uvc_frame_watch_ticks.store(0, std::memory_order_relaxed);
    uvc_connect_flag.store(1, std::memory_order_relaxed);
}

// Asks the running thread to end (a stop request or a camera that changed its codec or size).
void request_stop() {
    g_working.store(0);
    g_h264_input_stopped.store(1);
    g_stop_requested.store(true);
}

// Starts the thread for codec at width x height when the path is idle; false when it is not (another frame
// won the start, or an old thread is still running or tearing down).
bool start_thread(UvcCodec codec, int width, int height) {
    int idle = kUvcPathIdle;
    if (!g_state.compare_exchange_strong(idle, kUvcPathStarting)) return false;
    g_stop_requested.store(false);
    g_h264_input_stopped.store(0);
    g_last_written_sequence.store(0);
    g_mismatch_reported.store(false);
    g_codec.store(codec);
    g_width.store(width);
    g_height.store(height);
    try {
        std::thread(task_run_uvc_decode_h264_mjpeg, nullptr).detach();
    } catch (const std::system_error&) {
        std::printf("uvc frame path: cannot start task_run_uvc_decode_h264_mjpeg\n");
        g_codec.store(UvcCodec::kNone);
        g_state.store(kUvcPathIdle);
        return false;
    }
    return true;
}

// True when the running thread serves this codec and size; a running thread that serves another is asked
// to stop, so the next frame after its teardown starts the right one.
bool running_for(UvcCodec codec, int width, int height) {
    if (g_state.load() != kUvcPathRunning || g_working.load() != 1) return false;
    if (g_codec.load() == codec && g_width.load() == width && g_height.load() == height) return true;
    std::printf("uvc frame path: camera now sends another format (%dx%d), restarting the decoder\n", width, height);
    request_stop();
    return false;
}

// A 640x360 JPEG of an NV12 picture (strides hor x ver, picture width x height in its top-left corner) on
// the camera's preview link.
void send_nv12_preview(const uint8_t* bytes, int size, int hor_stride, int ver_stride, int width, int height) {
    TcpClient& link = preview_client(PreviewLinkId::Uvc);
    if (!link.IsConnected()) return;
    if (bytes == nullptr || hor_stride <= 0 || ver_stride <= 0 || (hor_stride % 2) != 0 || (ver_stride % 2) != 0)
        return;
    const size_t needed = static_cast<size_t>(hor_stride) * static_cast<size_t>(ver_stride) * 3 / 2;
    if (size < 0 || static_cast<size_t>(size) < needed) return;
    cv::Mat nv12(ver_stride * 3 / 2, hor_stride, CV_8UC1, const_cast<uint8_t*>(bytes));
    cv::Mat bgr;
    cv::cvtColor(nv12, bgr, cv::COLOR_YUV2BGR_NV12);
    // The padding rows and columns of the strides are not part of the picture.
    const int w = width > 0 && width <= hor_stride ? width : hor_stride;
    const int h = height > 0 && height <= ver_stride ? height : ver_stride;
    cv::Mat small;
    cv::resize(bgr(cv::Rect(0, 0, w, h)), small, cv::Size(kUvcPreviewWidth, kUvcPreviewHeight), 0, 0,
               cv::INTER_LINEAR);
    std::vector<uint8_t> jpeg(kPreviewJpegBufferBytes);
    int length = 0;
    if (rgb_to_jpg(small.data, kUvcPreviewWidth, kUvcPreviewHeight, jpeg.data(), static_cast<int>(jpeg.size()),
                   &length) != 0)
        return;
    send_preview_record(link, jpeg.data(), static_cast<size_t>(length));
}

// The decoded picture can go into the ring (its bytes hold the strides, which cover the ring's size).
bool fits_ring(int size, int hor_stride, int ver_stride, int bytes_per_2_pixels) {
    const int w = rkrga_out_decode_uvc.width();
    const int h = rkrga_out_decode_uvc.height();
    if (hor_stride < w || ver_stride < h) return false;
    const size_t needed = static_cast<size_t>(hor_stride) * static_cast<size_t>(ver_stride) * bytes_per_2_pixels / 2;
    return size >= 0 && static_cast<size_t>(size) >= needed;
}

// A decoded picture of another size than the path was started for cannot be shown right from this ring
// (it would be cut or refused): a clear line, no feed of the frame watch (a camera that goes on like this
// is restarted by it), and the path restarts, so the next frame starts it at the size the camera sends.
// True when the picture is of the path's size.
bool picture_of_path_size(int hor_stride, int ver_stride) {
    const DecodedPictureInfo info = decoded_picture_info();
    const int width = g_width.load();
    const int height = g_height.load();
    // Without the decoder's word on the size, the strides must at least hold the ring's picture.
    const bool same = info.width > 0 && info.height > 0 ? info.width == width && info.height == height
                                                         : hor_stride >= width && ver_stride >= height;
    if (same) return true;
    if (!g_mismatch_reported.exchange(true))
        std::printf("uvc frame path: the camera's pictures are %dx%d (strides %dx%d), not the %dx%d the path "
                    "was started for; restarting it at the camera's size\n",
                    info.width, info.height, hor_stride, ver_stride, width, height);
    request_stop();
    return false;
}

// Writes one decoded MJPEG picture into the ring unless a newer one is already there; one picture at a time
// between the workers and the thread (the pending exchange lets one worker in, the thread lets the next).
void write_mjpeg_picture(uint8_t* bytes, int size, int hor_stride, int ver_stride, const char* fourcc) {
    if (uvc_frame_pending.exchange(1, std::memory_order_relaxed) != 0) return;
    const int64_t sequence = decoded_picture_info().sequence;
    if (sequence != 0 && sequence <= g_last_written_sequence.load()) {
        // Decoded on a slower worker after a newer picture went out.
        uvc_frame_pending.store(0, std::memory_order_relaxed);
        return;
    }
    if (rkrga_out_decode_uvc.m_copy_buffer_write_rga_fourcc(bytes, size, hor_stride, ver_stride, fourcc)) {
        if (sequence != 0) g_last_written_sequence.store(sequence);
    } else {
        // Nothing went into the ring, so the thread will not clear the gate.
        uvc_frame_pending.store(0, std::memory_order_relaxed);
    }
}

// The size an H.264 access unit's sequence parameter set declares: 1 with it, 0 when it holds none or it
// cannot be read.
int h264_unit_size(const uint8_t* bytes, int length, int* width, int* height) {
    for (int i = 0; i + 3 < length; ++i) {
        if (bytes[i] != 0 || bytes[i + 1] != 0 || bytes[i + 2] != 1 || (bytes[i + 3] & 0x1f) != 7) continue;
        // The parser works in place; the set is short, the copy bounded.
        const int start = i + 3;
        const int n = length - start < static_cast<int>(kSpsCopyBytes) ? length - start : static_cast<int>(kSpsCopyBytes);
        std::vector<uint8_t> sps(bytes + start, bytes + start + n);
        int fps = 0;
        return h264_decode_sps(sps.data(), n, width, height, &fps);
    }
    return 0;
}

// The size the camera's frames really have: what the descriptor says, unless the frame itself says
// otherwise (a JPEG's frame header; an H.264 parameter set, remembered for the frames between them).
void real_mjpeg_size(const uint8_t* data, int size, int* width, int* height) {
    int w = 0;
    int h = 0;
    if (jpeg_picture_size(data, static_cast<size_t>(size), &w, &h) != 1 || (w == *width && h == *height)) return;
    const bool width_new = g_jpeg_reported_width.exchange(w) != w;
    const bool height_new = g_jpeg_reported_height.exchange(h) != h;
    if (width_new || height_new)
        std::printf("uvc frame path: the camera sends %dx%d JPEGs while it was set to %dx%d; decoding them at "
                    "their own size\n", w, h, *width, *height);
    *width = w;
    *height = h;
}

void real_h264_size(const uint8_t* data, int size, int* width, int* height) {
    int w = 0;
    int h = 0;
    if (h264_unit_size(data, size, &w, &h) == 1) {
        if ((w != *width || h != *height) &&
            (g_h264_stream_width.load() != w || g_h264_stream_height.load() != h))
            std::printf("uvc frame path: the camera's H.264 stream is %dx%d while it was set to %dx%d; decoding "
                        "it at its own size\n", w, h, *width, *height);
        g_h264_stream_width.store(w);
        g_h264_stream_height.store(h);
    }
    const int stream_width = g_h264_stream_width.load();
    const int stream_height = g_h264_stream_height.load();
    if (stream_width > 0 && stream_height > 0) {
        *width = stream_width;
        *height = stream_height;
    }
}

FrameRateLimiter g_on_air_limiter(kEncodeFps);

// One on-air picture from the ring: HDMI, encoder, web preview.
void show_on_air(const uint8_t* frame) {
    const int width = rkrga_out_decode_uvc.width();
    const int height = rkrga_out_decode_uvc.height();
    const bool yuyv = rkrga_out_decode_uvc.format() == kCopyBufferYuyv;
    // A YUYV camera's pictures are packed 4:2:2 and converted as such.
    const char* fourcc = yuyv ? "YUYV" : "NV12";

    // Pictures beyond the encoder's rate (a 60 fps camera) are dropped evenly before the display and the encoder.
    if (g_on_air_limiter.AdmitNow()) {
        hdmi_show_picture(frame, width, height, fourcc);

        const int enc_width = signal_input_encode_get_width();
        const int enc_height = signal_input_encode_get_height();
        if (width != enc_width || height != enc_height || yuyv) {
            if (static_cast<size_t>(enc_width) * enc_height * 3 / 2 <= sizeof(g_encoder_frame) &&
                rkrga_api_resize(frame, g_encoder_frame, width, height, enc_width, enc_height, fourcc, "NV12") == 1)
                push_nv12_to_encoder(g_encoder_frame, enc_width * enc_height * 3 / 2);
        } else {
            push_nv12_to_encoder(frame, width * height * 3 / 2);
        }
    }

    if (take_preview_turn(kUvcPreviewEvery) == 0 && g_web_preview_enabled.load() == 1 &&
        rkrga_out_uvc_to_web.is_initialised()) {
        const int bytes = yuyv ? width * height * 2 : width * height * 3 / 2;
        rkrga_out_uvc_to_web.m_copy_buffer_write_rga_bgr24(frame, bytes, fourcc, width, height);
        if (yuyv) usleep(kYuyvPreviewPauseUs);
    }
    uvc_frame_pending.store(0, std::memory_order_relaxed);
}

// Creates and opens the decoder the thread was started for; false when it could not be opened.
bool open_decoder(UvcCodec codec, int width, int height) {
    const DecoderParams params = {width, height, kUvcDecoderFps};
    if (codec == UvcCodec::kMjpeg) {
        auto* decoder = create_decoder_mjpeg_mpp(&params);
        if (decoder == nullptr) return false;
        decoder->decoded_frame_callback.store(&on_uvc_mjpeg_frame);
        {
            std::lock_guard<std::mutex> lock(g_decoder_mutex);
            g_mjpeg_decoder = decoder;
        }
        return decoder->Open() == 1;
    }
    auto* decoder = create_mpp_decode_interface(&params);
    if (decoder == nullptr) return false;
    decoder->SetH265(0);
    decoder->decoded_frame_callback.store(&on_uvc_h264_frame);
    {
        std::lock_guard<std::mutex> lock(g_decoder_mutex);
        g_h264_decoder = decoder;
    }
    return decoder->Open() == 1;
}

// Takes the decoder away from the sinks, lets it finish what it holds, stops its workers (no picture
// callback runs after this) and destroys it.
void close_decoder() {
    VideoCodec* decoder = nullptr;
    const char* line = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_decoder_mutex);
        if (g_mjpeg_decoder != nullptr) {
            decoder = g_mjpeg_decoder;
            line = "delete mpp_decode_mjpeg.... \r\n";
        } else if (g_h264_decoder != nullptr) {
            decoder = g_h264_decoder;
            line = "delete mpp_decode_h264.... \r\n";
        }
        g_mjpeg_decoder = nullptr;
        g_h264_decoder = nullptr;
    }
    if (decoder == nullptr) return;
    while (!decoder->IsIdle()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    decoder->Stop();
    delete decoder;
    std::printf("%s", line);
}

bool keep_running() {
    return g_working.load() == 1 && !g_stop_requested.load();
}

}  // namespace

int h264_has_sps(const uint8_t* bytes, int length) {
    if (bytes == nullptr || length < 4) return 0;
    for (int i = 0; i + 3 < length; ++i) {
        if (bytes[i] != 0 || bytes[i + 1] != 0) continue;
        // 00 00 01 xx, also the tail of 00 00 00 01 xx.
        if (bytes[i + 2] == 1 && (bytes[i + 3] & 0x1f) == 7) return 1;
    }
    return 0;
}

void v4lcapture_uvc_mpp_decode_mjpeg(const uint8_t* data, int size, int width, int height) {
    if (data == nullptr || size <= 0 || width <= 0 || height <= 0) return;
    real_mjpeg_size(data, size, &width, &height);
    if (g_raw_preview_request.exchange(0) != 0) {
        // The camera's own JPEG stands in for the preview of a 4:2:2 camera.
        TcpClient& link = preview_client(PreviewLinkId::Uvc);
        if (link.IsConnected()) link.SendRecord(data, static_cast<size_t>(size));
    }
    if (running_for(UvcCodec::kMjpeg, width, height)) {
        if (g_mjpeg_ready.load() != 1) return;
        std::lock_guard<std::mutex> lock(g_decoder_mutex);
        // A decoder that falls behind loses frames here rather than queueing without bound.
        if (g_mjpeg_decoder != nullptr && g_mjpeg_decoder->CanReceive())
            g_mjpeg_decoder->PushPacket(width, height, kMjpegPacketFps, data, size);
        return;
    }
    if (g_state.load() != kUvcPathIdle) return;
    std::printf("v4lcapture_uvc_mpp_decode_mjpeg width=%d height=%d\r\n", width, height);
    start_thread(UvcCodec::kMjpeg, width, height);
}

void v4lcapture_uvc_mpp_decode_h264(const uint8_t* data, int size, int width, int height) {
    if (data == nullptr || size <= 0 || width <= 0 || height <= 0) return;
    real_h264_size(data, size, &width, &height);
    // Frames of a stopping thread are ignored; a stop asked for while nothing ran holds no frame back.
    if (g_h264_input_stopped.load() != 0 && g_state.load() != kUvcPathIdle) return;
    if (running_for(UvcCodec::kH264, width, height)) {
        if (g_h264_passing.load() == 0) {
            // Decoding starts on the third frame that carries a sequence parameter set.
            if (h264_has_sps(data, size) == 0) return;
            if (g_h264_sps_count.fetch_add(1) + 1 < kUvcH264SpsGate) return;
            g_h264_passing.store(1);
        }
        std::lock_guard<std::mutex> lock(g_decoder_mutex);
        if (g_h264_decoder != nullptr && g_h264_decoder->CanReceive())
            g_h264_decoder->PushPacket(width, height, kUvcDecoderFps, data, size);
        return;
    }
    if (g_state.load() != kUvcPathIdle) return;
    std::printf("v4lcapture_uvc_mpp_decode_h264 width=%d height=%d\r\n", width, height);
    g_h264_sps_count.store(0);
    g_h264_passing.store(0);
    start_thread(UvcCodec::kH264, width, height);
}

void v4lcapture_uvc_yuyv_input(const uint8_t* data, int size, int width, int height, int line_bytes) {
    if (data == nullptr || size <= 0 || width <= 0 || height <= 0) return;
    // The driver's byte count is checked against the picture at the driver's line length: a short frame is
    // refused, a longer one is read only as far as the picture goes.
    const size_t row = static_cast<size_t>(width) * 2;
    const size_t line = line_bytes > 0 ? static_cast<size_t>(line_bytes) : row;
    const size_t picture = row * static_cast<size_t>(height);
    if (line < row || static_cast<size_t>(size) < line * static_cast<size_t>(height - 1) + row) {
        std::printf("uvc frame path: YUYV frame of %d bytes (lines of %zu bytes) is shorter than %dx%d\n", size, line,
                    width, height);
        return;
    }
    // Padded lines are packed first, into a buffer of the capture thread's own.
    thread_local std::vector<uint8_t> packed;
    if (line != row) {
        packed.resize(picture);
        for (int y = 0; y < height; ++y)
            std::memcpy(packed.data() + row * static_cast<size_t>(y), data + line * static_cast<size_t>(y), row);
        data = packed.data();
    }
    if (!camera_on_air()) {
        if (take_preview_turn(kUvcPreviewEvery) == 0 && rkrga_out_uvc_to_web.is_initialised())
            rkrga_out_uvc_to_web.m_copy_buffer_write_rga_bgr24(data, static_cast<int>(picture), "YUYV", width,
                                                               height);
        return;
    }
    if (running_for(UvcCodec::kYuyv, width, height)) {
        if (rkrga_out_decode_uvc.is_initialised())
            rkrga_out_decode_uvc.m_copy_buffer_write(data, static_cast<int>(picture));
        return;
    }
    if (g_state.load() != kUvcPathIdle) return;
    start_thread(UvcCodec::kYuyv, width, height);
}

void on_uvc_mjpeg_frame(uint8_t* bytes, int size, int hor_stride, int ver_stride, uint32_t fourcc) {
    if (!rkrga_out_decode_uvc.is_initialised()) return;
    if (fourcc != kFourccNv12 && fourcc != kFourccNv16) return;
    if (!picture_of_path_size(hor_stride, ver_stride)) return;
    if (fourcc == kFourccNv12) {
        if (!camera_on_air()) {
            if (take_preview_turn(kUvcPreviewEvery) == 0)
                send_nv12_preview(bytes, size, hor_stride, ver_stride, g_width.load(), g_height.load());
        } else if (fits_ring(size, hor_stride, ver_stride, 3)) {
            write_mjpeg_picture(bytes, size, hor_stride, ver_stride, "NV12");
        }
    } else {
        if (!camera_on_air()) {
            if (take_preview_turn(kUvcRawPreviewEvery) == 0) g_raw_preview_request.store(1);
        } else if (fits_ring(size, hor_stride, ver_stride, 4)) {
            write_mjpeg_picture(bytes, size, hor_stride, ver_stride, "NV16");
        }
    }
    feed_frame_watch();
}

void on_uvc_h264_frame(uint8_t* bytes, int size, int hor_stride, int ver_stride, uint32_t code) {
    if (!rkrga_out_decode_uvc.is_initialised() || code != kDecodedNv12) return;
    if (!picture_of_path_size(hor_stride, ver_stride)) return;
    const int width = rkrga_out_decode_uvc.width();
    const int height = rkrga_out_decode_uvc.height();
    if (!camera_on_air()) {
        if (take_preview_turn(kUvcPreviewEvery) == 0)
            send_nv12_preview(bytes, size, hor_stride, ver_stride, width, height);
    } else if (width != hor_stride || height != ver_stride) {
        rkrga_out_decode_uvc.m_copy_buffer_write_nv12_crop(bytes, size, hor_stride, ver_stride);
    } else {
        const bool wide_on_4k = width == kWideCameraWidth && g_drm_mode_4K.load(std::memory_order_relaxed) == 1;
        const int every = wide_on_4k ? kH264DropEvery4K : kH264DropEvery;
        const int count = g_h264_drop_counter.load(std::memory_order_relaxed) + 1;
        if (count >= every) {
            g_h264_drop_counter.store(0, std::memory_order_relaxed);
        } else {
            g_h264_drop_counter.store(count, std::memory_order_relaxed);
            rkrga_out_decode_uvc.m_copy_buffer_write(bytes, size);
        }
    }
    feed_frame_watch();
    g_h264_frames.fetch_add(1, std::memory_order_relaxed);
    const int64_t now = now_ms();
    int64_t last = g_h264_report_ms.load(std::memory_order_relaxed);
    if (now - last >= 1000 && g_h264_report_ms.compare_exchange_strong(last, now)) {
        std::printf("111111111111111111 H264 W=%d H=%d g_drm_mode_4K=%d fps:%d %d\r\n", width, height,
                    g_drm_mode_4K.load(std::memory_order_relaxed), g_h264_frames.exchange(0), hor_stride);
    }
}

void* task_run_uvc_decode_h264_mjpeg(void*) {
    std::printf("task_run_uvc_decode_h264_mjpeg start\r\n");
    g_working.store(1);
    const UvcCodec codec = g_codec.load();
    const int width = g_width.load();
    const int height = g_height.load();
    bool opened = true;
    if (codec == UvcCodec::kYuyv) {
        rkrga_out_decode_uvc.m_copy_buffer_init(width, height, kCopyBufferYuyv);
    } else {
        opened = open_decoder(codec, width, height);
        rkrga_out_decode_uvc.m_copy_buffer_init(width, height, kCopyBufferNv12);
        if (!opened) std::printf("uvc frame path: the decoder could not be opened\n");
        if (opened && codec == UvcCodec::kMjpeg) {
            // The MJPEG decoder warms up before the first frame is posted.
            pause_ms(g_mjpeg_first_start.exchange(0) != 0 ? kUvcMjpegFirstWarmUpMs : kUvcMjpegWarmUpMs);
            g_mjpeg_ready.store(1);
        }
    }
    int starting = kUvcPathStarting;
    g_state.compare_exchange_strong(starting, kUvcPathRunning);
    pause_ms(kUvcThreadSettleMs);

    while (opened && keep_running()) {
        if (!rkrga_out_decode_uvc.is_initialised()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kRingIdleMs));
            continue;
        }
        uint8_t* frame = nullptr;
        if (rkrga_out_decode_uvc.m_copy_buffer_read_pop_start(&frame) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kRingEmptyMs));
            continue;
        }
        if (camera_on_air() && frame != nullptr) show_on_air(frame);
        rkrga_out_decode_uvc.m_copy_buffer_read_pop_end();
    }

    g_state.store(kUvcPathStopping);
    std::printf("MPP decode close... start...\r\n");
    g_mjpeg_ready.store(0);
    close_decoder();
    std::printf(" 5555555555555555 mpp decode free...\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(kTeardownSettleMs));
    // Every producer of the ring has stopped: the decoder's workers are joined, and the YUYV sink writes
    // only while the path is running (its last write finished under the ring's producer lock).
    rkrga_out_decode_uvc.m_copy_buffer_uninit();
    uvc_frame_pending.store(0, std::memory_order_relaxed);
    g_h264_input_stopped.store(0);
    g_working.store(0);
    g_codec.store(UvcCodec::kNone);
    std::printf("task_run_uvc_decode_h264_mjpeg 11 exit\r\n");
    g_state.store(kUvcPathIdle);
    return nullptr;
}

void set_v4lcapture_uvc_mpp_decode_working(uint8_t working) {
    std::printf("set_v4lcapture_uvc_mpp_decode_working %d\r\n", working);
    if (working != 1) {
        request_stop();
        return;
    }
    g_working.store(1);
}

uint8_t get_v4lcapture_uvc_mpp_decode_working() {
    return g_working.load();
}

void set_uvc_mjpeg_decoder_ready(uint8_t ready) {
    g_mjpeg_ready.store(ready);
}

uint8_t get_uvc_mjpeg_decoder_ready() {
    return g_mjpeg_ready.load();
}

int uvc_frame_path_state() {
    return g_state.load();
}

void* uvc_web_preview_main(void*) {
    usleep(kYuyvPreviewPauseUs);
    g_web_preview_enabled.store(1);
    std::vector<uint8_t> jpeg;
    while (g_web_preview_enabled.load() == 1) {
        uint8_t* slot = nullptr;
        if (!rkrga_out_uvc_to_web.is_initialised() || rkrga_out_uvc_to_web.m_copy_buffer_read_pop_start(&slot) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kRingEmptyMs));
            continue;
        }
        const int width = rkrga_out_uvc_to_web.width();
        const int height = rkrga_out_uvc_to_web.height();
        TcpClient& link = preview_client(PreviewLinkId::Uvc);
        if (slot != nullptr && link.IsConnected()) {
            jpeg.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
            int length = 0;
            if (rgb_to_jpg(slot, width, height, jpeg.data(), static_cast<int>(jpeg.size()), &length) == 0)
                send_preview_record(link, jpeg.data(), static_cast<size_t>(length));
        }
        rkrga_out_uvc_to_web.m_copy_buffer_read_pop_end();
    }
    return nullptr;
}

void set_uvc_web_preview_enabled(uint8_t enabled) {
    g_web_preview_enabled.store(enabled);
}

uint8_t get_uvc_web_preview_enabled() {
    return g_web_preview_enabled.load();
}
