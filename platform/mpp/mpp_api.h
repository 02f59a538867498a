// Codec library of the appliance: the context / control / task / buffer calls the encoder and decoder
// units make on the device's hardware codec. On this machine the work is done by libavcodec (libx264 for
// H.264 encode; the native mjpeg, h264 and hevc decoders), with the same call shapes, codes and memory
// layouts the callers rely on. C-callable; every handle is opaque.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int MPP_RET;

enum {
    MPP_OK = 0,
    MPP_NOK = -1,
    MPP_ERR_UNKNOW = -2,
    MPP_ERR_NULL_PTR = -3,
    MPP_ERR_MALLOC = -4,
    MPP_ERR_VALUE = -6,      // a parameter or packet layout the library refuses
    MPP_ERR_TIMEOUT = -8,    // nothing ready within the output time-out
    MPP_ERR_INIT = -9,       // the context is not (or not yet) set up for this call
    MPP_ERR_STREAM = -1005,  // corrupt or unsupported bitstream: the packet is dropped
    MPP_ERR_BUFFER_FULL = -1006,  // decoded frames are waiting: put the packet again later
};

typedef void* MppCtx;
typedef void* MppParam;
typedef void* MppFrame;
typedef void* MppPacket;
typedef void* MppBuffer;
typedef void* MppBufferGroup;
typedef void* MppTask;
typedef void* MppEncCfg;

typedef enum { MPP_CTX_DEC = 0, MPP_CTX_ENC = 1 } MppCtxType;

typedef enum {
    MPP_VIDEO_CodingUnused = 0,
    MPP_VIDEO_CodingAVC = 7,
    MPP_VIDEO_CodingMJPEG = 8,
    MPP_VIDEO_CodingVP8 = 9,
    MPP_VIDEO_CodingHEVC = 0x1000004,
} MppCodingType;

typedef enum { MPP_PORT_INPUT = 0, MPP_PORT_OUTPUT = 1 } MppPortType;

// Poll time-outs: a number of milliseconds, or one of these.
typedef enum { MPP_POLL_BLOCK = -1, MPP_POLL_NON_BLOCK = 0 } MppPollType;

typedef enum {
    KEY_INPUT_FRAME = 0,
    KEY_OUTPUT_FRAME = 1,
    KEY_INPUT_PACKET = 2,
    KEY_OUTPUT_PACKET = 3,
    KEY_MOTION_INFO = 4,
} MppMetaKey;

// All buffer types are 64-byte-aligned CPU memory here.
typedef enum { MPP_BUFFER_TYPE_NORMAL = 0, MPP_BUFFER_TYPE_ION = 1, MPP_BUFFER_TYPE_DRM = 3 } MppBufferType;

// Picture layouts. Semi-planar layouts: a luma plane of hor_stride x ver_stride bytes, then the interleaved
// U/V plane with the same stride (ver_stride / 2 rows for 4:2:0, ver_stride rows for 4:2:2 and 4:4:4 at
// twice the width).
typedef enum {
    MPP_FMT_YUV420SP = 0,        // NV12
    MPP_FMT_YUV420SP_10BIT = 1,  // NV12 layout with 16-bit little-endian samples (stride in bytes)
    MPP_FMT_YUV422SP = 2,        // NV16
    MPP_FMT_YUV422SP_10BIT = 3,
    MPP_FMT_YUV420P = 4,         // I420
    MPP_FMT_YUV420SP_VU = 5,
    MPP_FMT_YUV422P = 6,
    MPP_FMT_YUV422SP_VU = 7,
    MPP_FMT_YUV422_YUYV = 8,
    MPP_FMT_YUV422_YVYU = 9,
    MPP_FMT_YUV422_UYVY = 10,
    MPP_FMT_YUV422_VYUY = 11,
    MPP_FMT_YUV400 = 12,         // luma only
    MPP_FMT_YUV444SP = 15,       // luma plane, then U/V pairs at full resolution
    MPP_FMT_RGB_BASE = 0x10000,
    MPP_FMT_RGB24 = 0x10006,     // 3 bytes per pixel
    MPP_FMT_BGR24 = 0x10007,     // 3 bytes per pixel, the "BGR3" FourCC
    MPP_FMT_RGB32_AR24 = 0x1000B,  // 4 bytes per pixel, the "AR24" FourCC
    MPP_FMT_RGB32_BGR4 = 0x1000C,  // 4 bytes per pixel, the "BGR4" FourCC
    MPP_FMT_BUTT = 0x1000F,      // "no format": a decoder keeps its own output format
} MppFrameFormat;

