// The fixed rule that picks one camera format from what the camera offers. It runs up to three passes,
// 4K (only when enabled), 1080 and 720 (only when 1080 chose nothing); within a pass each codec keeps its
// best qualifying entry (the highest rate; among equal rates the first listed, or for YUYV the smallest
// size), and the codecs rank H.264, MJPEG, YUYV. The size asked of the camera is always one it lists: that
// of the chosen entry (a YUYV camera wider than the pass is asked for a listed size, never the pass size). A camera with nothing
// that qualifies gets its best listed size (best_listed_uvc_format); only a camera that lists nothing keeps
// the previous codec and rate at 1280x720.
#pragma once

#include <cstddef>
#include <cstdint>

#include "video_dev_msg.h"

// Codec values of the choice (uvc_get_h264_mjpeg_yuyv_count).
constexpr int kUvcCodecH264 = 0;
constexpr int kUvcCodecMjpeg = 1;
constexpr int kUvcCodecYuyv = 2;

// One row of the limits that bound the choice.
struct UvcFormatLimit {
    uint32_t fourcc;
    uint32_t max_width;
    uint32_t max_height;
    uint32_t max_fps;
};

constexpr int kUvcFormatLimitCount = 5;
extern const UvcFormatLimit uvc_format_limits[kUvcFormatLimitCount];

struct UvcFormatChoiceInput {
    const UvcFormatEntry* entries;
    size_t count;
    // The 4K pass runs only when the configuration allows it.
    bool enable_4k;
    // A DJI Pocket 3 is attached (its sound card is listed): it is captured as MJPEG.
    bool pocket3_attached;
    // Kept when nothing qualifies.
    int previous_codec;
    int previous_fps;
};

struct UvcFormatChoice {
    // True when a pass chose a format.
    bool chosen;
    // True when no pass chose and the best listed entry was taken.
    bool best_listed;
    int codec;
    uint32_t fourcc;
    int width;
    int height;
    int fps;
};

UvcFormatChoice choose_uvc_format(const UvcFormatChoiceInput& input);

// The best of the listed entries (H.264, MJPEG or YUYV with a size and a rate) when no pass qualifies: the
// largest picture within the largest pass size (3840x2160 with 4K enabled, else 1920x1080), or the
// smallest beyond it when none fits; then the highest rate, then H.264, MJPEG, YUYV; nullptr when none.
const UvcFormatEntry* best_listed_uvc_format(const UvcFormatEntry* entries, size_t count, bool enable_4k);

// "H264", "MJPG" or "YUYV" for a codec value (H.264 for anything else).
uint32_t uvc_codec_fourcc(int codec);
