// The system's single H.264 encoder with its settings (1920x1080 NV12, 30 fps, GOP 30, CBR 8192 kbit/s,
// High profile), the operation through which the on-air display threads put frames into it, and the
// fan-out of every encoded access unit (the stream header first, then one per frame) to the NDI|HX
// sender and the RTSP main video queue.
//
// The receivers live in higher layers, so the process wiring installs them here; until a receiver is
// installed, packets are not handed to it.
#pragma once

#include <cstdint>

// Encoder settings of the system.
constexpr int kEncodeWidth = 1920;
constexpr int kEncodeHeight = 1080;
constexpr int kEncodeFps = 30;
constexpr int kEncodeGop = 30;
constexpr int kEncodeKbps = 8192;
constexpr int kEncodeRcSelector = 1;       // CBR
constexpr int kEncodeProfileSelector = 2;  // High
// Frames are taken only this long after the encoder was started.
constexpr int kEncodeReadyDelayMs = 500;

// Starts the encoder thread `task_run_signal_to_encode_main` (the encoder ring is created on the first
// call). A call while the encoder runs does nothing.
void signal_input_encode_h264_5_init();
// Stops the encoder: clears the running and ready flags and returns once the encoder thread has released
// the encoder and ended.
void signal_input_encode_h264_5_uninit();
uint8_t signal_input_encode_is_running();

// One NV12 frame of the encoder's input size into the encoder's FIFO, while the encoder runs and is ready.
// The result (callers may ignore it): 1 queued, 0 the encoder restarts, -1 dropped (not ready, FIFO full,
// or a frame the encoder refuses).
int push_nv12_to_encoder(const uint8_t* data, int length);

// A frame of any size into the encoder ring "signal_nv12_to_encode_main" (copied, cropped or scaled to
// 1920x1080 NV12), while the encoder runs and takes frames.
void push_signal_frame(const uint8_t* data, const char* fourcc, int width, int height);

// The encoder's input size, which the frame paths compare with their picture size before scaling.
int signal_input_encode_get_width();
int signal_input_encode_get_height();
// The id of the running encoder, -1 when there is none.
int signal_input_encode_get_encoder_id();

// The encoder's output callback: the packet goes to the NDI|HX sender while it is working, to the second
// NDI send path while that is working, and always to the RTSP main video queue; each is told 1920x1080.
int32_t on_encoded_packet(const uint8_t* data, uint32_t length, uint32_t fourcc, int32_t width, int32_t height);

// Receivers of the encoded stream, installed by the process wiring (nullptr removes one).
using SendWorkingFunction = uint8_t (*)();
using NdiHxPushVideoFunction = void (*)(const uint8_t* data, uint32_t size, int width, int height, void* user);
using NdiDevPushVideoFunction = void (*)(const uint8_t* data, uint32_t size, int width, int height);
using RtspPushVideoFunction = void (*)(const uint8_t* data, uint32_t size, uint16_t width, uint16_t height);
// ndi_hx_send_is_working / ndi_hx_send_push_video.
void set_ndi_hx_send_functions(SendWorkingFunction is_working, NdiHxPushVideoFunction push);
// ndi_dev_send_is_working / corvane_sdk_ndi_HX_Encode_vedio.
void set_ndi_dev_send_functions(SendWorkingFunction is_working, NdiDevPushVideoFunction push);
// rtsp_push_main_video.
void set_rtsp_main_video_function(RtspPushVideoFunction push);