// Control commands (MppApi::control). The parameter of each is given beside it.
typedef enum {
    MPP_SET_OUTPUT_TIMEOUT = 0x200007,         // int32_t* ms: 0 non-blocking, -1 blocking, > 0 time-out
    MPP_DEC_SET_EXT_BUF_GROUP = 0x310002,      // MppBufferGroup the decoder takes frame buffers from
    MPP_DEC_SET_INFO_CHANGE_READY = 0x310003,  // NULL: the caller has seen the info-change frame
    MPP_DEC_SET_PARSER_SPLIT_MODE = 0x310005,  // uint32_t*: 1 = each packet holds whole access units
    MPP_DEC_SET_OUTPUT_FORMAT = 0x31000A,      // MppFrameFormat*
    MPP_DEC_QUERY = 0x310101,                  // MppDecQueryCfg*
    MPP_ENC_SET_CFG = 0x320001,                // MppEncCfg
    MPP_ENC_SET_PREP_CFG = 0x320003,           // MppEncPrepCfg*
    MPP_ENC_SET_RC_CFG = 0x320005,             // MppEncRcCfg*
    MPP_ENC_SET_CODEC_CFG = 0x320007,          // MppEncCodecCfg*
    MPP_ENC_SET_IDR_FRAME = 0x320009,          // NULL: the next frame is an IDR frame
    MPP_ENC_GET_EXTRA_INFO = 0x32000E,         // MppPacket* out: SPS+PPS, owned by the context
    MPP_ENC_SET_SEI_CFG = 0x32000F,            // MppEncSeiMode*
    MPP_ENC_SET_HEADER_MODE = 0x328001,        // MppEncHeaderMode*
} MpiCmd;

// MPP_DEC_QUERY: query_flag selects the counts to fill.
#define MPP_DEC_QUERY_ALL 127u
typedef struct {
    uint32_t query_flag;
    uint32_t input_packets;   // packets accepted
    uint32_t output_frames;   // frames handed out (info-change frames not counted)
    uint32_t decoded_frames;  // pictures the decoder produced
} MppDecQueryCfg;

typedef enum { MPP_ENC_SEI_MODE_DISABLE = 0, MPP_ENC_SEI_MODE_ONE_SEQ = 1, MPP_ENC_SEI_MODE_ONE_FRAME = 2 } MppEncSeiMode;
typedef enum { MPP_ENC_HEADER_MODE_DEFAULT = 0, MPP_ENC_HEADER_MODE_EACH_IDR = 1 } MppEncHeaderMode;

typedef enum {
    MPP_ENC_RC_MODE_VBR = 0,
    MPP_ENC_RC_MODE_CBR = 1,
    MPP_ENC_RC_MODE_FIXQP = 2,
    MPP_ENC_RC_MODE_AVBR = 3,  // no rate-control fields: the encoder's own defaults
} MppEncRcMode;

// Pre-processing record (MPP_ENC_SET_PREP_CFG). Fields apply only when their change bit is set.
#define MPP_ENC_PREP_CFG_CHANGE_INPUT (1u << 0)     // width, height, hor_stride, ver_stride
#define MPP_ENC_PREP_CFG_CHANGE_ROTATION (1u << 2)
#define MPP_ENC_PREP_CFG_CHANGE_FORMAT (1u << 4)
#define MPP_ENC_PREP_CFG_CHANGE_ALL 0xFFFFFFFFu
typedef struct {
    uint32_t change;
    int32_t width;
    int32_t height;
    int32_t hor_stride;
    int32_t ver_stride;
    int32_t format;    // MppFrameFormat
    int32_t rotation;  // 0 none, 1 90, 2 180, 3 270 degrees
} MppEncPrepCfg;

