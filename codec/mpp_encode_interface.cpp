#include "mpp_encode_interface.h"

#include <cstdio>
#include <cstring>

#include "mpp_api.h"
#include "mpp_encoder.h"

namespace {

constexpr int32_t kRcMode = MPP_ENC_RC_MODE_CBR;  // the wrapper always runs constant bit rate
constexpr int32_t kFormatFallback = 10;

int32_t format_of_selector(int selector) {
    switch (selector) {
        case kEncodeSelectNv12: return MPP_FMT_YUV420SP;
        case kEncodeSelectI420: return MPP_FMT_YUV420P;
        case kEncodeSelectBgr24: return MPP_FMT_BGR24;
        default: return kFormatFallback;
    }
}

size_t frame_size_of(int32_t format, int32_t hor_stride, int32_t ver_stride) {
    size_t area = static_cast<size_t>(hor_stride) * static_cast<size_t>(ver_stride);
    if (format == MPP_FMT_YUV420SP) return area * 3 / 2;
    if (format == MPP_FMT_RGB24 || format == MPP_FMT_BGR24) return area * 3;
    return area * 2;
}

// bps x sixteenths / 16, without overflow.
int32_t scaled(int32_t bps, int64_t sixteenths) { return static_cast<int32_t>(bps * sixteenths / 16); }

}  // namespace

struct mpp_encode_Interface::Record {
    uint32_t eos = 0;
    uint32_t pkt_eos = 0;
    MppCtx ctx = nullptr;
    MppApi* mpi = nullptr;
    MppEncCfg cfg = nullptr;
    MppBuffer frm_buf = nullptr;
    uint8_t* frm_ptr = nullptr;
    int32_t width = 0;
    int32_t height = 0;
    int32_t hor_stride = 0;
    int32_t ver_stride = 0;
    int32_t fmt = 0;
    int32_t type = kCodingH264;
    int32_t fps = 0;
    int32_t gop = 0;
    int32_t bps = 0;
    size_t frame_size = 0;
    uint32_t split_mode = 0;
    uint32_t split_arg = 0;
    int32_t sei_mode = MPP_ENC_SEI_MODE_DISABLE;
    int32_t header_mode = MPP_ENC_HEADER_MODE_EACH_IDR;
    bool initialised = false;
    uint64_t stream_size = 0;
};

mpp_encode_Interface::mpp_encode_Interface() : m_record(new Record) {
    std::printf("mpp_encode_Interface()...\n");
}

mpp_encode_Interface::~mpp_encode_Interface() {
    mpp_close_enc();
    std::printf("~mpp_encode_Interface()...\n");
}

int mpp_encode_Interface::SetSei(int sei) {
    m_sei = sei;
    return 1;
}

int mpp_encode_Interface::SetH265(uint8_t h265) {
    m_h265 = h265;
    return 0;
}

int mpp_encode_Interface::SetMjpeg(uint8_t mjpeg) {
    m_mjpeg = mjpeg;
    return 0;
}

bool mpp_encode_Interface::init(int width, int height, uint16_t fps, int32_t bps, int gop, int format_selector,
                                int sei) {
    std::lock_guard<std::mutex> lock(m_lock);
    close_locked();
    m_record.reset(new Record);
    Record& r = *m_record;
    r.width = width;
    r.height = height;
    r.fps = fps;
    r.bps = bps;
    r.gop = gop;
    m_format_selector = format_selector;
    m_sei = sei;
    std::printf("mpp_h264enc_init... fmt=%d %d width=%d height=%d\n", format_selector, sei, width, height);
    return init_mpp_enc();
}

