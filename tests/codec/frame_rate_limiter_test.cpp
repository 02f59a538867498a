// The limiter that keeps the on-air pictures at the encoder's rate: over ten seconds of arrivals (on time,
// and with a deterministic jitter of up to a third of an interval), sources at or below 30 fps keep every
// picture, faster ones keep 30 per second, and the dropped ones are spread evenly (on time never two in a
// row).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "frame_rate_limiter.h"

namespace {

constexpr double kEncoderFps = 30.0;
constexpr int kSeconds = 10;

struct SourceCase {
    double fps;
    double jitter;  // largest shift of an arrival, as a share of the source interval
};

struct Outcome {
    int passed = 0;
    int total = 0;
    int longest_drop_run = 0;
    double longest_gap_s = 0.0;  // between two pictures that passed
};

// Arrival i of a source, shifted by a repeatable pattern within +-jitter of an interval.
int64_t arrival_us(const SourceCase& source, int i) {
    const double interval = 1.0 / source.fps;
    const double pattern[] = {0.0, 0.9, -0.7, 0.4, -1.0, 0.2, 1.0, -0.3};
    const double shift = i == 0 ? 0.0 : pattern[i % 8] * source.jitter * interval;
    return static_cast<int64_t>(std::llround((i * interval + shift) * 1e6));
}

Outcome run(const SourceCase& source) {
    FrameRateLimiter limiter(kEncoderFps);
    Outcome out;
    out.total = static_cast<int>(std::floor(source.fps * kSeconds));
    int drop_run = 0;
    int64_t last_pass = -1;
    for (int i = 0; i < out.total; ++i) {
        const int64_t now = arrival_us(source, i);
        if (limiter.Admit(now)) {
            ++out.passed;
            drop_run = 0;
            if (last_pass >= 0) out.longest_gap_s = std::max(out.longest_gap_s, (now - last_pass) / 1e6);
            last_pass = now;
        } else {
            out.longest_drop_run = std::max(out.longest_drop_run, ++drop_run);
        }
    }
    return out;
}

TEST(FrameRateLimiter, KeepsUpToTheEncoderRateAndDropsEvenly) {
    const double rates[] = {15, 24, 25, 29.97, 30, 50, 60};
    const double jitters[] = {0.0, 1.0 / 3};
    for (double fps : rates) {
        for (double jitter : jitters) {
            const SourceCase source{fps, jitter};
            SCOPED_TRACE(testing::Message() << fps << " fps, jitter " << jitter);
            const Outcome out = run(source);
            if (fps <= kEncoderFps) {
                EXPECT_EQ(out.passed, out.total) << "a source within the rate lost pictures";
                EXPECT_EQ(out.longest_drop_run, 0);
            } else {
                // 30 per second, give or take the burst allowed at the start.
                EXPECT_NEAR(out.passed, kEncoderFps * kSeconds, 2.0);
                // On time, never two drops in a row; with jitter an early picture may cost one more.
                const int most_drops = jitter > 0.0 ? 2 : 1;
                EXPECT_LE(out.longest_drop_run, most_drops) << "drops bunch together";
                // No hole longer than those drops allow, plus the jitter on both ends.
                EXPECT_LE(out.longest_gap_s, (most_drops + 1.0 + 2.0 * jitter) / fps + 1e-6);
            }
        }
    }
}

TEST(FrameRateLimiter, BurstsAndClockEdges) {
    struct Case {
        const char* what;
        std::vector<int64_t> arrivals_us;
        std::vector<bool> passes;
    };
    const Case cases[] = {
        {"first picture always passes", {5000000}, {true}},
        {"five at once: only the burst of two", {0, 0, 0, 0, 0}, {true, true, false, false, false}},
        {"a clock that goes back grants nothing", {100000, 50000, 50000, 50000}, {true, true, false, false}},
        {"after a pause the credit is capped at two", {0, 10000000, 10000000, 10000000}, {true, true, true, false}},
        {"one interval restores one picture", {0, 0, 0, 33334, 33334}, {true, true, false, true, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FrameRateLimiter limiter(kEncoderFps);
        for (size_t i = 0; i < c.arrivals_us.size(); ++i)
            EXPECT_EQ(limiter.Admit(c.arrivals_us[i]), c.passes[i]) << "arrival " << i;
    }
}

TEST(FrameRateLimiter, ResetStartsAFreshStream) {
    FrameRateLimiter limiter(kEncoderFps);
    EXPECT_TRUE(limiter.Admit(1000));
    EXPECT_TRUE(limiter.Admit(1000));
    EXPECT_FALSE(limiter.Admit(1000));
    limiter.Reset();
    // A new stream whose clock starts lower passes at once and keeps its own pace.
    EXPECT_TRUE(limiter.Admit(0));
    EXPECT_TRUE(limiter.Admit(0));
    EXPECT_FALSE(limiter.Admit(0));
}

}  // namespace
