// The "ip1" input's life: init, open, stop, the supervisor with its pace tick, the reconnect, the packet
// callbacks and the audio thread. The video side is in ip1_video.cpp.
#include "ip1_input.h"

#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "aac2pcm.h"
#include "active_source.h"
#include "audio_net_streamer.h"
#include "event_loop.h"
#include "ip1_state.h"
#include "ndi_parameter_sets.h"
#include "pause.h"
#include "system_utils.h"

std::atomic<bool> rtsp_rtmp_pull_ip1_working{false};
std::atomic<uint8_t> rtmp_rtsp_ip1_buffer_flag{0};
std::atomic<int32_t> m_ip1_pull_reconnect_count{0};
std::atomic<bool> m_ip1_pull_buffer_error{false};
std::atomic<bool> ip1_video_started{false};
std::atomic<bool> ip1_release_packet{false};
std::atomic<uint64_t> ip1_edge_seq{0};
std::atomic<int64_t> ip1_edge_media_ms{kIp1NoMediaMs};
std::atomic<uint64_t> ip1_newest_key_seq{0};
std::atomic<int64_t> ip1_audio_floor_ms{kIp1NoMediaMs};
std::atomic<bool> ip1_video_taken{false};
std::atomic<uint64_t> ip1_pictures_out{0};
std::atomic<uint64_t> ip1_hide_until{0};
std::atomic<uint64_t> ip1_skipped_packets{0};
std::atomic<uint64_t> ip1_hidden_pictures{0};
std::atomic<bool> ip1_supervisor_running{false};
std::atomic<uint64_t> ip1_last_video_time{0};
std::atomic<uint64_t> ip1_last_audio_time{0};
std::atomic<int32_t> ip1_width{0};
std::atomic<int32_t> ip1_height{0};
std::atomic<int32_t> ip1_audio_rate{0};
std::atomic<int32_t> ip1_audio_channels{0};
std::atomic<uint32_t> ip1_stop_generation{0};
SafeQueue ip1_video_queue;
SafeQueue ip1_audio_queue;
std::atomic<RtmpRtspClient*> ffmpeg_tool_ip1{nullptr};
std::atomic<copy_buffer*> ip1_nv12_buffer{nullptr};

namespace {

constexpr uint8_t kModeRtsp = 0;
constexpr uint8_t kModeRtmp = 1;
// Polling steps of the consumer threads (the queues are filled by the reader, released by the tick).
constexpr int kAudioPollMs = 1;
constexpr int kReaderEndPollMs = 1;

std::once_flag g_init_once;
std::atomic<bool> g_initialised{false};
// Serialises opens with each other and with a stop's clearing of the working flag.
std::mutex g_state_mutex;
std::string g_url;  // url_path_ip1, under g_state_mutex
// The generation the running supervisor was started with.
std::atomic<uint32_t> g_supervisor_generation{0};
// Counts the accepted opens: a reconnect that finds a newer open than its own has nothing left to do.
std::atomic<uint32_t> g_open_sequence{0};
std::atomic<int> g_threads{0};
// The running supervisor's decode and audio threads that have not ended yet.
std::atomic<int> g_media_threads{0};

struct ThreadStart {
    void* (*entry)(void*);
    void* arg;
};

void* thread_trampoline(void* raw) {
    ThreadStart start = *static_cast<ThreadStart*>(raw);
    delete static_cast<ThreadStart*>(raw);
    start.entry(start.arg);
    g_threads.fetch_sub(1, std::memory_order_acq_rel);
    return nullptr;
}

void* generation_arg(uint32_t generation) { return reinterpret_cast<void*>(static_cast<uintptr_t>(generation)); }
uint32_t arg_generation(void* arg) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg)); }

// What a reconnect belongs to: the stop generation and the open it follows.
struct ReconnectTicket {
    uint32_t generation;
    uint32_t open_sequence;
};

void start_reconnect(uint32_t generation, uint32_t open_sequence) {
    auto* ticket = new (std::nothrow) ReconnectTicket{generation, open_sequence};
    if (ticket == nullptr) return;
    if (!ip1_start_thread(&task_ffmpeg_ip1_restart, ticket, "task_ffmpeg_ip1_restart")) delete ticket;
}

bool stopped_since(uint32_t generation) {
    return ip1_stop_generation.load(std::memory_order_acquire) != generation;
}

