#include "rtsp_stream.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "aac_source.h"
#include "h264_source.h"
#include "h265_source.h"
#include "media_session.h"
#include "media_source.h"
#include "rtsp_frame_item.h"
#include "rtsp_server.h"
#include "rtsp_serving_watch.h"
#include "rtsp_timeline.h"
#include "safe_queue.h"

namespace {

constexpr int kSupervisionTickMs = 100;
// The encoder's frame interval at 90 kHz (30 frames per second).
constexpr uint32_t kVideoFrameTicks = 90000 / 30;
// One AAC frame (1024 samples), and how far the sound's timeline may stray from the clock before it is set
// back to it: beyond the jitter of the sound path, well within what keeps sound and pictures together.
constexpr uint32_t kAudioFrameTicks = 1024;
constexpr uint32_t kAudioClockToleranceTicks = 48000 * 60 / 1000;

SafeQueue g_main_video_queue;
SafeQueue g_sub_video_queue;
SafeQueue g_main_audio_queue;
SafeQueue g_sub_audio_queue;
std::once_flag g_queues_once;

std::atomic<int> g_run{0};
std::atomic<int> g_restart{0};
std::atomic<int> g_error_main{0};
std::atomic<int> g_error_sub{0};
std::atomic<int> g_main_enabled{0};
std::atomic<int> g_sub_enabled{0};
std::atomic<int> g_h265{0};
std::atomic<uint64_t> g_rejected_frames{0};

// One run at a time: a run holds it from start to the end of its teardown.
std::mutex g_run_mutex;

// What the senders of one run share; they never outlive it.
struct RunContext {
    std::shared_ptr<mnet::RtspServer> server;
    uint32_t session_id = 0;
    std::atomic<bool> senders_run{true};
    // For the serving watch (steady-clock ms, 0 for never or not now).
    std::atomic<int64_t> video_busy_since_ms{0};
    std::atomic<int64_t> audio_busy_since_ms{0};
    std::atomic<int64_t> last_frame_in_ms{0};
};

// Hands one frame to the server, marking the sender busy meanwhile so that the watch sees a sender stuck in
// it.
void HandOver(RunContext& ctx, std::atomic<int64_t>& busy_since, mnet::MediaChannelId channel, mnet::AVFrame frame) {
    const int64_t now = mnet::SteadyClockMs();
    busy_since.store(now, std::memory_order_relaxed);
    ctx.last_frame_in_ms.store(now, std::memory_order_relaxed);
    ctx.server->PushFrame(ctx.session_id, channel, std::move(frame));
    busy_since.store(0, std::memory_order_relaxed);
}

SafeQueue* AllQueues[] = {&g_main_video_queue, &g_sub_video_queue, &g_main_audio_queue, &g_sub_audio_queue};

void InitQueues() {
    std::call_once(g_queues_once, []() {
        g_main_video_queue.Init("rtsp main video");
        g_sub_video_queue.Init("rtsp sub video");
        g_main_audio_queue.Init("rtsp main audio");
        g_sub_audio_queue.Init("rtsp sub audio");
        g_main_video_queue.SetFreeCallback(rtsp_frame_item_free);
        g_sub_video_queue.SetFreeCallback(rtsp_frame_item_free_sub_video);
        g_main_audio_queue.SetFreeCallback(rtsp_frame_item_free_main_audio);
        g_sub_audio_queue.SetFreeCallback(rtsp_frame_item_free_sub_audio);
    });
}

void CountRejected(const char* what, uint32_t size) {
    uint64_t count = g_rejected_frames.fetch_add(1, std::memory_order_relaxed) + 1;
    if (count == 1 || count % 1000 == 0) {
        printf("rtsp: %s of %u bytes refused (%llu refused so far)\n", what, size,
               static_cast<unsigned long long>(count));
    }
}

void PushVideo(SafeQueue& queue, const std::atomic<int>& enabled, const uint8_t* data, uint32_t size, uint16_t width,
               uint16_t height) {
    if (!enabled.load(std::memory_order_relaxed) || !g_run.load(std::memory_order_relaxed)) return;
    if (queue.Size() >= kRtspVideoQueueLimit) return;
    if (data == nullptr || size < kRtspMinVideoFrameBytes || size > kRtspMaxVideoFrameBytes) {
        CountRejected("video access unit", size);
        return;
    }
    RtspFrameItem* item = rtsp_frame_item_new(kRtspFrameVideo, data, size, width, height);
    if (item == nullptr) return;
    item->taken = g_h265.load(std::memory_order_relaxed) ? mnet::H265Source::GetTimestamp()
                                                         : mnet::H264Source::GetTimestamp();
    queue.Push(item);
}

void PushAudio(SafeQueue& queue, const std::atomic<int>& enabled, const uint8_t* data, uint32_t size) {
    if (!enabled.load(std::memory_order_relaxed) || !g_run.load(std::memory_order_relaxed)) return;
    if (queue.Size() >= kRtspAudioQueueLimit) return;
    if (data == nullptr || size == 0 || size + 7 > kRtspMaxAdtsFrameBytes) {
        CountRejected("AAC frame", size);
        return;
    }
    RtspFrameItem* item = rtsp_frame_item_new(kRtspFrameAudio, data, size, 0, 0);
    if (item == nullptr) return;
    item->taken = mnet::AACSource::GetTimestamp(48000);
    queue.Push(item);
}

// Takes the next item; nullptr once the run ends. The wait is the queue's own: disabling the queue at the
// end of the run wakes it.
RtspFrameItem* NextItem(SafeQueue& queue, const RunContext& ctx) {
    while (ctx.senders_run.load(std::memory_order_relaxed)) {
        void* item = nullptr;
        if (queue.WaitPop(&item) && item != nullptr) {
            if (ctx.senders_run.load(std::memory_order_relaxed)) return static_cast<RtspFrameItem*>(item);
            rtsp_frame_item_free(&item);
            return nullptr;
        }
        // A disabled queue answers at once; do not spin while the run is ending.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return nullptr;
}

void SendVideo(SafeQueue& queue, std::shared_ptr<RunContext> ctx) {
    RtspTimeline timeline;
    while (RtspFrameItem* item = NextItem(queue, *ctx)) {
        mnet::AVFrame frame(item->size);
        memcpy(frame.buffer.get(), item->data, item->size);
        frame.type = rtsp_video_frame_type(item->data);
        frame.timestamp = rtsp_timeline_video(&timeline, item->taken, kVideoFrameTicks);
        HandOver(*ctx, ctx->video_busy_since_ms, mnet::channel_0, std::move(frame));
        void* done = item;
        rtsp_frame_item_free(&done);
    }
}

void SendAudio(SafeQueue& queue, std::shared_ptr<RunContext> ctx) {
    RtspTimeline timeline;
    while (RtspFrameItem* item = NextItem(queue, *ctx)) {
        const uint32_t length = item->size + 7;
        mnet::AVFrame frame(length);
        adts_header_write(frame.buffer.get(), length);
        memcpy(frame.buffer.get() + 7, item->data, item->size);
        frame.type = mnet::AUDIO_FRAME;
        frame.timestamp =
            rtsp_timeline_audio(&timeline, item->taken, kAudioFrameTicks, kAudioClockToleranceTicks);
        HandOver(*ctx, ctx->audio_busy_since_ms, mnet::channel_1, std::move(frame));
        void* done = item;
        rtsp_frame_item_free(&done);
    }
}

// The sender thread bodies, one per queue. No sub-stream session exists, so the sub senders are never started.
void rtsp_send_main_video(std::shared_ptr<RunContext> ctx) { SendVideo(g_main_video_queue, std::move(ctx)); }
void rtsp_send_main_audio(std::shared_ptr<RunContext> ctx) { SendAudio(g_main_audio_queue, std::move(ctx)); }
[[maybe_unused]] void rtsp_send_sub_video(std::shared_ptr<RunContext> ctx) {
    SendVideo(g_sub_video_queue, std::move(ctx));
}
[[maybe_unused]] void rtsp_send_sub_audio(std::shared_ptr<RunContext> ctx) {
    SendAudio(g_sub_audio_queue, std::move(ctx));
}

void SetQueuesEnabled(int enabled) {
    for (SafeQueue* queue : AllQueues) {
        queue->SetEnable(enabled);
        queue->Clear();
    }
}

// One supervision tick of an error flag: it lives for two ticks after it was raised.
void TickErrorFlag(std::atomic<int>& flag, int& count, const char* message) {
    if (flag.load(std::memory_order_relaxed)) {
        if (++count > 1) {
            flag.store(0, std::memory_order_relaxed);
            count = 0;
            printf("%s", message);
        }
    } else {
        count = 0;
    }
}

}  // namespace

int rtsp_server_run(const char* main_name, const char* sub_name, int main_enable, int sub_enable) {
    return rtsp_server_run_on_port(kRtspServerPort, main_name, sub_name, main_enable, sub_enable);
}

int rtsp_server_run_on_port(uint16_t port, const char* main_name, const char* sub_name, int main_enable,
                            int sub_enable) {
    (void)sub_name;  // no session is made for the sub stream
    std::lock_guard<std::mutex> run_lock(g_run_mutex);
    InitQueues();
    SetQueuesEnabled(1);

    g_run.store(1);
    g_main_enabled.store(main_enable);
    g_sub_enabled.store(sub_enable);
    rtsp_server_set_h265(0);
    printf("main_start=%d sub_start=%d H265=%d\r\n", main_enable, sub_enable, rtsp_server_get_h265());

    const std::string main_suffix = std::string("live/") + (main_name != nullptr ? main_name : "");
    const std::string play_url = "rtsp://127.0.0.1:" + std::to_string(port) + "/" + main_suffix;

    auto loop = std::make_shared<mnet::EventLoop>(1);
    auto server = mnet::RtspServer::Create(loop.get());
    if (!server->Start("0.0.0.0", port)) {
        printf("RTSP Server listen on %u failed.\n", static_cast<unsigned>(port));
        g_run.store(0);
        SetQueuesEnabled(0);
        // Nothing else would ever start the server again: let the watchdog retry.
        rtsp_server_set_restart(1);
        server.reset();
        loop.reset();
        return 0;
    }

    auto session = mnet::MediaSession::Create(main_suffix);
    if (rtsp_server_get_h265()) {
        session->AddSource(mnet::channel_0, mnet::H265Source::Create(60));
    } else {
        session->AddSource(mnet::channel_0, mnet::H264Source::Create(60));
    }
    session->AddSource(mnet::channel_1, mnet::AACSource::Create(48000, 2, true));
    session->AddNotifyConnectedCallback(
        [](uint32_t, std::string ip, uint16_t peer_port) { rtsp_main_client_connected(ip.c_str(), peer_port); });
    session->AddNotifyDisconnectedCallback(
        [](uint32_t, std::string ip, uint16_t peer_port) { rtsp_main_client_disconnected(ip.c_str(), peer_port); });

    auto ctx = std::make_shared<RunContext>();
    ctx->server = server;
    ctx->session_id = server->AddSession(session);

    std::thread video_sender(rtsp_send_main_video, ctx);
    std::thread audio_sender(rtsp_send_main_audio, ctx);

    printf("11111111 Play URL_url_main:%s\r\n", play_url.c_str());

    int main_ticks = 0;
    int sub_ticks = 0;
    RtspServingWatch watch;
    bool restart_asked = false;
    while (g_run.load(std::memory_order_relaxed)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kSupervisionTickMs));
        TickErrorFlag(g_error_main, main_ticks, "rtsp_server_error_main_flag = false\r");
        TickErrorFlag(g_error_sub, sub_ticks, "rtsp_server_error_sub_flag = false\r");
        if (restart_asked) continue;
        RtspServingSample sample;
        sample.now_ms = mnet::SteadyClockMs();
        sample.listening = server->IsListening();
        sample.video_sender_busy_since_ms = ctx->video_busy_since_ms.load(std::memory_order_relaxed);
        sample.audio_sender_busy_since_ms = ctx->audio_busy_since_ms.load(std::memory_order_relaxed);
        sample.playing_players = session->GetPlayingClientCount();
        sample.last_frame_in_ms = ctx->last_frame_in_ms.load(std::memory_order_relaxed);
        sample.last_frame_out_ms = session->LastFrameDeliveredMs();
        RtspServingFault fault = watch.Check(sample);
        if (fault != RtspServingFault::kNone) {
            // Only a server that has stopped serving is restarted; the watchdog does it.
            printf("rtsp server not serving (%s): restart requested\r\n", rtsp_serving_fault_text(fault));
            rtsp_server_set_restart(1);
            restart_asked = true;
        }
    }

    printf("rtsp server exit start...\r");
    // The senders leave first (disabling the queues wakes them), so nothing uses the server once it goes.
    ctx->senders_run.store(false);
    SetQueuesEnabled(0);
    video_sender.join();
    audio_sender.join();

    server->Stop();
    session->RemoveSource(mnet::channel_0);
    session->RemoveSource(mnet::channel_1);
    server->RemoveSession(ctx->session_id);
    session.reset();
    SetQueuesEnabled(0);
    printf("rtsp server exit end...");
    ctx->server.reset();
    server.reset();
    loop.reset();
    return 0;
}

