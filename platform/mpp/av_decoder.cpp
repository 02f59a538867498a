// Decoding over libavcodec with the device decoder's interfaces and output layouts.
#include "av_decoder.h"

#include <cstring>
#include <new>

#include "mpp_hook_state.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/pixdesc.h>
}

namespace mpp {

namespace {

const char* error_text(int err, char* text, size_t size) {
    av_strerror(err, text, size);
    return text;
}

void set_geometry(Frame* frame, const PictureLayout& layout) {
    frame->width = layout.width;
    frame->height = layout.height;
    frame->hor_stride = layout.hor_stride;
    frame->ver_stride = layout.ver_stride;
    frame->fmt = layout.fmt;
}

const char* format_name(int format) {
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(format));
    return name ? name : "unknown";
}

}  // namespace

AvDecoder::AvDecoder(MppCodingType coding) : coding_(coding) {}

AvDecoder::~AvDecoder() {
    drop_pending();
    avcodec_free_context(&context_);
    av_packet_free(&packet_);
    av_frame_free(&picture_);
}

MPP_RET AvDecoder::open() {
    AVCodecID id;
    switch (coding_) {
        case MPP_VIDEO_CodingMJPEG: id = AV_CODEC_ID_MJPEG; break;
        case MPP_VIDEO_CodingAVC: id = AV_CODEC_ID_H264; break;
        case MPP_VIDEO_CodingHEVC: id = AV_CODEC_ID_HEVC; break;
        default: mpp_err("decoder: coding %d is not supported", static_cast<int>(coding_)); return MPP_ERR_VALUE;
    }
    const AVCodec* codec = avcodec_find_decoder(id);
    packet_ = av_packet_alloc();
    picture_ = av_frame_alloc();
    context_ = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (!context_ || !packet_ || !picture_) return MPP_ERR_MALLOC;
    // Slice threads only: frame threads would hold pictures back by one frame per thread.
    context_->thread_type = FF_THREAD_SLICE;
    context_->thread_count = coding_ == MPP_VIDEO_CodingMJPEG ? 1 : 0;
    int err = avcodec_open2(context_, codec, nullptr);
    if (err < 0) {
        char text[64];
        mpp_err("decoder: libavcodec did not open (%s)", error_text(err, text, sizeof(text)));
        avcodec_free_context(&context_);
        return MPP_NOK;
    }
    return MPP_OK;
}

MPP_RET AvDecoder::send(const Packet& packet) {
    const uint8_t* payload = packet_payload(packet);
    if (av_new_packet(packet_, static_cast<int>(packet.length)) < 0) return MPP_ERR_MALLOC;
    std::memcpy(packet_->data, payload, packet.length);
    int err = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    if (err < 0) {
        char text[64];
        mpp_err("decoder: dropped a corrupt packet of %zu bytes (%s)", packet.length,
                error_text(err, text, sizeof(text)));
        return MPP_ERR_STREAM;
    }
    return MPP_OK;
}

// Checks a packet the caller hands over: its payload must lie within its bytes and not be too big.
static MPP_RET check_packet(const Packet& packet) {
    if (packet.length > 0 && !packet_payload(packet)) {
        mpp_err("decoder: refused a packet whose payload (%zu bytes) lies outside its %zu bytes", packet.length,
                packet.size);
        return MPP_ERR_VALUE;
    }
    if (packet.length > kMaxDecodePacketBytes) {
        mpp_err("decoder: refused a packet of %zu bytes (limit %zu)", packet.length, kMaxDecodePacketBytes);
        return MPP_ERR_VALUE;
    }
    return MPP_OK;
}

MPP_RET AvDecoder::decode_into(const Packet& packet, Frame* out) {
    if (!context_) return MPP_ERR_INIT;
    MPP_RET ret = check_packet(packet);
    if (ret != MPP_OK) return ret;
    if (packet.length == 0) {
        mpp_err("decoder: empty packet");
        return MPP_ERR_VALUE;
    }
    if (!out || !out->buffer) {
        mpp_err("decoder: no frame buffer attached to the task");
        return MPP_ERR_NULL_PTR;
    }
    input_packets_++;
    ret = send(packet);
    if (ret != MPP_OK) return ret;
    int err = avcodec_receive_frame(context_, picture_);
    if (err < 0) {
        char text[64];
        mpp_err("decoder: a packet of %zu bytes gave no picture (%s)", packet.length,
                error_text(err, text, sizeof(text)));
        return MPP_ERR_STREAM;
    }
    decoded_pictures_++;
    PictureLayout layout;
    bool known = picture_->width <= kMaxDecodeSize && picture_->height <= kMaxDecodeSize &&
                 layout_for(picture_->format, static_cast<uint32_t>(picture_->width),
                            static_cast<uint32_t>(picture_->height), MPP_STRIDE_ALIGN16, &layout);
    if (!known) {
        mpp_err("decoder: picture %dx%d in %s has no output layout here", picture_->width, picture_->height,
                format_name(picture_->format));
        av_frame_unref(picture_);
        return MPP_ERR_STREAM;
    }
    if (out->buffer->size < layout.size) {
        mpp_err("decoder: picture %ux%u needs %zu bytes, the attached buffer has %zu", layout.width, layout.height,
                layout.size, out->buffer->size);
        av_frame_unref(picture_);
        return MPP_ERR_VALUE;
    }
    write_picture(*picture_, layout, out->buffer->data);
    av_frame_unref(picture_);
    set_geometry(out, layout);
    out->info_change = 0;
    out->errinfo = 0;
    out->discard = 0;
    out->eos = packet.eos;
    output_frames_++;
    return MPP_OK;
}

