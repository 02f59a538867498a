// Common frame of the hardware video decoders: each is a worker (TaskBase) whose queue carries compressed
// frames (MediaPacket) and whose worker threads decode them on codec contexts, and a packet sink
// (Receive_handler). Decoded pictures leave through the decoder's DecodedFrameCallback.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "media_packet.h"
#include "receive_handler.h"
#include "task_base.h"

// Picture size and rate given to a decoder's constructor. The decoder keeps a copy.
struct DecoderParams {
    int32_t w;
    int32_t h;
    int32_t fps;
};

// A decoded picture: the bytes (codec memory, valid only during the call), their count, the strides and the
// format: a FourCC (kFourccNv12, kFourccNv16) from the MJPEG decoder, an output code (kDecodedNv12, ...)
// from the H.264/H.265 decoders. Called on a decoder worker, possibly on several workers at once.
using DecodedFrameCallback = void (*)(uint8_t* bytes, int size, int hor_stride, int ver_stride, uint32_t format);

// The V4L2-style code of a four-character format name.
constexpr uint32_t make_fourcc(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) | (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}
constexpr uint32_t kFourccNv12 = make_fourcc('N', 'V', '1', '2');
constexpr uint32_t kFourccNv16 = make_fourcc('N', 'V', '1', '6');

// Output codes of the H.264/H.265 decoders.
constexpr uint32_t kDecodedNv12 = 0;       // 8-bit 4:2:0 semi-planar, hor x ver x 3 / 2 bytes
constexpr uint32_t kDecodedNv12_10Bit = 1;  // 10-bit 4:2:0 semi-planar, the frame buffer's size
constexpr uint32_t kDecodedNv16 = 2;       // 8-bit 4:2:2 semi-planar, hor x ver x 2 bytes

// What a picture callback may learn of the picture it is handed, asked on the decoder worker that calls it:
// the number of the packet it came from (pictures of a decoder with several workers may arrive out of
// order; the higher number is the newer picture) and its real size, which the strides only bound. Zero
// outside a callback.
struct DecodedPictureInfo {
    int64_t sequence;
    int width;
    int height;
};
DecodedPictureInfo decoded_picture_info();
// Set by the decoders on the worker before they call the callback.
void set_decoded_picture_size(int width, int height);

class VideoCodec : public TaskBase, public Receive_handler {
public:
    VideoCodec() = default;
    ~VideoCodec() override = default;

    // Sets the codec contexts up and starts the workers; 1 when decoding can begin.
    virtual int Open() = 0;
    // Destroys the codec contexts; 1 when the decoder was open.
    virtual int CloseDecoder() = 0;
    // Decodes one packet on the calling worker's context; the caller frees the packet.
    virtual int Decode(MediaPacket* packet) = 0;
    virtual void SetNextHandler(Receive_handler* handler) { next_handler_ = handler; }
    // Takes ownership of the packet and queues it; 1.
    virtual int Receive(MediaPacket* packet, int flag) = 0;
    virtual bool CanReceive() = 0;

    int OnReceive(MediaPacket* packet, int flag) final { return Receive(packet, flag); }
    bool OnCanReceive() final { return CanReceive(); }

    Receive_handler* next_handler() const { return next_handler_; }
    // True while no worker holds a packet (the last queue wait timed out): the owner may close the decoder.
    bool IsIdle() const { return idle_.load(std::memory_order_relaxed) != 0; }

    // Stored by the owner; while empty, decoded pictures are discarded.
    std::atomic<DecodedFrameCallback> decoded_frame_callback{nullptr};

protected:
    static constexpr int kMaxWorkers = 4;

    // Copies bytes into a new packet, numbers it (1, 2, ... in posting order) and queues it through
    // Receive(); 1, or 0 (with a log line naming who) for missing bytes, a size of 0 or less or beyond
    // limit, or a failed allocation.
    int PostPacketCopy(const char* who, int width, int height, int frame_rate, const uint8_t* bytes, int size,
                       int limit);
    // Forgets the worker table; called before the workers start.
    void ResetWorkers();
    // The body of every worker: registers the thread, then decodes packets until the running flag drops.
    // stop_format gets the worker's kernel thread id.
    int RunWorkerLoop(const char* stop_format);
    // The calling thread's slot in the worker table, in order of registration, or -1.
    int WorkerIndex() const;
    // Stops and joins the workers, then frees what is still queued; remain_format gets that count.
    void StopWorkers(const char* remain_format);

    std::atomic<uint8_t> idle_{1};

private:
    Receive_handler* next_handler_ = nullptr;
    std::atomic<int64_t> next_sequence_{1};
    // GetMessage wait of the workers; short once they are told to stop.
    std::atomic<int> wait_ms_{100};
    std::atomic<int> worker_count_{0};
    std::atomic<pthread_t> workers_[kMaxWorkers] = {};
};
