#include "rtsp_timeline.h"

namespace {

// Stamps compare on a wrapping 32-bit clock.
int32_t ahead(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

// 0 tells the packetisers "stamp it yourself"; a stamp that lands there moves on by one unit.
uint32_t store(RtspTimeline* line, uint32_t stamp) {
    if (stamp == 0) stamp = 1;
    line->last = stamp;
    line->started = true;
    return stamp;
}

}  // namespace

uint32_t rtsp_timeline_video(RtspTimeline* line, uint32_t taken, uint32_t interval) {
    if (line->started && ahead(taken, line->last) < static_cast<int32_t>(interval))
        return store(line, line->last + interval);
    return store(line, taken);
}

uint32_t rtsp_timeline_audio(RtspTimeline* line, uint32_t taken, uint32_t duration, uint32_t tolerance) {
    if (!line->started) return store(line, taken);
    const uint32_t expected = line->last + duration;
    const int32_t late = ahead(taken, expected);
    if (late > static_cast<int32_t>(tolerance)) return store(line, taken);
    if (-late > static_cast<int32_t>(tolerance)) {
        const uint32_t held = taken + tolerance;
        return store(line, ahead(held, line->last) > 0 ? held : line->last + 1);
    }
    return store(line, expected);
}