// Rate-control record (MPP_ENC_SET_RC_CFG); change 0xFFFFFFFF applies every field.
#define MPP_ENC_RC_CFG_CHANGE_ALL 0xFFFFFFFFu
typedef struct {
    uint32_t change;
    int32_t rc_mode;  // MppEncRcMode
    int32_t quality;
    int32_t bps_target;
    int32_t bps_max;
    int32_t bps_min;
    int32_t fps_in_flex;
    int32_t fps_in_num;
    int32_t fps_in_denorm;
    int32_t fps_out_flex;
    int32_t fps_out_num;
    int32_t fps_out_denorm;
    int32_t gop;
    int32_t drop_gap;
    int32_t qp_init;  // 0 = the encoder chooses
    int32_t qp_max;
    int32_t qp_min;
    int32_t qp_max_step;
    int32_t qp_max_i;
    int32_t qp_min_i;
    int32_t qp_delta_ip;
    int32_t qp_delta_vi;
} MppEncRcCfg;

// Codec record (MPP_ENC_SET_CODEC_CFG).
#define MPP_ENC_H264_CFG_CHANGE_PROFILE (1u << 1)   // profile and level
#define MPP_ENC_H264_CFG_CHANGE_ENTROPY (1u << 2)   // entropy_coding_mode, cabac_init_idc
#define MPP_ENC_H264_CFG_CHANGE_TRANS_8x8 (1u << 4)
#define MPP_ENC_JPEG_CFG_CHANGE_QFACTOR (1u << 2)
typedef struct {
    uint32_t change;
    int32_t profile;              // 66 Baseline, 77 Main, 100 High
    int32_t level;                // 42 = 4.2
    int32_t entropy_coding_mode;  // 1 = CABAC
    int32_t cabac_init_idc;
    int32_t transform8x8_mode;
} MppEncH264Cfg;
typedef struct {
    uint32_t change;
    int32_t quant;
    int32_t q_factor_max;
    int32_t q_factor_min;
} MppEncJpegCfg;
typedef struct {
    int32_t coding;  // MppCodingType
    union {
        MppEncH264Cfg h264;
        MppEncJpegCfg jpeg;
    };
} MppEncCodecCfg;

// The call table of a context.
typedef struct MppApi {
    uint32_t size;
    MPP_RET (*control)(MppCtx ctx, MpiCmd cmd, MppParam param);
    MPP_RET (*reset)(MppCtx ctx);
    MPP_RET (*poll)(MppCtx ctx, MppPortType port, int timeout_ms);
    MPP_RET (*dequeue)(MppCtx ctx, MppPortType port, MppTask* task);
    MPP_RET (*enqueue)(MppCtx ctx, MppPortType port, MppTask task);
    MPP_RET (*decode_put_packet)(MppCtx ctx, MppPacket packet);
    MPP_RET (*decode_get_frame)(MppCtx ctx, MppFrame* frame);
    MPP_RET (*encode_put_frame)(MppCtx ctx, MppFrame frame);
    MPP_RET (*encode_get_packet)(MppCtx ctx, MppPacket* packet);
} MppApi;

// Contexts.
MPP_RET mpp_create(MppCtx* ctx, MppApi** mpi);
MPP_RET mpp_init(MppCtx ctx, MppCtxType type, MppCodingType coding);
MPP_RET mpp_destroy(MppCtx ctx);

// Buffers and groups. A buffer is reference counted: mpp_buffer_get gives one reference, a frame that holds
// it another; it goes back to its group when the last one is released. A group of limited count refuses
// (and a decoder stalls) while that many of its buffers are held.
MPP_RET mpp_buffer_group_get_internal(MppBufferGroup* group, MppBufferType type);
MPP_RET mpp_buffer_group_put(MppBufferGroup group);
MPP_RET mpp_buffer_group_clear(MppBufferGroup group);
MPP_RET mpp_buffer_group_limit_config(MppBufferGroup group, size_t size, int32_t count);
size_t mpp_buffer_group_usage(MppBufferGroup group);  // bytes held by buffers not yet returned
MPP_RET mpp_buffer_get(MppBufferGroup group, MppBuffer* buffer, size_t size);  // group NULL: default group
MPP_RET mpp_buffer_put(MppBuffer buffer);
void* mpp_buffer_get_ptr(MppBuffer buffer);
size_t mpp_buffer_get_size(MppBuffer buffer);