// Whole seconds of a timestamp in a stream's time base.
uint64_t seconds_of(int64_t pts, double time_base_seconds) {
    if (pts == AV_NOPTS_VALUE) return kIp1NoTime;
    const double seconds = static_cast<double>(pts) * time_base_seconds;
    if (!(seconds > 0.0)) return 0;
    return static_cast<uint64_t>(seconds);
}

// Media time in ms of a timestamp in a stream's time base.
int64_t media_ms_of(int64_t dts, int64_t pts, double time_base_seconds) {
    const int64_t stamp = dts != AV_NOPTS_VALUE ? dts : pts;
    if (stamp == AV_NOPTS_VALUE || !(time_base_seconds > 0.0)) return kIp1NoMediaMs;
    return static_cast<int64_t>(static_cast<double>(stamp) * time_base_seconds * 1000.0);
}

ip1_packet_item* make_item(const uint8_t* data, int32_t size, int32_t type, uint64_t time, bool h265,
                           int64_t media_ms) {
    auto* item = new (std::nothrow) ip1_packet_item{nullptr, type, size, time, h265, media_ms, 0, false};
    if (item == nullptr) return nullptr;
    item->bytes = new (std::nothrow) uint8_t[static_cast<size_t>(size)];
    if (item->bytes == nullptr) {
        delete item;
        return nullptr;
    }
    std::memcpy(item->bytes, data, static_cast<size_t>(size));
    return item;
}

void free_item(void** item) {
    if (item == nullptr || *item == nullptr) return;
    auto* packet = static_cast<ip1_packet_item*>(*item);
    delete[] packet->bytes;
    delete packet;
    *item = nullptr;
}

// Starts one of the supervisor's media threads (counted in g_media_threads until it ends).
void start_media_thread(void* (*entry)(void*), const char* name) {
    g_media_threads.fetch_add(1, std::memory_order_acq_rel);
    if (!ip1_start_thread(entry, nullptr, name)) g_media_threads.fetch_sub(1, std::memory_order_acq_rel);
}

}  // namespace

void ip1_video_item_free(void** item) { free_item(item); }
void ip1_audio_item_free(void** item) { free_item(item); }

std::string ip1_url() {
    std::lock_guard<std::mutex> lock(g_state_mutex);
    return g_url;
}

bool ip1_start_thread(void* (*entry)(void*), void* arg, const char* name) {
    auto* start = new (std::nothrow) ThreadStart{entry, arg};
    if (start == nullptr) {
        std::printf("%s thread create fail\n", name);
        return false;
    }
    g_threads.fetch_add(1, std::memory_order_acq_rel);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, &thread_trampoline, start) != 0) {
        g_threads.fetch_sub(1, std::memory_order_acq_rel);
        delete start;
        std::printf("%s thread create fail\n", name);
        return false;
    }
    pthread_detach(thread);
    return true;
}

int ip1_threads_running() { return g_threads.load(std::memory_order_acquire); }

