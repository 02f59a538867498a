// The H.264/H.265 decoder of the camera, the NDI source and the network stream: one codec context on one
// worker thread, driven through the put-packet / get-frame interface. A refused packet is put again every
// pacing interval (longer for bigger pictures) while the decoder runs; a change of picture size inside the
// stream is handled by the size-change handshake without reopening.
#pragma once

#include <atomic>
#include <memory>

#include "mpp_dec_context.h"
#include "video_codec.h"

// Byte limit of one access unit (the context's packet buffer).
constexpr int kH26xPacketBufferBytes = 10485760;

// Milliseconds between puts of a refused packet for a width x height stream: 4 up to 1920x1080, 8 above
// 2560x1440, 5 between.
int mpp_decode_pacing_ms(int width, int height);

class mpp_decode_Interface : public VideoCodec {
public:
    // Below this many queued packets CanReceive() is true.
    static constexpr int kReceiveLimit = 100;

    explicit mpp_decode_Interface(const DecoderParams* params);
    ~mpp_decode_Interface() override;

    // Stops the worker: it is joined, then every queued packet is freed.
    void Stop() override;
    void Close();

    // 1 chooses H.265, 0 H.264; called before Open().
    void SetH265(int h265) { h265_ = h265 != 0; }
    int IsH265() const { return h265_ ? 1 : 0; }

    int Open() override;
    int CloseDecoder() override;
    int Decode(MediaPacket* packet) override;
    int Receive(MediaPacket* packet, int flag) override;
    bool CanReceive() override;

    // Queues a copy of one access unit with its start codes (at most kH26xPacketBufferBytes); 1 when
    // queued. It does not consult CanReceive(): the caller applies its own limit.
    int PushPacket(int width, int height, int frame_rate, const uint8_t* bytes, int size);

    int Run() override;

    bool IsOpened() const { return opened_; }
    bool IsStarted() const { return started_.load(std::memory_order_relaxed) != 0; }
    int PacingMs() const { return pacing_ms_; }
    // The largest number of frame-buffer bytes held at once (known after CloseDecoder()).
    size_t MaxGroupUsage() const { return max_usage_; }
    const DecoderParams& params() const { return params_; }

    // The H.264/H.265 decoder made last, while it exists.
    static mpp_decode_Interface* Instance() { return instance_.load(std::memory_order_acquire); }

private:
    int mpi_dec_process(MppDecContext* context, MediaPacket* packet);
    void dump_mpp_frame_to_queue(MppFrame frame);

    static std::atomic<mpp_decode_Interface*> instance_;

    DecoderParams params_;
    MppDecContext context_;
    bool usable_ = false;
    std::unique_ptr<uint8_t[]> packet_buffer_;
    int context_count_ = 0;
    bool opened_ = false;
    int pacing_ms_ = 3;
    bool h265_ = false;
    std::atomic<uint8_t> started_{0};
    size_t max_usage_ = 0;
};

// Makes one on the heap.
mpp_decode_Interface* create_mpp_decode_interface(const DecoderParams* params);
