#include "mpp_decode_interface.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

// Picture areas of the pacing steps: 1920x1080 and 2560x1440.
constexpr int64_t kPacingAreaSmall = 1920 * 1080;
constexpr int64_t kPacingAreaLarge = 2560 * 1440;

}  // namespace

int mpp_decode_pacing_ms(int width, int height) {
    const int64_t area = static_cast<int64_t>(width) * height;
    if (area <= kPacingAreaSmall) return 4;
    if (area > kPacingAreaLarge) return 8;
    return 5;
}

std::atomic<mpp_decode_Interface*> mpp_decode_Interface::instance_{nullptr};

mpp_decode_Interface::mpp_decode_Interface(const DecoderParams* params)
    : params_(params != nullptr ? *params : DecoderParams{0, 0, 0}) {
    instance_.store(this, std::memory_order_release);
    std::printf("Decoder_H264_MPP...w=%d h=%d f=%d\n", params_.w, params_.h, params_.fps);
}

mpp_decode_Interface::~mpp_decode_Interface() {
    Close();
    if (opened_) CloseDecoder();
    opened_ = false;
    mpp_decode_Interface* self = this;
    instance_.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
    started_.store(0, std::memory_order_relaxed);
    std::printf("~mpp_decode_Interface(void)\n");
}

void mpp_decode_Interface::Stop() {
    StopWorkers("h264 mpp close remain avpacket queue :%d\n");
}

void mpp_decode_Interface::Close() {
    Stop();
}

int mpp_decode_Interface::Open() {
    if (opened_) return 1;
    std::printf("h264 mpp decoder open\n");
    context_count_ = 1;
    MppDecCommand cmd;
    cmd.format = MPP_FMT_BUTT;
    cmd.packet_size = 4096;
    cmd.width = params_.w;
    cmd.height = params_.h;
    cmd.type = h265_ ? MPP_VIDEO_CodingHEVC : MPP_VIDEO_CodingAVC;
    pacing_ms_ = mpp_decode_pacing_ms(params_.w, params_.h);
    std::printf("mpp h264 decode sleep time : %d\n", pacing_ms_);
    std::printf("cmd parse result:\nwidth      : %4d\nheight     : %4d\ntype       : %d\nmax frames : %d\n",
                cmd.width, cmd.height, static_cast<int>(cmd.type), cmd.max_frames);
    cmd.simple = 1;
    std::printf("simple : %d\n", cmd.simple);
    std::printf("mpi_dec start W=%d H=%d\n", cmd.width, cmd.height);
    usable_ = mpi_dec_decode(&context_, cmd) == MPP_OK;
    if (usable_) {
        packet_buffer_.reset(new (std::nothrow) uint8_t[kH26xPacketBufferBytes]);
        if (!packet_buffer_) {
            std::printf("h264 mpp decoder: no memory for the packet buffer\n");
            mpi_dec_destroy(&context_);
            usable_ = false;
        }
    }
    if (!usable_) {
        std::printf("h264 mpp decoder open faild\n");
        opened_ = false;
        return 0;
    }
    std::printf("h264 mpp decoder open succeed\n");
    ResetWorkers();
    Start(1);
    opened_ = true;
    return 1;
}

int mpp_decode_Interface::CloseDecoder() {
    if (!opened_) return 0;
    // The context belongs to the worker while it runs.
    Close();
    std::printf("h264 mpp decoder close\n");
    const size_t usage = mpi_dec_destroy(&context_);
    if (usage > max_usage_) max_usage_ = usage;
    usable_ = false;
    packet_buffer_.reset();
    std::printf("h264 mpp decoder close succeed\n");
    opened_ = false;
    return 1;
}

int mpp_decode_Interface::Decode(MediaPacket* packet) {
    if (WorkerIndex() != 0 || !usable_) {
        std::printf("mpp_decode_Interface: no usable context for this thread, packet dropped\n");
        return 0;
    }
    mpi_dec_process(&context_, packet);
    return 0;
}

int mpp_decode_Interface::Receive(MediaPacket* packet, int /*flag*/) {
    PostMessage(packet);
    return 1;
}

bool mpp_decode_Interface::CanReceive() {
    return GetQueueSize() < kReceiveLimit;
}

int mpp_decode_Interface::PushPacket(int width, int height, int frame_rate, const uint8_t* bytes, int size) {
    return PostPacketCopy("mpp_decode_Interface", width, height, frame_rate, bytes, size, kH26xPacketBufferBytes);
}

int mpp_decode_Interface::Run() {
    started_.store(1, std::memory_order_relaxed);
    return RunWorkerLoop("Decoder_H264_MPP %d normal stop!\n");
}

int mpp_decode_Interface::mpi_dec_process(MppDecContext* c, MediaPacket* packet) {
    if (packet == nullptr) return MPP_NOK;
    const int length = packet->size[0];
    if (packet->data[0] == nullptr || length <= 0 || length > kH26xPacketBufferBytes) {
        std::printf("%p packet of %d bytes refused (the packet buffer holds %d)\n", c->ctx, length,
                    kH26xPacketBufferBytes);
        return MPP_ERR_VALUE;
    }
    uint8_t* buffer = packet_buffer_.get();
    std::memcpy(buffer, packet->data[0], static_cast<size_t>(length));
    mpp_packet_set_data(c->packet, buffer);
    if (mpp_packet_get_size(c->packet) < static_cast<size_t>(length))
        mpp_packet_set_size(c->packet, static_cast<size_t>(length));
    mpp_packet_set_pos(c->packet, buffer);
    mpp_packet_set_length(c->packet, static_cast<size_t>(length));

    MppDecDrain drain;
    drain.keep_going = [this] { return IsRunning(); };
    drain.retry_ms = pacing_ms_;
    drain.on_picture = [this, c](MppFrame frame) {
        if (mpp_frame_get_errinfo(frame) == 0) dump_mpp_frame_to_queue(frame);
        if (c->max_frames > 0 && c->frame_count >= static_cast<uint32_t>(c->max_frames)) {
            std::printf("%p reach max frame number %u\n", c->ctx, c->frame_count);
            return false;
        }
        return true;
    };
    return mpp_dec_put_and_drain(c, drain);
}

void mpp_decode_Interface::dump_mpp_frame_to_queue(MppFrame frame) {
    if (mpp_frame_get_buffer(frame) == nullptr) {
        std::printf("mpp dec frame get buffer faild\n");
        return;
    }
    const MppFrameFormat format = mpp_frame_get_fmt(frame);
    size_t size;
    uint32_t code;
    switch (format) {
        case MPP_FMT_YUV420SP:
            size = mpp_dec_semi_planar_bytes(frame);
            code = kDecodedNv12;
            break;
        case MPP_FMT_YUV420SP_10BIT:
            size = mpp_frame_get_buf_size(frame);
            code = kDecodedNv12_10Bit;
            break;
        case MPP_FMT_YUV422SP:
            size = mpp_dec_semi_planar_bytes(frame);
            code = kDecodedNv16;
            break;
        case MPP_FMT_YUV420P: return;
        default: std::printf("not supported format %d\n", static_cast<int>(format)); return;
    }
    mpp_dec_deliver(decoded_frame_callback.load(std::memory_order_acquire), frame, size, code);
}

mpp_decode_Interface* create_mpp_decode_interface(const DecoderParams* params) {
    return new mpp_decode_Interface(params);
}