bool ip1_wait_threads_idle(int64_t timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (ip1_threads_running() > 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool ip1_wait_unless_stopped(int64_t ms, uint32_t generation) {
    for (int64_t left = ms; left > 0; left -= kIp1WaitStepMs) {
        if (stopped_since(generation)) return false;
        pause_ms(left < kIp1WaitStepMs ? left : kIp1WaitStepMs);
    }
    return !stopped_since(generation);
}

bool ip1_is_key_packet(const uint8_t* data, int32_t size, bool h265) {
    if (data == nullptr || size < 4) return false;
    int32_t header = -1;
    if (size >= 5 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1) {
        header = 4;
    } else if (data[0] == 0 && data[1] == 0 && data[2] == 1) {
        header = 3;
    }
    if (header < 0) return false;
    const uint8_t nal = data[header];
    return h265 ? ((nal >> 1) & 0x3F) == 32 : (nal & 0x1F) == 7;
}

bool ip1_is_stale(int64_t media_ms, int64_t edge_media_ms) {
    if (media_ms == kIp1NoMediaMs || edge_media_ms == kIp1NoMediaMs) return false;
    return edge_media_ms - media_ms > kIp1LiveSlackMs;
}

bool ip1_accepts_first_packet(const uint8_t* data, int32_t size) {
    if (data == nullptr || size < 4) return false;
    if (size >= 5 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1)
        return is_video_nal(data, static_cast<size_t>(size));
    if (data[0] == 0 && data[1] == 0 && data[2] == 1) {
        const uint8_t widened[5] = {0, 0, 0, 1, data[3]};
        return is_video_nal(widened, sizeof(widened));
    }
    return false;
}

// ---- packet callbacks (on the client's reader) ----

void ip1_video_packet_callback(const uint8_t* data, int32_t size, int64_t dts, int64_t pts, int32_t /*fps*/,
                               bool h265) {
    if (data == nullptr || size <= 0) return;
    const bool rtsp_mode = rtmp_rtsp_ip1_buffer_flag.load(std::memory_order_relaxed) == kModeRtsp;
    if (rtsp_mode && ndi_next_start_code(data, size, 0, nullptr) != 0) {
        if (!m_ip1_pull_buffer_error.exchange(true, std::memory_order_relaxed))
            std::printf("m_ip1_pull_buffer_error = true\r\n");
    }
    if (m_ip1_pull_buffer_error.load(std::memory_order_relaxed)) return;
    if (!ip1_video_started.load(std::memory_order_relaxed)) {
        if (!ip1_accepts_first_packet(data, size)) return;
        ip1_video_started.store(true, std::memory_order_relaxed);
    }
    RtmpRtspClient* client = ffmpeg_tool_ip1.load(std::memory_order_acquire);
    const double tb = client != nullptr ? RtmpRtspClient::TimeBaseSeconds(client->VideoTimeBase()) : 0.0;
    if (!ip1_video_queue.IsEnabled() || ip1_video_queue.Size() >= kIp1QueueMaxItems) return;
    ip1_packet_item* item = make_item(data, size, 0, seconds_of(pts, tb), h265, media_ms_of(dts, pts, tb));
    if (item == nullptr) return;
    // The reader is the only producer: sequence, key mark and edge are published in queue order.
    item->seq = ip1_edge_seq.load(std::memory_order_relaxed) + 1;
    item->key = ip1_is_key_packet(data, size, h265);
    const uint64_t seq = item->seq;
    const bool key = item->key;
    const int64_t media_ms = item->media_ms;
    ip1_video_queue.Push(item);
    ip1_edge_media_ms.store(media_ms, std::memory_order_relaxed);
    if (key) ip1_newest_key_seq.store(seq, std::memory_order_relaxed);
    ip1_edge_seq.store(seq, std::memory_order_release);
}

void ip1_audio_packet_callback(const uint8_t* data, int32_t size, int64_t dts, int64_t pts) {
    if (data == nullptr || size <= 0) return;
    if (!ip1_video_started.load(std::memory_order_relaxed)) return;
    RtmpRtspClient* client = ffmpeg_tool_ip1.load(std::memory_order_acquire);
    const double tb = client != nullptr ? RtmpRtspClient::TimeBaseSeconds(client->AudioTimeBase()) : 0.0;
    if (!ip1_audio_queue.IsEnabled() || ip1_audio_queue.Size() >= kIp1QueueMaxItems) return;
    ip1_packet_item* item = make_item(data, size, 1, seconds_of(pts, tb), false, media_ms_of(dts, pts, tb));
    if (item != nullptr) ip1_audio_queue.Push(item);
}

// ---- pace tick (on the supervisor's event loop) ----

void ip1_pace_tick() { ip1_release_packet.store(true, std::memory_order_relaxed); }

// ---- life ----

void corvane_rtsp_rtmp_pull_ip1_init() {
    std::call_once(g_init_once, [] {
        ip1_nv12_buffer.store(new copy_buffer("ip1_nv12_buffer"), std::memory_order_release);
        ffmpeg_tool_ip1.store(new RtmpRtspClient(true), std::memory_order_release);
        ip1_video_queue.Init("ip1_video_queue");
        ip1_video_queue.SetFreeCallback(&ip1_video_item_free);
        ip1_audio_queue.Init("ip1_audio_queue");
        ip1_audio_queue.SetFreeCallback(&ip1_audio_item_free);
        g_initialised.store(true, std::memory_order_release);
    });
}

void corvane_rtsp_rtmp_pull_ip1_open(const std::string& url) {
    if (!g_initialised.load(std::memory_order_acquire)) {
        std::printf("corvane_rtsp_rtmp_pull_ip1_open fail...\r\n");
        return;
    }
    std::unique_lock<std::mutex> lock(g_state_mutex);
    // A supervisor that was told to stop is winding down: an open right after the stop (switching the input
    // off and on, or to another address) waits for it rather than being refused.
    if (ip1_supervisor_running.load(std::memory_order_acquire) &&
        stopped_since(g_supervisor_generation.load(std::memory_order_relaxed))) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kIp1OpenAfterStopWaitMs);
        while (ip1_supervisor_running.load(std::memory_order_acquire) &&
               std::chrono::steady_clock::now() < deadline) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            lock.lock();
        }
    }
    if (rtsp_rtmp_pull_ip1_working.load(std::memory_order_relaxed) ||
        ip1_supervisor_running.load(std::memory_order_acquire)) {
        std::printf("corvane_rtsp_rtmp_pull_ip1_open fail...\r\n");
        return;
    }
    g_url = url;
    g_open_sequence.fetch_add(1, std::memory_order_acq_rel);
    const uint32_t generation = ip1_stop_generation.load(std::memory_order_acquire);
    g_supervisor_generation.store(generation, std::memory_order_relaxed);
    ip1_supervisor_running.store(true, std::memory_order_release);
    if (!ip1_start_thread(&corvane_rtsp_rtmp_pull_ip1_start, generation_arg(generation),
                          "corvane_rtsp_rtmp_pull_ip1_start"))
        ip1_supervisor_running.store(false, std::memory_order_release);
}