void AvDecoder::collect_pictures() {
    for (;;) {
        AVFrame* picture = av_frame_alloc();
        if (!picture) return;
        if (avcodec_receive_frame(context_, picture) < 0) {
            av_frame_free(&picture);
            return;
        }
        decoded_pictures_++;
        pending_.push_back(picture);
        if (pending_.size() > kMaxHeldPictures) {
            mpp_err("decoder: more than %zu pictures waiting, the oldest is dropped", kMaxHeldPictures);
            av_frame_free(&pending_.front());
            pending_.pop_front();
        }
    }
}

MPP_RET AvDecoder::put_packet(const Packet& packet) {
    if (!context_) return MPP_ERR_INIT;
    if (pending_.size() >= kMaxPendingPictures) return MPP_ERR_BUFFER_FULL;
    MPP_RET ret = check_packet(packet);
    if (ret != MPP_OK) return ret;
    if (flushed_) {
        // A stream after the end of the last one.
        avcodec_flush_buffers(context_);
        flushed_ = false;
        eos_delivered_ = false;
    }
    input_packets_++;
    // A corrupt packet is consumed: it is logged and dropped, and decoding goes on with the next one.
    if (packet.length > 0 && send(packet) == MPP_OK) collect_pictures();
    if (packet.eos) {
        avcodec_send_packet(context_, nullptr);
        collect_pictures();
        flushed_ = true;
    }
    return MPP_OK;
}

MPP_RET AvDecoder::nothing_ready(MppFrame* out) const {
    *out = nullptr;
    return output_timeout_ms_ != 0 ? MPP_ERR_TIMEOUT : MPP_OK;
}

MPP_RET AvDecoder::get_frame(MppFrame* out) {
    *out = nullptr;
    if (!context_) return MPP_ERR_INIT;
    while (!pending_.empty()) {
        AVFrame* picture = pending_.front();
        PictureLayout layout;
        bool known = picture->width <= kMaxDecodeSize && picture->height <= kMaxDecodeSize &&
                     layout_for(picture->format, static_cast<uint32_t>(picture->width),
                                static_cast<uint32_t>(picture->height), hook_stride_policy(), &layout);
        if (!known) {
            mpp_err("decoder: picture %dx%d in %s has no output layout here, dropped", picture->width,
                    picture->height, format_name(picture->format));
            av_frame_free(&pending_.front());
            pending_.pop_front();
            continue;
        }
        if (!announced_valid_ || layout != announced_) {
            Frame* change = new (std::nothrow) Frame;
            if (!change) return MPP_ERR_MALLOC;
            announced_ = layout;
            announced_valid_ = true;
            acknowledged_ = false;
            set_geometry(change, layout);
            change->buf_size = layout.size;
            change->info_change = 1;
            *out = change;
            return MPP_OK;
        }
        if (!acknowledged_) return nothing_ready(out);
        if (!ext_group_ && !own_group_) own_group_ = std::make_shared<BufferGroup>();
        Buffer* buffer = take_buffer(ext_group_ ? ext_group_ : own_group_, layout.size);
        if (!buffer) return nothing_ready(out);  // every buffer of the group is held: wait for one
        Frame* frame = new (std::nothrow) Frame;
        if (!frame) {
            release_buffer(buffer);
            return MPP_ERR_MALLOC;
        }
        write_picture(*picture, layout, buffer->data);
        set_geometry(frame, layout);
        frame->buffer = buffer;
        frame->buf_size = buffer->size;
        bool damaged = picture->decode_error_flags != 0 || (picture->flags & AV_FRAME_FLAG_CORRUPT) != 0;
        frame->errinfo = damaged ? 1 : 0;
        frame->discard = damaged ? 1 : 0;
        av_frame_free(&pending_.front());
        pending_.pop_front();
        output_frames_++;
        *out = frame;
        return MPP_OK;
    }
    if (flushed_ && !eos_delivered_) {
        Frame* last = new (std::nothrow) Frame;
        if (!last) return MPP_ERR_MALLOC;
        set_geometry(last, announced_);
        last->eos = 1;
        eos_delivered_ = true;
        *out = last;
        return MPP_OK;
    }
    return nothing_ready(out);
}

MPP_RET AvDecoder::info_change_ready() {
    if (announced_valid_) acknowledged_ = true;
    return MPP_OK;
}

void AvDecoder::query(MppDecQueryCfg* out) const {
    if (!out->query_flag) return;
    out->input_packets = input_packets_;
    out->output_frames = output_frames_;
    out->decoded_frames = decoded_pictures_;
}

void AvDecoder::drop_pending() {
    for (AVFrame*& picture : pending_) av_frame_free(&picture);
    pending_.clear();
}

void AvDecoder::reset() {
    drop_pending();
    if (context_) avcodec_flush_buffers(context_);
    flushed_ = false;
    eos_delivered_ = false;
}

}  // namespace mpp
