// One encoded frame on its way into the RTSP server.
#pragma once

#include <cstdint>
#include <memory>

namespace mnet {

enum FrameType : uint8_t {
    VIDEO_FRAME_I = 0x01,
    VIDEO_FRAME_P = 0x02,
    AUDIO_FRAME = 0x11,
};

struct AVFrame {
    explicit AVFrame(uint32_t size = 0) : buffer(new uint8_t[size + 1], std::default_delete<uint8_t[]>()), size(size) {}

    std::shared_ptr<uint8_t> buffer;  // size bytes and one spare
    uint32_t size;
    uint8_t type = 0;
    uint32_t timestamp = 0;  // 90 kHz for video, the sample rate for audio
};

}  // namespace mnet
