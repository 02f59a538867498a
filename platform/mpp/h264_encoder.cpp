// H.264 encoding over libx264 with the device encoder's behaviour: one access unit per frame, in-band
// parameter sets on every key frame, key frames every GOP and on request.
#include "h264_encoder.h"

#include <cstdio>
#include <cstring>

#include "annexb.h"
#include "mpp_enc_cfg.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

namespace mpp {

namespace {

// libx264 speed preset: fast enough for 1080p30 on a small PC, the quality a hardware encoder gives.
constexpr const char* kPreset = "veryfast";
constexpr int kMaxGop = 65535;
constexpr int kMaxQp = 51;

const char* profile_name(int32_t profile) {
    switch (profile) {
        case 66: return "baseline";
        case 77: return "main";
        default: return "high";
    }
}

bool in_range(int32_t value, int32_t low, int32_t high) { return value >= low && value <= high; }

}  // namespace

H264Encoder::H264Encoder() : picture_(av_frame_alloc()), packet_(av_packet_alloc()) {}

H264Encoder::~H264Encoder() {
    close_context();
    av_frame_free(&picture_);
    av_packet_free(&packet_);
}

void H264Encoder::close_context() {
    avcodec_free_context(&context_);
    av_frame_unref(picture_);
}

void H264Encoder::reset() {
    close_context();
    pts_ = 0;
    force_idr_ = false;
}

MPP_RET H264Encoder::check_settings(const EncoderSettings& s) const {
    if (!in_range(s.width, kMinEncodeSize, kMaxEncodeSize) || !in_range(s.height, kMinEncodeSize, kMaxEncodeSize) ||
        s.width % 2 != 0 || s.height % 2 != 0) {
        mpp_err("encoder: refused picture size %dx%d (even, %d to %d)", s.width, s.height, kMinEncodeSize,
                kMaxEncodeSize);
        return MPP_ERR_VALUE;
    }
    if (s.hor_stride < s.width || s.ver_stride < s.height || s.hor_stride > kMaxEncodeSize * 2 ||
        s.ver_stride > kMaxEncodeSize * 2) {
        mpp_err("encoder: refused strides %dx%d for %dx%d", s.hor_stride, s.ver_stride, s.width, s.height);
        return MPP_ERR_VALUE;
    }
    if (s.format != MPP_FMT_YUV420SP && s.format != MPP_FMT_YUV420P) {
        mpp_err("encoder: input format 0x%x is not supported (NV12 and I420 are)", static_cast<unsigned>(s.format));
        return MPP_ERR_VALUE;
    }
    if (s.rotation != 0) {
        mpp_err("encoder: rotation %d is not supported", s.rotation);
        return MPP_ERR_VALUE;
    }
    if (!in_range(s.rc_mode, MPP_ENC_RC_MODE_VBR, MPP_ENC_RC_MODE_AVBR) || s.fps_num <= 0 || s.fps_den <= 0 ||
        !in_range(s.gop, 0, kMaxGop) || s.bps_target < -1 || s.bps_max < -1 || s.bps_min < -1 ||
        !in_range(s.qp_init, -1, kMaxQp) || !in_range(s.qp_max, -1, kMaxQp) || !in_range(s.qp_min, -1, kMaxQp)) {
        mpp_err("encoder: refused rate control (mode %d, %d/%d fps, gop %d, bps %d/%d/%d, qp %d/%d/%d)", s.rc_mode,
                s.fps_num, s.fps_den, s.gop, s.bps_target, s.bps_max, s.bps_min, s.qp_init, s.qp_max, s.qp_min);
        return MPP_ERR_VALUE;
    }
    if (s.profile != 66 && s.profile != 77 && s.profile != 100) {
        mpp_err("encoder: profile %d is not supported (66, 77, 100)", s.profile);
        return MPP_ERR_VALUE;
    }
    if (!in_range(s.level, 10, 52)) {
        mpp_err("encoder: level %d is not supported", s.level);
        return MPP_ERR_VALUE;
    }
    return MPP_OK;
}

MPP_RET H264Encoder::adopt(const EncoderSettings& settings) {
    MPP_RET ret = check_settings(settings);
    if (ret != MPP_OK) return ret;
    if (std::memcmp(&settings, &settings_, sizeof(settings)) != 0) {
        settings_ = settings;
        close_context();  // the next frame opens a new stream with these settings
    }
    return MPP_OK;
}

MPP_RET H264Encoder::set_prep(const MppEncPrepCfg& cfg) {
    EncoderSettings next = settings_;
    if (cfg.change & MPP_ENC_PREP_CFG_CHANGE_INPUT) {
        next.width = cfg.width;
        next.height = cfg.height;
        next.hor_stride = cfg.hor_stride > 0 ? cfg.hor_stride : cfg.width;
        next.ver_stride = cfg.ver_stride > 0 ? cfg.ver_stride : cfg.height;
    }
    if (cfg.change & MPP_ENC_PREP_CFG_CHANGE_ROTATION) next.rotation = cfg.rotation;
    if (cfg.change & MPP_ENC_PREP_CFG_CHANGE_FORMAT) next.format = cfg.format;
    return adopt(next);
}

MPP_RET H264Encoder::set_rc(const MppEncRcCfg& cfg) {
    if (cfg.change == 0) return MPP_OK;
    EncoderSettings next = settings_;
    next.rc_mode = cfg.rc_mode;
    next.bps_target = cfg.bps_target;
    next.bps_max = cfg.bps_max;
    next.bps_min = cfg.bps_min;
    next.fps_num = cfg.fps_out_num > 0 ? cfg.fps_out_num : cfg.fps_in_num;
    next.fps_den = cfg.fps_out_num > 0 ? cfg.fps_out_denorm : cfg.fps_in_denorm;
    next.gop = cfg.gop;
    next.qp_init = cfg.qp_init;
    next.qp_max = cfg.qp_max;
    next.qp_min = cfg.qp_min;
    return adopt(next);
}

MPP_RET H264Encoder::set_codec(const MppEncCodecCfg& cfg) {
    if (cfg.coding != MPP_VIDEO_CodingAVC) {
        mpp_err("encoder: codec configuration for coding %d refused: this encoder makes H.264", cfg.coding);
        return MPP_ERR_VALUE;
    }
    EncoderSettings next = settings_;
    if (cfg.h264.change & MPP_ENC_H264_CFG_CHANGE_PROFILE) {
        next.profile = cfg.h264.profile;
        next.level = cfg.h264.level;
    }
    if (cfg.h264.change & MPP_ENC_H264_CFG_CHANGE_ENTROPY) next.cabac = cfg.h264.entropy_coding_mode ? 1 : 0;
    if (cfg.h264.change & MPP_ENC_H264_CFG_CHANGE_TRANS_8x8) next.trans8x8 = cfg.h264.transform8x8_mode ? 1 : 0;
    return adopt(next);
}

MPP_RET H264Encoder::set_cfg(MppEncCfg cfg) {
    EncoderSettings next = settings_;
    struct KeyField {
        const char* key;
        int32_t EncoderSettings::*field;
    };
    static const KeyField kFields[] = {
        {"prep:width", &EncoderSettings::width},         {"prep:height", &EncoderSettings::height},
        {"prep:hor_stride", &EncoderSettings::hor_stride}, {"prep:ver_stride", &EncoderSettings::ver_stride},
        {"prep:format", &EncoderSettings::format},       {"prep:rotation", &EncoderSettings::rotation},
        {"rc:mode", &EncoderSettings::rc_mode},          {"rc:fps_out_num", &EncoderSettings::fps_num},
        {"rc:fps_out_denorm", &EncoderSettings::fps_den}, {"rc:gop", &EncoderSettings::gop},
        {"rc:bps_target", &EncoderSettings::bps_target}, {"rc:bps_max", &EncoderSettings::bps_max},
        {"rc:bps_min", &EncoderSettings::bps_min},       {"rc:qp_init", &EncoderSettings::qp_init},
        {"rc:qp_max", &EncoderSettings::qp_max},         {"rc:qp_min", &EncoderSettings::qp_min},
        {"h264:profile", &EncoderSettings::profile},     {"h264:level", &EncoderSettings::level},
        {"h264:cabac_en", &EncoderSettings::cabac},      {"h264:trans8x8", &EncoderSettings::trans8x8},
    };
    for (const KeyField& field : kFields) enc_cfg_lookup(cfg, field.key, &(next.*field.field));
    int32_t coding = MPP_VIDEO_CodingAVC;
    if (enc_cfg_lookup(cfg, "codec:type", &coding) && coding != MPP_VIDEO_CodingAVC) {
        mpp_err("encoder: configuration for coding %d refused: this encoder makes H.264", coding);
        return MPP_ERR_VALUE;
    }
    // Strides left out follow the picture size.
    int32_t unused = 0;
    if (!enc_cfg_lookup(cfg, "prep:hor_stride", &unused)) next.hor_stride = next.width;
    if (!enc_cfg_lookup(cfg, "prep:ver_stride", &unused)) next.ver_stride = next.height;
    return adopt(next);
}

MPP_RET H264Encoder::set_sei_mode(int32_t mode) {
    if (!in_range(mode, MPP_ENC_SEI_MODE_DISABLE, MPP_ENC_SEI_MODE_ONE_FRAME)) return MPP_ERR_VALUE;
    settings_.sei_mode = mode;
    return MPP_OK;
}

MPP_RET H264Encoder::set_header_mode(int32_t mode) {
    // Parameter sets always travel with every IDR frame here; both modes are accepted.
    if (!in_range(mode, MPP_ENC_HEADER_MODE_DEFAULT, MPP_ENC_HEADER_MODE_EACH_IDR)) return MPP_ERR_VALUE;
    settings_.header_mode = mode;
    return MPP_OK;
}

AVCodecContext* H264Encoder::open_context(bool global_header) const {
    const EncoderSettings& s = settings_;
    if ((s.rc_mode == MPP_ENC_RC_MODE_CBR || s.rc_mode == MPP_ENC_RC_MODE_VBR) && s.bps_target <= 0) {
        mpp_err("encoder: no target bit rate for rate-control mode %d", s.rc_mode);
        return nullptr;
    }
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) {
        mpp_err("encoder: libavcodec has no libx264");
        return nullptr;
    }
    AVCodecContext* c = avcodec_alloc_context3(codec);
    if (!c) return nullptr;
    c->width = s.width;
    c->height = s.height;
    c->pix_fmt = s.format == MPP_FMT_YUV420P ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_NV12;
    c->time_base = AVRational{s.fps_den, s.fps_num};
    c->framerate = AVRational{s.fps_num, s.fps_den};
    c->gop_size = s.gop > 0 ? s.gop : kMaxGop;
    c->keyint_min = c->gop_size;
    c->max_b_frames = 0;
    c->level = s.level;
    c->thread_count = 0;
    if (global_header) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    switch (s.rc_mode) {
        case MPP_ENC_RC_MODE_CBR:
            c->bit_rate = s.bps_target;
            c->rc_max_rate = s.bps_target;
            c->rc_buffer_size = s.bps_target;
            break;
        case MPP_ENC_RC_MODE_VBR:
            c->bit_rate = s.bps_target;
            c->rc_max_rate = s.bps_max > s.bps_target ? s.bps_max : s.bps_target;
            c->rc_buffer_size = static_cast<int>(c->rc_max_rate);
            break;
        case MPP_ENC_RC_MODE_FIXQP: av_opt_set_int(c->priv_data, "qp", s.qp_init > 0 ? s.qp_init : 26, 0); break;
        default: break;  // the encoder's own constant-quality default
    }
    if (s.rc_mode != MPP_ENC_RC_MODE_FIXQP) {
        if (s.qp_min > 0) c->qmin = s.qp_min;
        if (s.qp_max > 0) c->qmax = s.qp_max;
    }
    av_opt_set(c->priv_data, "preset", kPreset, 0);
    av_opt_set(c->priv_data, "tune", "zerolatency", 0);
    av_opt_set(c->priv_data, "profile", profile_name(s.profile), 0);
    av_opt_set_int(c->priv_data, "forced-idr", 1, 0);
    char params[96];
    std::snprintf(params, sizeof(params), "scenecut=0:cabac=%d:8x8dct=%d", s.cabac ? 1 : 0, s.trans8x8 ? 1 : 0);
    av_opt_set(c->priv_data, "x264-params", params, 0);
    int err = avcodec_open2(c, codec, nullptr);
    if (err < 0) {
        mpp_err("encoder: libx264 did not open (%d)", err);
        avcodec_free_context(&c);
        return nullptr;
    }
    return c;
}

