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

// True when entry replaces best as its codec's choice in a pass: a higher rate; at the same rate the first
// listed stays, except that of two YUYV sizes (both at least the pass width) the smaller, closer to the
// pass size, is taken: the camera is asked for no more than needed.
bool replaces(const UvcFormatEntry& entry, const UvcFormatEntry* best, int which) {
    if (best == nullptr || entry.fps > best->fps) return true;
    return which == kUvcCodecYuyv && entry.fps == best->fps &&
           static_cast<uint64_t>(entry.width) * entry.height < static_cast<uint64_t>(best->width) * best->height;
}

// Runs one pass; true when a codec was chosen, with its entry.
bool run_pass(const UvcFormatChoiceInput& input, Pass pass, int* codec, const UvcFormatEntry** chosen) {
    const UvcFormatEntry* best[3] = {nullptr, nullptr, nullptr};
    for (size_t i = 0; i < input.count; ++i) {
        const UvcFormatEntry& entry = input.entries[i];
        const int which = qualifying_codec(entry, pass);
        if (which >= 0 && entry.fps >= 1 && replaces(entry, best[which], which)) best[which] = &entry;
    }
    for (int which = kUvcCodecH264; which <= kUvcCodecYuyv; ++which) {
        if (best[which] != nullptr) {
            *codec = which;
            *chosen = best[which];
            return true;
        }
    }
    return false;
}

int codec_of(uint32_t fourcc) {
    if (fourcc == kFourccH264) return kUvcCodecH264;
    if (fourcc == kFourccMjpg) return kUvcCodecMjpeg;
    if (fourcc == kFourccYuyv) return kUvcCodecYuyv;
    return -1;
}

uint64_t area(const UvcFormatEntry& entry) {
    return static_cast<uint64_t>(entry.width) * entry.height;
}

// Of two listed entries, the better stand-in when no pass chose: a size within the largest pass size beats
// one beyond it; within it the larger picture, beyond it the smaller; then the higher rate, then the codec
// rank; the first listed otherwise.
bool better_listed(const UvcFormatEntry& a, const UvcFormatEntry& b, uint32_t max_width, uint32_t max_height) {
    const bool a_fits = a.width <= max_width && a.height <= max_height;
    const bool b_fits = b.width <= max_width && b.height <= max_height;
    if (a_fits != b_fits) return a_fits;
    if (area(a) != area(b)) return a_fits ? area(a) > area(b) : area(a) < area(b);
    if (a.fps != b.fps) return a.fps > b.fps;
    return codec_of(a.fourcc) < codec_of(b.fourcc);
}

}  // namespace

const UvcFormatEntry* best_listed_uvc_format(const UvcFormatEntry* entries, size_t count, bool enable_4k) {
    const uint32_t max_width = enable_4k ? 3840 : 1920;
    const uint32_t max_height = enable_4k ? 2160 : 1080;
    const UvcFormatEntry* best = nullptr;
    for (size_t i = 0; i < count; ++i) {
        const UvcFormatEntry& entry = entries[i];
        if (codec_of(entry.fourcc) < 0 || entry.width == 0 || entry.height == 0 || entry.fps == 0) continue;
        if (best == nullptr || better_listed(entry, *best, max_width, max_height)) best = &entry;
    }
    return best;
}

uint32_t uvc_codec_fourcc(int codec) {
    if (codec == kUvcCodecMjpeg) return kFourccMjpg;
    if (codec == kUvcCodecYuyv) return kFourccYuyv;
    return kFourccH264;
}

UvcFormatChoice choose_uvc_format(const UvcFormatChoiceInput& input) {
    UvcFormatChoice choice{false, false, input.previous_codec, 0, 1280, 720, input.previous_fps};
    const UvcFormatEntry* entry = nullptr;
    choice.chosen = (input.enable_4k && run_pass(input, kPass4k, &choice.codec, &entry)) ||
                    run_pass(input, kPass1080, &choice.codec, &entry) ||
                    run_pass(input, kPass720, &choice.codec, &entry);
    if (!choice.chosen) {
        // Nothing qualifies: the camera's best listed size rather than a size it may not offer.
        entry = best_listed_uvc_format(input.entries, input.count, input.enable_4k);
        if (entry != nullptr) {
            choice.best_listed = true;
            choice.codec = codec_of(entry->fourcc);
        }
    }
    if (entry != nullptr) {
        // The size asked of the camera is the listed one.
        choice.width = static_cast<int>(entry->width);
        choice.height = static_cast<int>(entry->height);
        choice.fps = static_cast<int>(entry->fps);
    }
    choice.fourcc = input.pocket3_attached ? kFourccMjpg : uvc_codec_fourcc(choice.codec);
    return choice;
}
