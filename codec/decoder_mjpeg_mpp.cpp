#include "decoder_mjpeg_mpp.h"

#include <cstdio>

namespace {

// The frame buffer holds align16(w) x align16(h) x this many bytes: room for any layout the decoder gives.
constexpr int kFrameBufferFactor = 4;

}  // namespace

std::atomic<Decoder_MJPEG_MPP*> Decoder_MJPEG_MPP::instance_{nullptr};

Decoder_MJPEG_MPP::Decoder_MJPEG_MPP(const DecoderParams* params)
    : params_(params != nullptr ? *params : DecoderParams{0, 0, 0}) {
    std::printf("W=%d H=%d fps=%d\r\n", params_.w, params_.h, params_.fps);
    instance_.store(this, std::memory_order_release);
}

Decoder_MJPEG_MPP::~Decoder_MJPEG_MPP() {
    std::printf("~Decoder_MJPEG_MPP\r\n");
    Close();
    if (opened_) CloseDecoder();
    opened_ = false;
    Decoder_MJPEG_MPP* self = this;
    instance_.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

void Decoder_MJPEG_MPP::Stop() {
    StopWorkers("mjpeg mpp close remain avpacket queue :%d\r\n");
}

void Decoder_MJPEG_MPP::Close() {
    Stop();
}

int Decoder_MJPEG_MPP::Open() {
    if (opened_) return 1;
    std::printf("mjpeg mpp decoder open\r\n");
    context_count_ = kContexts;
    worker_contexts_ = 0;
    for (int i = 0; i < kContexts; ++i) {
        MppDecCommand cmd;
        cmd.format = MPP_FMT_BUTT;
        cmd.packet_size = 4096;
        cmd.width = params_.w;
        cmd.height = params_.h;
        cmd.type = MPP_VIDEO_CodingMJPEG;
        cmd.simple = 0;
        cmd.frame_buffer_size = mpp_dec_task_frame_bytes(params_.w, params_.h, kFrameBufferFactor);
        cmd.packet_buffer_size = kMjpegPacketBufferBytes;
        std::printf("cmd parse result:\nwidth      : %4d\nheight     : %4d\ntype       : %d\nmax frames : %d\n",
                    cmd.width, cmd.height, static_cast<int>(cmd.type), cmd.max_frames);
        std::printf("mpi_dec start\n");
        usable_[i] = mpi_dec_decode(&contexts_[i], cmd) == MPP_OK;
        if (usable_[i]) worker_context_[worker_contexts_++] = i;
    }
    if (worker_contexts_ == 0) {
        std::printf("mjpeg mpp decoder open faild\r\n");
        opened_ = false;
        return 0;
    }
    std::printf("mjpeg mpp decoder open succeed\r\n");
    // One worker per usable context: a worker without one would drop every packet it takes.
    ResetWorkers();
    Start(worker_contexts_);
    opened_ = true;
    return 1;
}

int Decoder_MJPEG_MPP::CloseDecoder() {
    if (!opened_) return 0;
    // The contexts belong to the workers while they run.
    Close();
    std::printf("mjpeg mpp decoder close\r\n");
    for (int i = 0; i < kContexts; ++i) {
        mpi_dec_destroy(&contexts_[i]);
        usable_[i] = false;
    }
    worker_contexts_ = 0;
    std::printf("mjpeg mpp decoder close succeed\r\n");
    opened_ = false;
    return 1;
}

int Decoder_MJPEG_MPP::Decode(MediaPacket* packet) {
    const int worker = WorkerIndex();
    if (worker < 0 || worker >= worker_contexts_ || !usable_[worker_context_[worker]]) {
        std::printf("Decoder_MJPEG_MPP: no usable context for this worker, packet dropped\n");
        return 0;
    }
    mpi_dec_process(&contexts_[worker_context_[worker]], packet);
    return 0;
}

int Decoder_MJPEG_MPP::Receive(MediaPacket* packet, int /*flag*/) {
    PostMessage(packet);
    return 1;
}

bool Decoder_MJPEG_MPP::CanReceive() {
    return GetQueueSize() < kReceiveLimit;
}

int Decoder_MJPEG_MPP::PushPacket(int width, int height, int frame_rate, const uint8_t* bytes, int size) {
    return PostPacketCopy("Decoder_MJPEG_MPP", width, height, frame_rate, bytes, size,
                          static_cast<int>(kMjpegPacketBufferBytes));
}

int Decoder_MJPEG_MPP::Run() {
    return RunWorkerLoop("Decoder_MJPEG_MPP %d normal stop!\r\n");
}

int Decoder_MJPEG_MPP::mpi_dec_process(MppDecContext* context, MediaPacket* packet) {
    if (packet == nullptr || packet->data[0] == nullptr || packet->size[0] <= 0) return MPP_NOK;
    return mpp_dec_task_decode(context, packet->data[0], static_cast<size_t>(packet->size[0]),
                               [this](MppFrame frame) { dump_mpp_frame_to_queue(frame); });
}

void Decoder_MJPEG_MPP::dump_mpp_frame_to_queue(MppFrame frame) {
    if (mpp_frame_get_buffer(frame) == nullptr) {
        std::printf("22 mpp dec frame get buffer faild\n");
        return;
    }
    // A planar 4:2:0 picture (MPP_FMT_YUV420P) is not NV12: passing it on as "NV12" would scramble its
    // colours, so it is refused like any other layout the consumers cannot read.
    const MppFrameFormat format = mpp_frame_get_fmt(frame);
    if (format != MPP_FMT_YUV420SP && format != MPP_FMT_YUV422SP) {
        std::printf("not supported format %d\n", static_cast<int>(format));
        return;
    }
    mpp_dec_deliver(decoded_frame_callback.load(std::memory_order_acquire), frame, mpp_dec_semi_planar_bytes(frame),
                    format == MPP_FMT_YUV420SP ? kFourccNv12 : kFourccNv16);
}

Decoder_MJPEG_MPP* create_decoder_mjpeg_mpp(const DecoderParams* params) {
    return new Decoder_MJPEG_MPP(params);
}
