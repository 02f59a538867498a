#include "uvc_format_choice.h"

const UvcFormatLimit uvc_format_limits[kUvcFormatLimitCount] = {
    {kFourccH264, 3840, 2160, 30},
    {kFourccH264, 1920, 1080, 60},
    {kFourccMjpg, 1920, 1080, 30},
    {kFourccH264, 1280, 720, 60},
    {kFourccMjpg, 1280, 720, 60},
};

namespace {

enum Pass { kPass4k, kPass1080, kPass720 };

// Compressed formats must be exactly the pass width (within its limit row); YUYV only needs to be at
// least that wide.
bool within_row(const UvcFormatEntry& entry, int row, uint32_t pass_width) {
    const UvcFormatLimit& limit = uvc_format_limits[row];
    return entry.width > pass_width - 1 && entry.width <= limit.max_width && entry.height <= limit.max_height &&
           entry.fps <= limit.max_fps;
}

// The codec an entry qualifies for in a pass, or -1.
int qualifying_codec(const UvcFormatEntry& entry, Pass pass) {
    switch (pass) {
        case kPass4k:
            if (entry.fourcc == kFourccH264 && within_row(entry, 0, 3840)) return kUvcCodecH264;
            if (entry.fourcc == kFourccYuyv && entry.width >= 3840 && entry.fps <= 30) return kUvcCodecYuyv;
            return -1;
        case kPass1080:
            if (entry.fourcc == kFourccH264 && within_row(entry, 1, 1920)) return kUvcCodecH264;
            if (entry.fourcc == kFourccMjpg && within_row(entry, 2, 1920)) return kUvcCodecMjpeg;
            if (entry.fourcc == kFourccYuyv && entry.width >= 1920 && entry.fps <= 30) return kUvcCodecYuyv;
            return -1;
        case kPass720:
            if (entry.fourcc == kFourccH264 && within_row(entry, 3, 1280)) return kUvcCodecH264;
            if (entry.fourcc == kFourccMjpg && within_row(entry, 4, 1280)) return kUvcCodecMjpeg;
            if (entry.fourcc == kFourccYuyv && entry.width >= 1280 && entry.fps <= 30) return kUvcCodecYuyv;
            return -1;
    }
    return -1;
}

// Runs one pass; true when a codec was chosen, with its codec and rate.
bool run_pass(const UvcFormatChoiceInput& input, Pass pass, int* codec, int* fps) {
    uint32_t best_fps[3] = {0, 0, 0};
    for (size_t i = 0; i < input.count; ++i) {
        const UvcFormatEntry& entry = input.entries[i];
        const int which = qualifying_codec(entry, pass);
        if (which >= 0 && entry.fps > best_fps[which]) best_fps[which] = entry.fps;
    }
    for (int which = kUvcCodecH264; which <= kUvcCodecYuyv; ++which) {
        if (best_fps[which] >= 1) {
            *codec = which;
            *fps = static_cast<int>(best_fps[which]);
            return true;
        }
    }
    return false;
}

}  // namespace

uint32_t uvc_codec_fourcc(int codec) {
    if (codec == kUvcCodecMjpeg) return kFourccMjpg;
    if (codec == kUvcCodecYuyv) return kFourccYuyv;
    return kFourccH264;
}

UvcFormatChoice choose_uvc_format(const UvcFormatChoiceInput& input) {
    UvcFormatChoice choice{false, input.previous_codec, 0, 1280, 720, input.previous_fps};
    if (input.enable_4k && run_pass(input, kPass4k, &choice.codec, &choice.fps)) {
        choice.chosen = true;
        choice.width = 3840;
        choice.height = 2160;
    } else if (run_pass(input, kPass1080, &choice.codec, &choice.fps)) {
        choice.chosen = true;
        choice.width = 1920;
        choice.height = 1080;
    } else {
        choice.chosen = run_pass(input, kPass720, &choice.codec, &choice.fps);
    }
    choice.fourcc = input.pocket3_attached ? kFourccMjpg : uvc_codec_fourcc(choice.codec);
    return choice;
}