void corvane_rtsp_rtmp_pull_ip1_stop() {
    std::printf("corvane_rtsp_rtmp_pull_ip1_stop\r\n");
    std::lock_guard<std::mutex> lock(g_state_mutex);
    ip1_stop_generation.fetch_add(1, std::memory_order_acq_rel);
    rtsp_rtmp_pull_ip1_working.store(false, std::memory_order_relaxed);
    ip1_width.store(0, std::memory_order_relaxed);
    ip1_height.store(0, std::memory_order_relaxed);
}

int get_rtsp_rtmp_pull_ip1_working() { return rtsp_rtmp_pull_ip1_working.load(std::memory_order_relaxed) ? 1 : 0; }

std::string get_ip1_input_format() {
    const int32_t width = ip1_width.load(std::memory_order_relaxed);
    const int32_t height = ip1_height.load(std::memory_order_relaxed);
    if (width == 0 || height == 0) return std::string();
    RtmpRtspClient* client = ffmpeg_tool_ip1.load(std::memory_order_acquire);
    const uint32_t fps = client != nullptr ? client->GetFps() : 0;
    return std::to_string(width) + "x" + std::to_string(height) + "@" + std::to_string(fps);
}

void* corvane_rtsp_rtmp_pull_ip1_start(void* arg) {
    const uint32_t generation = arg_generation(arg);
    // No other open is accepted while this supervisor runs, so this is the sequence of its own open.
    const uint32_t open_sequence = g_open_sequence.load(std::memory_order_acquire);
    const std::string url = ip1_url();
    RtmpRtspClient* client = ffmpeg_tool_ip1.load(std::memory_order_acquire);
    std::printf("corvane_rtsp_rtmp_pull_ip1_start start.... url_path_ip1=%s\r\n", url.c_str());
    bool reconnect_wish = false;
    bool retry_after_failure = false;
    m_ip1_pull_buffer_error.store(false, std::memory_order_relaxed);
    m_ip1_pull_reconnect_count.store(0, std::memory_order_relaxed);
    ip1_release_packet.store(false, std::memory_order_relaxed);
    ip1_edge_media_ms.store(kIp1NoMediaMs, std::memory_order_relaxed);
    ip1_newest_key_seq.store(0, std::memory_order_relaxed);
    ip1_audio_floor_ms.store(kIp1NoMediaMs, std::memory_order_relaxed);
    ip1_video_taken.store(false, std::memory_order_relaxed);
    ip1_last_video_time.store(kIp1NoTime, std::memory_order_relaxed);

    ip1_video_queue.Clear();
    ip1_video_queue.SetEnable(1);
    ip1_audio_queue.Clear();
    ip1_audio_queue.SetEnable(1);

    if (url.find("rtsp") != std::string::npos) {
        rtmp_rtsp_ip1_buffer_flag.store(kModeRtsp, std::memory_order_relaxed);
    } else if (url.find("rtmp") != std::string::npos) {
        rtmp_rtsp_ip1_buffer_flag.store(kModeRtmp, std::memory_order_relaxed);
    }
    std::printf("rtmp_rtsp_ip1_buffer_flag=%d\r\n", rtmp_rtsp_ip1_buffer_flag.load(std::memory_order_relaxed));

    {
        mnet::EventLoop loop(1);
        mnet::EventLoop* loop_ptr = &loop;
        const mnet::TimerId timer = loop.AddTimer(
            [loop_ptr] {
                loop_ptr->AddTriggerEvent(&ip1_pace_tick);
                return true;
            },
            kIp1PaceTickMs);

        ip1_video_started.store(false, std::memory_order_relaxed);
        client->SetName("ffmpeg_tool_ip1");
        // Installed before the reader starts, so the reader never sees them change.
        client->SetCallbacks(&ip1_video_packet_callback, &ip1_audio_packet_callback, nullptr);
        client->SetCancelTest([generation] { return stopped_since(generation); });
        const int opened = stopped_since(generation) ? -2 : client->Open(url);
        if (opened != 0) {
            std::printf("ffmpeg_tool_ip1->ffmpeg_init_free() rtsp_rtmp_pull_ip1_working=%d\r\n",
                        get_rtsp_rtmp_pull_ip1_working());
            if (opened == -1) client->ffmpeg_init_free();
            retry_after_failure = ip1_wait_unless_stopped(kIp1OpenRetryMs, generation);
        } else {
            bool up = false;
            {
                std::lock_guard<std::mutex> lock(g_state_mutex);
                if (!stopped_since(generation)) {
                    rtsp_rtmp_pull_ip1_working.store(true, std::memory_order_relaxed);
                    up = true;
                }
            }
            if (up) {
                start_media_thread(&task_vedio_ip1_run_pull, "task_vedio_ip1_run_pull");
                start_media_thread(&task_audio_ip1_run_pull, "task_audio_ip1_run_pull");
            }
            while (rtsp_rtmp_pull_ip1_working.load(std::memory_order_relaxed)) {
                ip1_wait_unless_stopped(kIp1SuperviseTickMs, generation);
                const int32_t ticks = m_ip1_pull_reconnect_count.fetch_add(1, std::memory_order_relaxed) + 1;
                if (ticks > kIp1StallTicks || m_ip1_pull_buffer_error.load(std::memory_order_relaxed)) {
                    m_ip1_pull_reconnect_count.store(0, std::memory_order_relaxed);
                    std::printf("m_ip1_pull_reconnect_count>300\r\n");
                    rtsp_rtmp_pull_ip1_working.store(false, std::memory_order_relaxed);
                    reconnect_wish = true;
                }
            }
            client->ffmpeg_rtmp_rtsp_uninit();
            while (client->IsReading()) std::this_thread::sleep_for(std::chrono::milliseconds(kReaderEndPollMs));
            // The decode thread releases the decoder and the picture ring: wait for it (and the audio thread)
            // before a new supervisor may make them again.
            while (g_media_threads.load(std::memory_order_acquire) > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(kReaderEndPollMs));
            ip1_video_queue.SetEnable(0);
            ip1_video_queue.Clear();
            ip1_audio_queue.SetEnable(0);
            ip1_audio_queue.Clear();
            std::printf("ffmpeg_tool_ip1 out...\r\n");
        }
        loop.RemoveTimer(timer);
    }
    std::printf("corvane_rtsp_rtmp_pull_ip1_start end....\r\n");
    ip1_supervisor_running.store(false, std::memory_order_release);

    if (retry_after_failure || (reconnect_wish && ip1_wait_unless_stopped(kIp1ReconnectMs, generation)))
        start_reconnect(generation, open_sequence);
    return nullptr;
}

