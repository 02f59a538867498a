// One H.264 encoder context over libavcodec's libx264: zero-latency (one access unit out per frame in), no
// B-frames, key frames every GOP with SPS and PPS in-band, rate control from the caller's records.
#pragma once

#include <cstdint>
#include <vector>

#include "mpp_api.h"
#include "mpp_objects.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace mpp {

// Picture sizes the encoder accepts.
constexpr int kMinEncodeSize = 16;
constexpr int kMaxEncodeSize = 4096;

struct EncoderSettings {
    int32_t width = 0;
    int32_t height = 0;
    int32_t hor_stride = 0;
    int32_t ver_stride = 0;
    int32_t format = MPP_FMT_YUV420SP;
    int32_t rotation = 0;
    int32_t rc_mode = MPP_ENC_RC_MODE_CBR;
    int32_t bps_target = 0;
    int32_t bps_max = 0;
    int32_t bps_min = 0;
    int32_t fps_num = 30;
    int32_t fps_den = 1;
    int32_t gop = 30;
    int32_t qp_init = 0;
    int32_t qp_max = 0;
    int32_t qp_min = 0;
    int32_t profile = 100;
    int32_t level = 42;
    int32_t cabac = 1;
    int32_t trans8x8 = 1;
    int32_t sei_mode = MPP_ENC_SEI_MODE_DISABLE;
    int32_t header_mode = MPP_ENC_HEADER_MODE_EACH_IDR;
};

class H264Encoder {
public:
    H264Encoder();
    ~H264Encoder();
    H264Encoder(const H264Encoder&) = delete;
    H264Encoder& operator=(const H264Encoder&) = delete;

    MPP_RET set_prep(const MppEncPrepCfg& cfg);
    MPP_RET set_rc(const MppEncRcCfg& cfg);
    MPP_RET set_codec(const MppEncCodecCfg& cfg);
    MPP_RET set_cfg(MppEncCfg cfg);
    MPP_RET set_sei_mode(int32_t mode);
    MPP_RET set_header_mode(int32_t mode);
    void request_idr() { force_idr_ = true; }
    // Drops the encoder state: the next frame starts a new stream with an IDR frame.
    void reset();

    // SPS+PPS for the current settings, as the key frames carry them.
    MPP_RET extra_info(std::vector<uint8_t>* out);
    // Encodes one picture (the frame's buffer, laid out as the settings say) into one access unit.
    MPP_RET encode(const Frame& frame, std::vector<uint8_t>* access_unit);

    const EncoderSettings& settings() const { return settings_; }

private:
    MPP_RET check_settings(const EncoderSettings& settings) const;
    MPP_RET adopt(const EncoderSettings& settings);
    AVCodecContext* open_context(bool global_header) const;
    MPP_RET copy_picture(const Frame& frame);
    void close_context();

    EncoderSettings settings_;
    AVCodecContext* context_ = nullptr;  // opened at the first frame after a change of settings
    AVFrame* picture_ = nullptr;
    AVPacket* packet_ = nullptr;
    int64_t pts_ = 0;
    bool force_idr_ = false;
};

}  // namespace mpp