bool mpp_encode_Interface::init_mpp_enc() {
    Record& r = *m_record;
    r.type = m_mjpeg == 1 ? kCodingMjpeg : m_h265 == 1 ? kCodingH265 : kCodingH264;
    r.fmt = format_of_selector(m_format_selector);
    r.hor_stride = r.width;
    r.ver_stride = r.height;
    std::printf("mpp_enc_data->fmt=%d\r\n", r.fmt);
    std::printf("mpp_enc_data->hor_stride=%d,mpp_enc_data->ver_stride=%d\r\n", r.hor_stride, r.ver_stride);
    r.frame_size = r.width > 0 && r.height > 0 ? frame_size_of(r.fmt, r.hor_stride, r.ver_stride) : 0;

    MPP_RET ret = mpp_buffer_get(nullptr, &r.frm_buf, r.frame_size);
    if (ret) {
        std::printf("failed to get buffer for input frame ret %d\n", ret);
    } else if ((ret = mpp_create(&r.ctx, &r.mpi)) != 0) {
        std::printf("mpp_create failed ret %d\n", ret);
    } else if ((ret = mpp_init(r.ctx, MPP_CTX_ENC, static_cast<MppCodingType>(r.type))) != 0) {
        std::printf("mpp_init failed ret %d\n", ret);
    } else if ((ret = mpp_enc_cfg_init(&r.cfg)) != 0) {
        mpp_err("mpp_enc_cfg_init failed ret %d\n", ret);
    }
    if (!ret) {
        MppEncCfg cfg = r.cfg;
        mpp_enc_cfg_set_s32(cfg, "prep:width", r.width);
        mpp_enc_cfg_set_s32(cfg, "prep:height", r.height);
        mpp_enc_cfg_set_s32(cfg, "prep:hor_stride", r.hor_stride);
        mpp_enc_cfg_set_s32(cfg, "prep:ver_stride", r.ver_stride);
        mpp_enc_cfg_set_s32(cfg, "prep:format", r.fmt);
        mpp_enc_cfg_set_s32(cfg, "prep:rotation", 0);
        mpp_enc_cfg_set_s32(cfg, "rc:mode", kRcMode);
        mpp_enc_cfg_set_s32(cfg, "rc:fps_in_flex", 0);
        mpp_enc_cfg_set_s32(cfg, "rc:fps_in_num", r.fps);
        mpp_enc_cfg_set_s32(cfg, "rc:fps_in_denorm", 1);
        mpp_enc_cfg_set_s32(cfg, "rc:fps_out_flex", 0);
        mpp_enc_cfg_set_s32(cfg, "rc:fps_out_num", r.fps);
        mpp_enc_cfg_set_s32(cfg, "rc:fps_out_denorm", 1);
        mpp_enc_cfg_set_s32(cfg, "rc:gop", r.gop);
        std::printf("==vor %s %d gop=%d bps=%d\n", __func__, __LINE__, r.gop, r.bps);
        mpp_enc_cfg_set_s32(cfg, "rc:drop_mode", 0);
        mpp_enc_cfg_set_s32(cfg, "rc:drop_thd", 20);
        mpp_enc_cfg_set_s32(cfg, "rc:drop_gap", 1);
        mpp_enc_cfg_set_s32(cfg, "rc:bps_target", r.bps);
        if (kRcMode == MPP_ENC_RC_MODE_VBR || kRcMode == MPP_ENC_RC_MODE_AVBR) {
            mpp_enc_cfg_set_s32(cfg, "rc:bps_max", scaled(r.bps, 17));
            mpp_enc_cfg_set_s32(cfg, "rc:bps_min", scaled(r.bps, 1));
        } else if (kRcMode != MPP_ENC_RC_MODE_FIXQP) {
            mpp_enc_cfg_set_s32(cfg, "rc:bps_max", scaled(r.bps, 17));
            mpp_enc_cfg_set_s32(cfg, "rc:bps_min", scaled(r.bps, 15));
        }
        if (r.type == kCodingH264 || r.type == kCodingH265) {
            int32_t qp_init = kRcMode == MPP_ENC_RC_MODE_FIXQP ? 20 : 26;
            int32_t qp_max = kRcMode == MPP_ENC_RC_MODE_FIXQP ? 20 : 51;
            int32_t qp_min = kRcMode == MPP_ENC_RC_MODE_FIXQP ? 20 : 10;
            mpp_enc_cfg_set_s32(cfg, "rc:qp_init", qp_init);
            mpp_enc_cfg_set_s32(cfg, "rc:qp_max", qp_max);
            mpp_enc_cfg_set_s32(cfg, "rc:qp_min", qp_min);
            mpp_enc_cfg_set_s32(cfg, "rc:qp_max_i", qp_max);
            mpp_enc_cfg_set_s32(cfg, "rc:qp_min_i", qp_min);
            mpp_enc_cfg_set_s32(cfg, "rc:qp_ip", 4);
        } else if (r.type == kCodingMjpeg) {
            mpp_enc_cfg_set_s32(cfg, "jpeg:q_factor", 80);
            mpp_enc_cfg_set_s32(cfg, "jpeg:qf_max", 99);
            mpp_enc_cfg_set_s32(cfg, "jpeg:qf_min", 1);
        }
        mpp_enc_cfg_set_s32(cfg, "codec:type", r.type);
        if (r.type == kCodingH264) {
            mpp_enc_cfg_set_s32(cfg, "h264:profile", 100);
            mpp_enc_cfg_set_s32(cfg, "h264:level", 42);
            mpp_enc_cfg_set_s32(cfg, "h264:cabac_en", 1);
            mpp_enc_cfg_set_s32(cfg, "h264:cabac_idc", 0);
            mpp_enc_cfg_set_s32(cfg, "h264:trans8x8", 1);
        }
        mpp_env_get_u32("split_mode", &r.split_mode, 0);
        mpp_env_get_u32("split_arg", &r.split_arg, 0);
        if (r.split_mode) {
            mpp_log("%p split_mode %d split_arg %d\n", r.ctx, static_cast<int>(r.split_mode),
                    static_cast<int>(r.split_arg));
            mpp_enc_cfg_set_s32(cfg, "split:mode", static_cast<int32_t>(r.split_mode));
            mpp_enc_cfg_set_s32(cfg, "split:arg", static_cast<int32_t>(r.split_arg));
        }
        ret = r.mpi->control(r.ctx, MPP_ENC_SET_CFG, cfg);
        if (ret) std::printf("mpi control enc set cfg failed ret %d\n", ret);
    }
    if (!ret) {
        r.sei_mode = m_sei ? MPP_ENC_SEI_MODE_ONE_FRAME : MPP_ENC_SEI_MODE_DISABLE;
        ret = r.mpi->control(r.ctx, MPP_ENC_SET_SEI_CFG, &r.sei_mode);
        if (ret) std::printf("mpi control enc set sei cfg failed ret %d\n", ret);
    }
    if (!ret && (r.type == kCodingH264 || r.type == kCodingH265)) {
        r.header_mode = MPP_ENC_HEADER_MODE_EACH_IDR;
        ret = r.mpi->control(r.ctx, MPP_ENC_SET_HEADER_MODE, &r.header_mode);
        if (ret) std::printf("mpi control enc set header mode failed ret %d\n", ret);
    }
    if (!ret) {
        r.frm_ptr = static_cast<uint8_t*>(mpp_buffer_get_ptr(r.frm_buf));
        r.initialised = true;
        return true;
    }
    close_locked();
    m_record.reset(new Record);
    std::printf("init mpp failed!\n");
    return false;
}