// Frames.
MPP_RET mpp_frame_init(MppFrame* frame);
MPP_RET mpp_frame_deinit(MppFrame* frame);  // releases the frame's buffer reference
void mpp_frame_set_width(MppFrame frame, uint32_t width);
void mpp_frame_set_height(MppFrame frame, uint32_t height);
void mpp_frame_set_hor_stride(MppFrame frame, uint32_t stride);
void mpp_frame_set_ver_stride(MppFrame frame, uint32_t stride);
void mpp_frame_set_fmt(MppFrame frame, MppFrameFormat format);
void mpp_frame_set_buffer(MppFrame frame, MppBuffer buffer);
void mpp_frame_set_eos(MppFrame frame, uint32_t eos);
uint32_t mpp_frame_get_width(MppFrame frame);
uint32_t mpp_frame_get_height(MppFrame frame);
uint32_t mpp_frame_get_hor_stride(MppFrame frame);
uint32_t mpp_frame_get_ver_stride(MppFrame frame);
MppFrameFormat mpp_frame_get_fmt(MppFrame frame);
MppBuffer mpp_frame_get_buffer(MppFrame frame);
size_t mpp_frame_get_buf_size(MppFrame frame);
uint32_t mpp_frame_get_info_change(MppFrame frame);
uint32_t mpp_frame_get_errinfo(MppFrame frame);
uint32_t mpp_frame_get_discard(MppFrame frame);
uint32_t mpp_frame_get_eos(MppFrame frame);

// Packets. The bytes are data[0 .. size); the payload is length bytes at pos.
MPP_RET mpp_packet_init(MppPacket* packet, void* data, size_t size);
MPP_RET mpp_packet_init_with_buffer(MppPacket* packet, MppBuffer buffer);
MPP_RET mpp_packet_deinit(MppPacket* packet);
void mpp_packet_set_data(MppPacket packet, void* data);
void mpp_packet_set_size(MppPacket packet, size_t size);
void mpp_packet_set_pos(MppPacket packet, void* pos);
void mpp_packet_set_length(MppPacket packet, size_t length);
void mpp_packet_set_eos(MppPacket packet);  // the last packet of a stream: the decoder flushes
void* mpp_packet_get_data(MppPacket packet);
void* mpp_packet_get_pos(MppPacket packet);
size_t mpp_packet_get_size(MppPacket packet);
size_t mpp_packet_get_length(MppPacket packet);
uint32_t mpp_packet_get_eos(MppPacket packet);

// Task metadata.
MPP_RET mpp_task_meta_set_frame(MppTask task, MppMetaKey key, MppFrame frame);
MPP_RET mpp_task_meta_get_frame(MppTask task, MppMetaKey key, MppFrame* frame);
MPP_RET mpp_task_meta_set_packet(MppTask task, MppMetaKey key, MppPacket packet);
MPP_RET mpp_task_meta_get_packet(MppTask task, MppMetaKey key, MppPacket* packet);
MPP_RET mpp_task_meta_set_buffer(MppTask task, MppMetaKey key, MppBuffer buffer);

// Key-based encoder configuration (MPP_ENC_SET_CFG). An unknown key is an error.
MPP_RET mpp_enc_cfg_init(MppEncCfg* cfg);
MPP_RET mpp_enc_cfg_deinit(MppEncCfg cfg);
MPP_RET mpp_enc_cfg_set_s32(MppEncCfg cfg, const char* key, int32_t value);
MPP_RET mpp_enc_cfg_get_s32(MppEncCfg cfg, const char* key, int32_t* value);

// Library settings: the process reads no environment, so every name has its default (tests may set one).
MPP_RET mpp_env_get_u32(const char* name, uint32_t* value, uint32_t default_value);
// Monotonic clock in microseconds.
int64_t mpp_time(void);

// Library log: one line per call on standard error, or into the sink installed with mpp_log_set_sink.
void mpp_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void mpp_err(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A broken expectation of the library (logged, never fatal).
#define mpp_assert(cond) \
    do { \
        if (!(cond)) mpp_err("assertion %s failed at %s:%d", #cond, __FILE__, __LINE__); \
    } while (0)
typedef void (*MppLogSink)(int is_error, const char* line);
void mpp_log_set_sink(MppLogSink sink);  // NULL restores standard error

#ifdef __cplusplus
}
#endif
