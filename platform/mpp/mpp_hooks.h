// Test controls of the codec library: failure injection, the configuration the encoder last received, the
// decoder's stride rule and library settings. The product never calls these; without them the library
// behaves as the device's does.
#pragma once

#include "mpp_api.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    MPP_HOOK_CREATE = 0,      // mpp_create
    MPP_HOOK_INIT,            // mpp_init
    MPP_HOOK_CONTROL,         // any control; see mpp_hook_fail_control for one command
    MPP_HOOK_GROUP_GET,       // mpp_buffer_group_get_internal
    MPP_HOOK_BUFFER_GET,      // mpp_buffer_get
    MPP_HOOK_FRAME_INIT,      // mpp_frame_init
    MPP_HOOK_PACKET_INIT,     // mpp_packet_init, mpp_packet_init_with_buffer
    MPP_HOOK_POLL,            // MppApi::poll
    MPP_HOOK_PUT_PACKET,      // MppApi::decode_put_packet (the packet is refused, not taken)
    MPP_HOOK_CALL_COUNT
} MppHookCall;

// Makes the nth call (1 = the next one) of that kind fail with MPP_NOK; 0 disarms it.
void mpp_hook_fail_call(MppHookCall call, int nth);
// Makes the nth call of that kind and the count - 1 calls after it fail with MPP_NOK.
void mpp_hook_fail_calls(MppHookCall call, int nth, int count);
// Makes the nth control with this command fail with MPP_NOK.
void mpp_hook_fail_control(MpiCmd cmd, int nth);

// Holds the nth MJPEG task decode (1 = the next one, counted over every context) for ms milliseconds
// before it decodes, so that the pictures of the contexts after it come out first; 0 disarms it.
void mpp_hook_delay_task_decode(int nth, int ms);

// How a decoder (simple interface) pads its pictures: strides aligned to 16 (the default), or the
// horizontal stride an odd multiple of 256 bytes (2304 for 1920) with the vertical stride the height
// rounded to 16 (1088 for 1080), as some device decoders output.
typedef enum { MPP_STRIDE_ALIGN16 = 0, MPP_STRIDE_ODD256 = 1 } MppStridePolicy;
void mpp_hook_set_stride_policy(MppStridePolicy policy);

// The last record each encoder control received in this process (1 when there was one).
int mpp_hook_last_prep_cfg(MppEncPrepCfg* out);
int mpp_hook_last_rc_cfg(MppEncRcCfg* out);
int mpp_hook_last_codec_cfg(MppEncCodecCfg* out);
// The value a key had in the last MPP_ENC_SET_CFG (1 when set there).
int mpp_hook_last_cfg_value(const char* key, int32_t* out);
// The last integer parameter of a control (SEI mode, header mode, split mode, output format, time-out).
int mpp_hook_last_control_value(MpiCmd cmd, int32_t* out);
// Times MPP_ENC_SET_IDR_FRAME was received.
int mpp_hook_idr_requests(void);

// Gives mpp_env_get_u32 a value for name (the product reads no environment).
void mpp_hook_set_env_u32(const char* name, uint32_t value);

// Clears every failure, record, setting and count above.
void mpp_hook_reset(void);

#ifdef __cplusplus
}
#endif