bool mpp_encode_Interface::process_image_enc(const uint8_t* in, size_t length, uint8_t* out, size_t out_capacity,
                                             size_t* out_length) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_record || !m_record->initialised) return false;
    Record& r = *m_record;
    if (!in || length == 0 || length > r.frame_size) {
        std::printf("mpp_encode_Interface: frame of %zu bytes refused (frame size %zu)\n", length, r.frame_size);
        return false;
    }
    std::memcpy(r.frm_ptr, in, length);
    MppFrame frame = nullptr;
    if (mpp_frame_init(&frame)) {
        std::printf("mpp_frame_init failed\n");
        return false;
    }
    mpp_frame_set_width(frame, r.width);
    mpp_frame_set_height(frame, r.height);
    mpp_frame_set_hor_stride(frame, r.hor_stride);
    mpp_frame_set_ver_stride(frame, r.ver_stride);
    mpp_frame_set_fmt(frame, static_cast<MppFrameFormat>(r.fmt));
    mpp_frame_set_buffer(frame, r.frm_buf);
    mpp_frame_set_eos(frame, r.eos);
    MPP_RET ret = r.mpi->encode_put_frame(r.ctx, frame);
    mpp_frame_deinit(&frame);
    if (ret) {
        std::printf("mpp encode put frame failed\n");
        return false;
    }
    MppPacket packet = nullptr;
    ret = r.mpi->encode_get_packet(r.ctx, &packet);
    if (ret) {
        std::printf("mpp encode get packet failed\n");
        return false;
    }
    if (!packet) {
        std::printf("enc packet faild,goto start encode\r\n");
        return false;
    }
    r.pkt_eos = mpp_packet_get_eos(packet);
    size_t packet_length = mpp_packet_get_length(packet);
    bool fits = true;
    if (out && out_length) {
        if (packet_length > out_capacity) {
            std::printf("mpp_encode_Interface: packet of %zu bytes does not fit the %zu-byte output\n",
                        packet_length, out_capacity);
            fits = false;
        } else {
            std::memcpy(out, mpp_packet_get_pos(packet), packet_length);
            *out_length = packet_length;
        }
    }
    mpp_packet_deinit(&packet);
    r.stream_size += packet_length;
    return fits;
}

void mpp_encode_Interface::request_idr() {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_record || !m_record->mpi || !m_record->initialised) return;
    if (m_record->mpi->control(m_record->ctx, MPP_ENC_SET_IDR_FRAME, nullptr)) {
        std::printf("mpi control enc set idr frame failed\n");
    }
}

void mpp_encode_Interface::mpp_close_enc() {
    std::lock_guard<std::mutex> lock(m_lock);
    close_locked();
    m_record.reset();
}

void mpp_encode_Interface::close_locked() {
    if (!m_record) return;
    Record& r = *m_record;
    if (r.mpi && r.ctx && r.initialised && r.mpi->reset(r.ctx)) std::printf("mpi->reset failed\n");
    if (r.cfg) mpp_enc_cfg_deinit(r.cfg);
    r.cfg = nullptr;
    if (r.ctx) mpp_destroy(r.ctx);
    r.ctx = nullptr;
    r.mpi = nullptr;
    if (r.frm_buf) mpp_buffer_put(r.frm_buf);
    r.frm_buf = nullptr;
    r.frm_ptr = nullptr;
    r.initialised = false;
}

size_t mpp_encode_Interface::frame_size() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_record && m_record->initialised ? m_record->frame_size : 0;
}
