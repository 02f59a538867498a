#include "frame_rate_limiter.h"

#include <algorithm>
#include <chrono>

namespace {
// A picture may pass this share of a credit early (arrival times come in whole microseconds, so one exactly
// on time can be a hair short); the debt is kept, so the long-run rate stays exact.
constexpr double kCreditEpsilon = 1e-3;
constexpr double kMicrosPerSecond = 1e6;
}  // namespace

FrameRateLimiter::FrameRateLimiter(double max_fps, double burst)
    : max_fps_(max_fps > 0.0 ? max_fps : 1.0), burst_(std::max(1.0, burst)) {}

bool FrameRateLimiter::Admit(int64_t now_us) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_) {
        started_ = true;
        credit_ = burst_;
        last_us_ = now_us;
    } else if (now_us > last_us_) {
        credit_ = std::min(burst_, credit_ + static_cast<double>(now_us - last_us_) * max_fps_ / kMicrosPerSecond);
        last_us_ = now_us;
    }
    if (credit_ + kCreditEpsilon < 1.0) return false;
    credit_ -= 1.0;
    return true;
}

bool FrameRateLimiter::AdmitNow() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return Admit(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

void FrameRateLimiter::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = false;
    credit_ = 0.0;
    last_us_ = 0;
}
