// Timestamps of the RTSP feed. A frame is stamped on the steady clock (in its codec's clock units) when the
// encoder hands it over, so the stream's timeline follows the time its picture or sound was made, whatever
// the source's rate, and a source that stalls leaves a gap of the same length instead of a slower stream.
// The sender then keeps each channel's timeline in order:
// - video: the hand-over time, but at least one encoder frame interval after the previous frame's stamp. The
//   on-air paths hand the encoder at most its 30 pictures a second, so this only evens out the jitter of two
//   pictures that come close together (players that lay the stream on a 30 fps grid then never see two frames
//   in one slot) and the stamps return to the hand-over time at the next wider gap;
// - audio: one frame duration after the previous frame while that stays within a tolerance of the hand-over
//   time (so the jitter of the sound path does not reach the players); a frame that comes later than that (a
//   gap in the sound) starts again from its own time, and sound that comes faster than real time is held to
//   at most the tolerance ahead of the clock.
#pragma once

#include <cstdint>

struct RtspTimeline {
    uint32_t last = 0;
    bool started = false;
};

// The stamp of the next video frame handed over at taken, at least interval units after the previous one.
uint32_t rtsp_timeline_video(RtspTimeline* line, uint32_t taken, uint32_t interval);
// The stamp of the next audio frame of duration units handed over at taken.
uint32_t rtsp_timeline_audio(RtspTimeline* line, uint32_t taken, uint32_t duration, uint32_t tolerance);
