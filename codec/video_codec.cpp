#include "video_codec.h"

#include <unistd.h>

#include <cstdio>

namespace {

// Queue wait of the workers once they are told to stop, and of the final drain.
constexpr int kStopWaitMs = 5;
// Pause after each packet, so a burst does not starve the other workers of the queue lock.
constexpr useconds_t kAfterPacketPauseUs = 10;

// The picture the calling worker is handing on.
thread_local DecodedPictureInfo t_picture = {0, 0, 0};

}  // namespace

DecodedPictureInfo decoded_picture_info() {
    return t_picture;
}

void set_decoded_picture_size(int width, int height) {
    t_picture.width = width;
    t_picture.height = height;
}

int VideoCodec::PostPacketCopy(const char* who, int width, int height, int frame_rate, const uint8_t* bytes,
                               int size, int limit) {
    if (bytes == nullptr || size <= 0 || size > limit) {
        std::printf("%s: packet of %d bytes refused (1 to %d bytes taken)\n", who, size, limit);
        return 0;
    }
    MediaPacket* packet = media_packet_new(width, height, frame_rate, bytes, size);
    if (packet == nullptr) {
        std::printf("%s: no memory for a packet of %d bytes, dropped\n", who, size);
        return 0;
    }
    packet->sequence = next_sequence_.fetch_add(1, std::memory_order_relaxed);
    return Receive(packet, 0);
}

void VideoCodec::ResetWorkers() {
    for (auto& worker : workers_) worker.store(pthread_t{}, std::memory_order_relaxed);
    worker_count_.store(0, std::memory_order_relaxed);
    wait_ms_.store(message_wait_ms, std::memory_order_relaxed);
}

int VideoCodec::WorkerIndex() const {
    const pthread_t self = pthread_self();
    const int count = worker_count_.load(std::memory_order_acquire);
    for (int i = 0; i < count && i < kMaxWorkers; ++i)
        if (pthread_equal(workers_[i].load(std::memory_order_acquire), self)) return i;
    return -1;
}

int VideoCodec::RunWorkerLoop(const char* stop_format) {
    const int tid = get_thread_id();
    // Slots in order of arrival; a worker's own lookups always see its own entry.
    const int slot = worker_count_.fetch_add(1, std::memory_order_acq_rel);
    if (slot < kMaxWorkers) workers_[slot].store(pthread_self(), std::memory_order_release);
    while (IsRunning()) {
        void* message = nullptr;
        if (GetMessage(&message, wait_ms_.load(std::memory_order_relaxed)) == 1) {
            idle_.store(0, std::memory_order_relaxed);
            auto* packet = static_cast<MediaPacket*>(message);
            t_picture = DecodedPictureInfo{packet != nullptr ? packet->sequence : 0, 0, 0};
            Decode(packet);
            t_picture = DecodedPictureInfo{0, 0, 0};
            media_packet_free(packet);
            usleep(kAfterPacketPauseUs);
        } else {
            idle_.store(1, std::memory_order_relaxed);
        }
    }
    std::printf(stop_format, tid);
    return 0;
}

void VideoCodec::StopWorkers(const char* remain_format) {
    TaskBase::Stop();
    wait_ms_.store(kStopWaitMs, std::memory_order_relaxed);
    JoinAll();
    ResetWorkers();
    std::printf(remain_format, GetQueueSize());
    void* message = nullptr;
    while (GetMessage(&message, kStopWaitMs) == 1) media_packet_free(static_cast<MediaPacket*>(message));
    idle_.store(1, std::memory_order_relaxed);
}
