// The USB camera's frame path. The capture thread hands every camera frame to uvcin_frame_callback; MJPEG
// and H.264 frames go to a hardware decoder created with the camera's first frame, YUYV frames skip it.
// While the camera is on air, decoded pictures go through the ring rkrga_out_decode_uvc to the thread
// task_run_uvc_decode_h264_mjpeg, which shows each one on the HDMI output, scales it to the encoder's
// 1920x1080 NV12 and feeds the web preview ring rkrga_out_uvc_to_web. While another input is on air, every
// 10th picture becomes a 640x360 JPEG on the camera's preview link (port 10001).
//
// One state (idle, starting, running, stopping) decides who may start the thread: a sink starts it only
// from idle, so two early frames never start two threads, and a frame that arrives while an old thread is
// still tearing down starts nothing. The ring and the decoder are released only after their producers
// have stopped.
#pragma once

#include <cstdint>

#include "copy_buffer.h"

struct FrameDescriptor;
struct VideoFormatBlock;

// Decoded on-air camera pictures (camera size; format code kCopyBufferNv12, or kCopyBufferYuyv for a YUYV
// camera). Initialised and released by the camera path itself.
extern copy_buffer rkrga_out_decode_uvc;
// 640x360 BGR24 pictures of the camera for the preview link; the NDI receive side's start-up initialises it
// (640x360, kCopyBufferRgb24) and starts uvc_web_preview_main.
extern copy_buffer rkrga_out_uvc_to_web;

// States of the camera path (uvc_frame_path_state()).
constexpr int kUvcPathIdle = 0;
constexpr int kUvcPathStarting = 1;
constexpr int kUvcPathRunning = 2;
constexpr int kUvcPathStopping = 3;

// Warm-up of a new MJPEG decoder before frames are posted: the first time in the process, and later.
constexpr int kUvcMjpegFirstWarmUpMs = 5000;
constexpr int kUvcMjpegWarmUpMs = 10000;
// Pause of the thread after the decoder is set up, before it reads the ring.
constexpr int kUvcThreadSettleMs = 1000;
// The H.264 gate opens on this SPS-carrying frame.
constexpr int kUvcH264SpsGate = 3;
// Frame rate given to the camera decoders.
constexpr int kUvcDecoderFps = 60;
// Previews: every 10th picture; a 4:2:2 MJPEG camera sends its own JPEG every 7th.
constexpr int kUvcPreviewEvery = 10;
constexpr int kUvcRawPreviewEvery = 7;
constexpr int kUvcPreviewWidth = 640;
constexpr int kUvcPreviewHeight = 360;

// The capture callback of the UVC ports (install with imagecapture's set_uvc_frame_callback): passes the
// frame to uvcin_frame_dispatch and returns 1.
int uvcin_frame_callback(FrameDescriptor* frame, int bytes, VideoFormatBlock format_copy,
                         const VideoFormatBlock* format);
// "H264", "MJPG" and "YUYV" frames to their sink (other FourCCs are ignored): 0 for no frame or a byte count
// of 0 or less, else 1.
int uvcin_frame_dispatch(FrameDescriptor* frame, int bytes, uint32_t fourcc);

// The sinks, on the capture thread.
void v4lcapture_uvc_mpp_decode_mjpeg(const uint8_t* data, int size, int width, int height);
void v4lcapture_uvc_mpp_decode_h264(const uint8_t* data, int size, int width, int height);
// A YUYV frame's lines are line_bytes apart (the driver's bytes per line; 0 or width x 2 for packed lines).
void v4lcapture_uvc_yuyv_input(const uint8_t* data, int size, int width, int height, int line_bytes = 0);

// The decoders' picture callbacks (on decoder workers).
void on_uvc_mjpeg_frame(uint8_t* bytes, int size, int hor_stride, int ver_stride, uint32_t fourcc);
void on_uvc_h264_frame(uint8_t* bytes, int size, int hor_stride, int ver_stride, uint32_t code);

// The on-air thread (pthread entry; started by the sinks, ends when the working flag is cleared).
void* task_run_uvc_decode_h264_mjpeg(void* arg);

// 1 while the thread runs; 0 asks it to stop (INIT_UVC_Run_Thread does so when the camera is unplugged).
void set_v4lcapture_uvc_mpp_decode_working(uint8_t working);
uint8_t get_v4lcapture_uvc_mpp_decode_working();
// MJPEG frames are posted to the decoder only while this is 1.
void set_uvc_mjpeg_decoder_ready(uint8_t ready);
uint8_t get_uvc_mjpeg_decoder_ready();
// One of kUvcPath*.
int uvc_frame_path_state();

// The web preview thread (pthread entry; runs while its flag is set, which it sets itself at its start).
void* uvc_web_preview_main(void* arg);
void set_uvc_web_preview_enabled(uint8_t enabled);
uint8_t get_uvc_web_preview_enabled();

// 1 when the bytes hold a start code (00 00 01 or 00 00 00 01) followed by a NAL header of type 7 (SPS),
// all inside the buffer; else 0.
int h264_has_sps(const uint8_t* bytes, int length);