MPP_RET H264Encoder::extra_info(std::vector<uint8_t>* out) {
    AVCodecContext* c = open_context(true);
    if (!c) return MPP_NOK;
    MPP_RET ret = MPP_NOK;
    if (c->extradata && c->extradata_size > 0) {
        out->assign(c->extradata, c->extradata + c->extradata_size);
        ret = MPP_OK;
    } else {
        mpp_err("encoder: libx264 gave no parameter sets");
    }
    avcodec_free_context(&c);
    return ret;
}

MPP_RET H264Encoder::copy_picture(const Frame& frame) {
    const EncoderSettings& s = settings_;
    if (!frame.buffer) {
        mpp_err("encoder: frame without a buffer");
        return MPP_ERR_NULL_PTR;
    }
    if (static_cast<int32_t>(frame.fmt) != s.format || static_cast<int32_t>(frame.width) != s.width ||
        static_cast<int32_t>(frame.height) != s.height) {
        mpp_err("encoder: frame %ux%u format 0x%x does not match the configured %dx%d format 0x%x", frame.width,
                frame.height, static_cast<unsigned>(frame.fmt), s.width, s.height, static_cast<unsigned>(s.format));
        return MPP_ERR_VALUE;
    }
    size_t hor = frame.hor_stride ? frame.hor_stride : static_cast<size_t>(s.hor_stride);
    size_t ver = frame.ver_stride ? frame.ver_stride : static_cast<size_t>(s.ver_stride);
    size_t width = static_cast<size_t>(s.width);
    size_t height = static_cast<size_t>(s.height);
    if (hor < width || ver < height) {
        mpp_err("encoder: frame strides %zux%zu are below its size", hor, ver);
        return MPP_ERR_VALUE;
    }
    bool planar = s.format == MPP_FMT_YUV420P;
    // Chroma: one plane of hor-stride rows (NV12), or two of half-stride rows one after the other (I420).
    size_t needed = planar ? hor * ver + 2 * ((hor / 2) * (ver / 2)) : hor * ver + hor * (height / 2);
    if (frame.buffer->size < needed) {
        mpp_err("encoder: frame buffer of %zu bytes is below the %zu its layout needs", frame.buffer->size, needed);
        return MPP_ERR_VALUE;
    }
    if (!picture_->data[0]) {
        picture_->format = context_->pix_fmt;
        picture_->width = s.width;
        picture_->height = s.height;
        if (av_frame_get_buffer(picture_, 0) < 0) return MPP_ERR_MALLOC;
    }
    if (av_frame_make_writable(picture_) < 0) return MPP_ERR_MALLOC;
    const uint8_t* src = frame.buffer->data;
    for (size_t row = 0; row < height; ++row) {
        std::memcpy(picture_->data[0] + row * picture_->linesize[0], src + row * hor, width);
    }
    const uint8_t* chroma = src + hor * ver;
    if (planar) {
        const uint8_t* v_plane = chroma + (hor / 2) * (ver / 2);
        for (size_t row = 0; row < height / 2; ++row) {
            std::memcpy(picture_->data[1] + row * picture_->linesize[1], chroma + row * (hor / 2), width / 2);
            std::memcpy(picture_->data[2] + row * picture_->linesize[2], v_plane + row * (hor / 2), width / 2);
        }
    } else {
        for (size_t row = 0; row < height / 2; ++row) {
            std::memcpy(picture_->data[1] + row * picture_->linesize[1], chroma + row * hor, width);
        }
    }
    return MPP_OK;
}

MPP_RET H264Encoder::encode(const Frame& frame, std::vector<uint8_t>* access_unit) {
    if (!context_) {
        MPP_RET ret = check_settings(settings_);
        if (ret != MPP_OK) return ret;
        context_ = open_context(false);
        if (!context_) return MPP_NOK;
        pts_ = 0;
    }
    MPP_RET ret = copy_picture(frame);
    if (ret != MPP_OK) return ret;
    picture_->pts = pts_++;
    picture_->pict_type = force_idr_ ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    force_idr_ = false;
    int err = avcodec_send_frame(context_, picture_);
    if (err >= 0) err = avcodec_receive_packet(context_, packet_);
    if (err < 0) {
        mpp_err("encoder: libx264 gave no access unit for the frame (%d)", err);
        return MPP_NOK;
    }
    if (settings_.sei_mode == MPP_ENC_SEI_MODE_DISABLE) {
        copy_without_h264_nal(packet_->data, static_cast<size_t>(packet_->size), kH264NalSei, access_unit);
    } else {
        access_unit->assign(packet_->data, packet_->data + packet_->size);
    }
    av_packet_unref(packet_);
    return MPP_OK;
}

}  // namespace mpp