void* task_ffmpeg_ip1_restart(void* arg) {
    const ReconnectTicket ticket = *static_cast<ReconnectTicket*>(arg);
    delete static_cast<ReconnectTicket*>(arg);
    std::printf("task_ffmpeg_ip1_restart start...\r\n");
    while (ip1_supervisor_running.load(std::memory_order_acquire) && !stopped_since(ticket.generation))
        std::this_thread::sleep_for(std::chrono::milliseconds(kIp1WaitStepMs));
    // Nothing to do after a stop, or when the input was opened anew in the meantime.
    if (ip1_wait_unless_stopped(kIp1RestartSettleMs, ticket.generation) &&
        g_open_sequence.load(std::memory_order_acquire) == ticket.open_sequence)
        corvane_rtsp_rtmp_pull_ip1_open(ip1_url());
    std::printf("task_ffmpeg_ip1_restart end...\r\n");
    return nullptr;
}

// ---- audio ----

namespace {

// RTMP mode: audio waits for the pictures of its second and is dropped when they are already past it.
// Returns false when the item is to be dropped.
bool rtmp_audio_gate(uint64_t item_time) {
    ip1_last_audio_time.store(item_time, std::memory_order_relaxed);
    if (item_time == kIp1NoTime) return true;
    for (;;) {
        const uint64_t video_time = ip1_last_video_time.load(std::memory_order_relaxed);
        if (video_time == kIp1NoTime || video_time == item_time) return true;
        if (video_time > item_time) return false;
        if (!rtsp_rtmp_pull_ip1_working.load(std::memory_order_relaxed)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kAudioPollMs));
    }
}

}  // namespace

