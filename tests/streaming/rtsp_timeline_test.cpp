// The timeline rules of the RTSP feed, on hand-over times chosen per case: video follows the hand-over
// time (30, 29.97 and 25 fps, a stall), keeps at least one encoder interval between frames and never goes
// back; audio runs one
// frame after the other through jitter, starts again after a gap, and never runs far ahead of the clock.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "rtsp_timeline.h"

namespace {

constexpr uint32_t kFrame = 1024;     // AAC samples per frame
constexpr uint32_t kTolerance = 2880;  // 60 ms at 48 kHz

struct Case {
    const char* what;
    std::vector<uint32_t> taken;
    std::vector<uint32_t> stamps;
};

TEST(RtspTimeline, VideoFollowsTheHandOverTime) {
    constexpr uint32_t kInterval = 3000;  // 1/30 s at 90 kHz
    const Case cases[] = {
        {"30 pictures a second keep their spacing", {90000, 93000, 96000, 99000}, {90000, 93000, 96000, 99000}},
        {"25 fps keeps 1/25 s", {1000, 4600, 8200}, {1000, 4600, 8200}},
        {"29.97 fps keeps its own spacing", {3003, 6006, 9009}, {3003, 6006, 9009}},
        {"a one-second stall leaves a one-second gap", {3000, 6000, 96000, 99000}, {3000, 6000, 96000, 99000}},
        {"two pictures close together are spread, then the clock is back", {9000, 10000, 15000, 18000},
         {9000, 12000, 15000, 18000}},
        {"two frames at one instant stay in order", {5000, 5000, 11000}, {5000, 8000, 11000}},
        {"a clock value behind the last stamp never goes back", {9000, 8000, 14000}, {9000, 12000, 15000}},
        {"the wrap of the 32-bit clock", {0xFFFFF000u, 0x00000400u}, {0xFFFFF000u, 0x00000400u}},
        {"0 is never handed on (it means: stamp it yourself)", {0, 4000}, {1, 4000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RtspTimeline line;
        for (size_t i = 0; i < c.taken.size(); ++i)
            EXPECT_EQ(rtsp_timeline_video(&line, c.taken[i], kInterval), c.stamps[i]) << i;
    }
}

TEST(RtspTimeline, AudioRunsFrameAfterFrameNearTheClock) {
    const Case cases[] = {
        {"jitter of the sound path is smoothed away", {48000, 49500, 50000, 51300, 52100},
         {48000, 49024, 50048, 51072, 52096}},
        {"a gap longer than the tolerance starts again from the clock", {10000, 11024, 60000, 61024},
         {10000, 11024, 60000, 61024}},
        {"a burst faster than real time is held near the clock", {10000, 10000, 10000, 10000, 10000},
         {10000, 11024, 12048, 12880, 12881}},
        {"the wrap of the 32-bit clock", {0xFFFFFC00u, 0x00000000u}, {0xFFFFFC00u, 0x00000000u + 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RtspTimeline line;
        for (size_t i = 0; i < c.taken.size(); ++i)
            EXPECT_EQ(rtsp_timeline_audio(&line, c.taken[i], kFrame, kTolerance), c.stamps[i]) << i;
    }
}

// A minute of sound handed over with jitter keeps within the tolerance of the clock and one frame per frame.
TEST(RtspTimeline, AMinuteOfJitteredSoundStaysOnTheClock) {
    RtspTimeline line;
    const int frames = 60 * 48000 / 1024;
    uint32_t previous = 0;
    for (int i = 0; i < frames; ++i) {
        const int32_t jitter = (i % 7 - 3) * 400;  // up to +-25 ms
        const uint32_t taken = static_cast<uint32_t>(100000 + i * 1024 + jitter);
        const uint32_t stamp = rtsp_timeline_audio(&line, taken, kFrame, kTolerance);
        const int32_t off = static_cast<int32_t>(stamp - static_cast<uint32_t>(100000 + i * 1024));
        EXPECT_LE(off < 0 ? -off : off, static_cast<int32_t>(kTolerance)) << i;
        if (i > 0) {
            EXPECT_EQ(stamp - previous, kFrame) << i;
        }
        previous = stamp;
    }
}

}  // namespace