void rtsp_push_main_video(const uint8_t* data, uint32_t size, uint16_t width, uint16_t height) {
    PushVideo(g_main_video_queue, g_main_enabled, data, size, width, height);
}

void rtsp_push_sub_video(const uint8_t* data, uint32_t size, uint16_t width, uint16_t height) {
    PushVideo(g_sub_video_queue, g_sub_enabled, data, size, width, height);
}

void rtsp_push_main_audio(const uint8_t* data, uint32_t size) {
    PushAudio(g_main_audio_queue, g_main_enabled, data, size);
}

void rtsp_push_sub_audio(const uint8_t* data, uint32_t size) {
    PushAudio(g_sub_audio_queue, g_sub_enabled, data, size);
}

void rtsp_server_stop() {
    g_run.store(0);
}
int rtsp_server_is_running() {
    return g_run.load(std::memory_order_relaxed);
}
void rtsp_server_set_restart(int value) {
    g_restart.store(value, std::memory_order_relaxed);
}
int rtsp_server_get_restart() {
    return g_restart.load(std::memory_order_relaxed);
}
void rtsp_server_set_h265(int value) {
    g_h265.store(value, std::memory_order_relaxed);
}
int rtsp_server_get_h265() {
    return g_h265.load(std::memory_order_relaxed);
}

void rtsp_main_client_connected(const char* ip, uint16_t port) {
    printf("RTSP MAIN client connect, ip=%s, port=%hu \n", ip, port);
    g_error_main.store(1, std::memory_order_relaxed);
}

// A client that leaves right after joining (a port scanner, a health check, a player giving up) is no fault
// of the server: the serving watch alone asks for restarts.
void rtsp_main_client_disconnected(const char* ip, uint16_t port) {
    printf("RTSP MAIN client disconnect, ip=%s, port=%hu \n", ip, port);
}

int32_t rtsp_main_video_queue_size() {
    return g_main_video_queue.Size();
}
int32_t rtsp_main_audio_queue_size() {
    return g_main_audio_queue.Size();
}
uint64_t rtsp_rejected_frame_count() {
    return g_rejected_frames.load(std::memory_order_relaxed);
}