void* task_audio_ip1_run_pull(void*) {
    std::printf("task_audio_ip1_run_pull start...\r\n");
    RtmpRtspClient* client = ffmpeg_tool_ip1.load(std::memory_order_acquire);
    uint8_t* pcm = new (std::nothrow) uint8_t[kIp1PcmBufferBytes];
    auto* decoder = new (std::nothrow) AAC2PCM();
    if (pcm != nullptr && decoder != nullptr && decoder->Open(5, 48000) == 0) {
        bool configured = false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        while (rtsp_rtmp_pull_ip1_working.load(std::memory_order_relaxed)) {
            void* raw = nullptr;
            // The sound waits for the first picture's packet: the decode thread first decides which of the
            // packets buffered while the stream was probed are too old to go on air.
            if (!ip1_video_taken.load(std::memory_order_acquire) || ip1_audio_queue.TryPop(&raw) == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(kAudioPollMs));
                continue;
            }
            auto* item = static_cast<ip1_packet_item*>(raw);
            const int64_t floor_ms = ip1_audio_floor_ms.load(std::memory_order_relaxed);
            if (floor_ms != kIp1NoMediaMs && item->media_ms != kIp1NoMediaMs && item->media_ms < floor_ms) {
                ip1_audio_item_free(&raw);  // the sound of pictures that were not put on air
                continue;
            }
            // Raw frames are decoded with the stream's own configuration, so a 44100 Hz or mono stream
            // plays at its real speed (it is converted to 48000 Hz stereo on the way in).
            if (!configured && client != nullptr) {
                const std::vector<uint8_t> config = client->AudioConfig();
                if (!config.empty())
                    configured = decoder->InitWithConfig(config.data(), static_cast<int>(config.size())) == 0;
            }
            bool decode = true;
            if (rtmp_rtsp_ip1_buffer_flag.load(std::memory_order_relaxed) == kModeRtmp)
                decode = rtmp_audio_gate(item->time);
            if (decode) {
                int length = 0;
                const int ret = decoder->Decode(item->bytes, item->size, pcm, kIp1PcmBufferBytes, &length);
                if (ret == 0 && length > 0) {
                    const int rate = static_cast<int>(decoder->GetSampleRate());
                    const int channels = decoder->GetChannels();
                    ip1_audio_rate.store(rate, std::memory_order_relaxed);
                    ip1_audio_channels.store(channels, std::memory_order_relaxed);
                    if (get_active_source() == kInputIp1) audio_net_streamer_push_pcm_s16(pcm, length, channels, rate);
                } else {
                    std::printf("ffmpeg_aac_pcm->convert2 error...\r\n");
                }
            }
            ip1_audio_item_free(&raw);
        }
    } else {
        std::printf("task_audio_ip1_run_pull: the AAC decoder could not be opened\r\n");
        // Keep the queue drained while the input works, so the pictures still flow.
        while (rtsp_rtmp_pull_ip1_working.load(std::memory_order_relaxed)) {
            void* raw = nullptr;
            if (ip1_audio_queue.TryPop(&raw) != 0) {
                ip1_audio_item_free(&raw);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(kAudioPollMs));
            }
        }
    }
    delete[] pcm;
    if (decoder != nullptr) {
        decoder->Close();
        delete decoder;
    }
    std::printf("task_audio_ip1_run_pull end...\r\n");
    ip1_media_thread_done();
    return nullptr;
}

void ip1_media_thread_done() { g_media_threads.fetch_sub(1, std::memory_order_acq_rel); }
