// The capture callback of the UVC ports: the only part of the camera path that knows the capture
// device's frame records.
#include "input_video_dev.h"
#include "uvc_frame_path.h"

int uvcin_frame_callback(FrameDescriptor* frame, int bytes, VideoFormatBlock format_copy,
                         const VideoFormatBlock* format) {
    uvcin_frame_dispatch(frame, bytes, format != nullptr ? format->fourcc : format_copy.fourcc);
    return 1;
}

int uvcin_frame_dispatch(FrameDescriptor* frame, int bytes, uint32_t fourcc) {
    if (frame == nullptr || frame->data == nullptr || bytes <= 0) return 0;
    const int width = static_cast<int>(frame->width);
    const int height = static_cast<int>(frame->height);
    if (fourcc == kFourccH264) {
        v4lcapture_uvc_mpp_decode_h264(frame->data, bytes, width, height);
    } else if (fourcc == kFourccMjpg) {
        v4lcapture_uvc_mpp_decode_mjpeg(frame->data, bytes, width, height);
    } else if (fourcc == kFourccYuyv) {
        v4lcapture_uvc_yuyv_input(frame->data, bytes, width, height, static_cast<int>(frame->bytesperline));
    }
    return 1;
}
