#include "rtsp_frame_item.h"

#include <cstdlib>
#include <cstring>

#include "av_frame.h"

RtspFrameItem* rtsp_frame_item_new(uint32_t type, const uint8_t* data, uint32_t size, uint16_t width, uint16_t height) {
    auto* item = static_cast<RtspFrameItem*>(malloc(sizeof(RtspFrameItem)));
    if (item == nullptr) return nullptr;
    item->data = static_cast<uint8_t*>(malloc(size > 0 ? size : 1));
    if (item->data == nullptr) {
        free(item);
        return nullptr;
    }
    if (size > 0) memcpy(item->data, data, size);
    item->type = type;
    item->size = size;
    item->width = width;
    item->height = height;
    item->taken = 0;
    return item;
}

void rtsp_frame_item_free(void** item) {
    if (item == nullptr || *item == nullptr) return;
    auto* frame = static_cast<RtspFrameItem*>(*item);
    free(frame->data);
    free(frame);
    *item = nullptr;
}

void rtsp_frame_item_free_sub_video(void** item) {
    rtsp_frame_item_free(item);
}
void rtsp_frame_item_free_main_audio(void** item) {
    rtsp_frame_item_free(item);
}
void rtsp_frame_item_free_sub_audio(void** item) {
    rtsp_frame_item_free(item);
}

void adts_header_write(uint8_t* out, uint32_t frame_length) {
    out[0] = 0xFF;
    out[1] = 0xF9;  // sync, MPEG-2, layer 0, no CRC
    out[2] = 0x4C;  // AAC LC, 48000 Hz, channel configuration high bit 0
    out[3] = static_cast<uint8_t>(0x80 + ((frame_length >> 11) & 0x03));  // 2 channels, length bits 12-11
    out[4] = static_cast<uint8_t>((frame_length >> 3) & 0xFF);
    out[5] = static_cast<uint8_t>(((frame_length & 7) << 5) + 0x1F);
    out[6] = 0xFC;  // buffer fullness 0x7FF, one raw data block
}

uint8_t rtsp_video_frame_type(const uint8_t* data) {
    const uint8_t nal = data[4];
    if ((nal & 0x0F) == 7 || nal == 0x40) return mnet::VIDEO_FRAME_I;
    return mnet::VIDEO_FRAME_P;
}
