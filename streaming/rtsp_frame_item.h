// One encoded frame waiting in an RTSP frame queue, and the small helpers the senders apply to it.
#pragma once

#include <cstdint>

// malloc'd record holding a malloc'd copy of the encoded bytes; freed with rtsp_frame_item_free.
struct RtspFrameItem {
    uint8_t* data;
    uint32_t type;  // 0 video, 1 audio
    uint32_t size;
    uint16_t width;   // video only
    uint16_t height;  // video only
    uint32_t taken;   // steady clock in the codec's units when the frame was handed over (0 until set)
};

constexpr uint32_t kRtspFrameVideo = 0;
constexpr uint32_t kRtspFrameAudio = 1;

// A new item holding a copy of the bytes, or nullptr when memory runs out.
RtspFrameItem* rtsp_frame_item_new(uint32_t type, const uint8_t* data, uint32_t size, uint16_t width, uint16_t height);
// Queue free callbacks: free the item's data, then the item. One per queue, all alike.
void rtsp_frame_item_free(void** item);
void rtsp_frame_item_free_sub_video(void** item);
void rtsp_frame_item_free_main_audio(void** item);
void rtsp_frame_item_free_sub_audio(void** item);

// Writes the 7-byte ADTS header of an AAC-LC, 48000 Hz, stereo frame of frame_length bytes (header included).
void adts_header_write(uint8_t* out, uint32_t frame_length);

// The mnet frame type of an Annex-B access unit that starts with a 4-byte start code: key frame (1) when the
// first NAL unit is an H.264 SPS or an H.265 VPS, else 2. The unit must hold at least 5 bytes.
uint8_t rtsp_video_frame_type(const uint8_t* data);
