// The USB camera's MJPEG decoder: four codec contexts on four worker threads take camera JPEGs from one
// queue, so consecutive pictures may be decoded on different workers, delivered out of order, and the
// callback may run on several workers at once. Pictures leave as "NV12" (4:2:0) or "NV16" (4:2:2) with
// strides aligned to 16.
#pragma once

#include <atomic>

#include "mpp_dec_context.h"
#include "video_codec.h"

class Decoder_MJPEG_MPP : public VideoCodec {
public:
    static constexpr int kContexts = 4;
    // Below this many queued packets CanReceive() is true.
    static constexpr int kReceiveLimit = 5;

    explicit Decoder_MJPEG_MPP(const DecoderParams* params);
    ~Decoder_MJPEG_MPP() override;

    // Stops the workers: they are joined, then every queued packet is freed.
    void Stop() override;
    void Close();

    int Open() override;
    int CloseDecoder() override;
    int Decode(MediaPacket* packet) override;
    int Receive(MediaPacket* packet, int flag) override;
    bool CanReceive() override;

    // Queues a copy of one camera JPEG (at most kMjpegPacketBufferBytes); 1 when queued. It does not
    // consult CanReceive(): the caller applies its own limit.
    int PushPacket(int width, int height, int frame_rate, const uint8_t* bytes, int size);

    int Run() override;

    bool IsOpened() const { return opened_; }
    int ContextCount() const { return context_count_; }
    // Workers started by Open(): one per usable context.
    int WorkerCount() const { return worker_contexts_; }
    bool ContextUsable(int index) const { return index >= 0 && index < kContexts && usable_[index]; }
    const DecoderParams& params() const { return params_; }

    // The MJPEG decoder of the process while one exists (the last one made).
    static Decoder_MJPEG_MPP* Instance() { return instance_.load(std::memory_order_acquire); }

private:
    // Decodes one packet on one context and hands the picture on.
    int mpi_dec_process(MppDecContext* context, MediaPacket* packet);
    void dump_mpp_frame_to_queue(MppFrame frame);

    static std::atomic<Decoder_MJPEG_MPP*> instance_;

    DecoderParams params_;
    MppDecContext contexts_[kContexts];
    bool usable_[kContexts] = {};
    int context_count_ = 0;
    // The context of each worker, in order of the workers' arrival: the usable ones.
    int worker_context_[kContexts] = {};
    int worker_contexts_ = 0;
    bool opened_ = false;
};

// Makes one on the heap.
Decoder_MJPEG_MPP* create_decoder_mjpeg_mpp(const DecoderParams* params);
