// What discovery knows about one camera port: the device node and the formats the camera offers.
#pragma once

#include <cstdint>

// The two camera USB ports.
constexpr int kUvcPortCount = 2;
// At most this many formats are kept per camera; the rest of the list stays zero.
constexpr int kUvcFormatMax = 150;
// "/dev/video" + at most 5 digits + terminator.
constexpr int kVideoDevPathSize = 16;

// One format a camera offers: FourCC, frame size and whole frames per second.
struct UvcFormatEntry {
    uint32_t fourcc;
    uint32_t width;
    uint32_t height;
    uint32_t fps;
};

struct video_dev_msg {
    int32_t port;
    char dev_path[kVideoDevPathSize];
    // 1 while the port has a camera.
    uint8_t plug;
    UvcFormatEntry formats[kUvcFormatMax];
};

constexpr uint32_t make_fourcc(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) | (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}

constexpr uint32_t kFourccH264 = make_fourcc('H', '2', '6', '4');
constexpr uint32_t kFourccMjpg = make_fourcc('M', 'J', 'P', 'G');
constexpr uint32_t kFourccYuyv = make_fourcc('Y', 'U', 'Y', 'V');
constexpr uint32_t kFourccBgr3 = make_fourcc('B', 'G', 'R', '3');
