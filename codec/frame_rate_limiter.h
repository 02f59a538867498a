// Lets pictures through at up to a given rate and drops only those beyond it, spread evenly: a 60 fps source
// into a 30 fps encoder keeps every other picture, a 50 fps source three of five, and a source at or below the
// rate keeps all of its pictures even when they arrive unevenly.
//
// It keeps a credit of pictures that grows with the time between arrivals at the allowed rate and is capped
// at a small burst; a picture passes when one whole credit is there. The cap lets a picture that comes up to
// one interval early (decoder or network jitter) through, without letting a long burst through. Admit and
// Reset may be called from different threads (a decoder's worker admits, the thread that starts a stream
// resets).
#pragma once

#include <cstdint>
#include <mutex>

class FrameRateLimiter {
public:
    // max_fps > 0; burst >= 1 is the most pictures that may pass back to back.
    explicit FrameRateLimiter(double max_fps, double burst = kDefaultBurst);

    // True when a picture arriving at now_us (a steady clock in microseconds) may pass. Arrival times that
    // go backwards count as no time passed.
    bool Admit(int64_t now_us);
    // Admit with the steady clock's present time.
    bool AdmitNow();
    // Forgets the past: the next picture passes, as the first of a new stream.
    void Reset();

    static constexpr double kDefaultBurst = 2.0;

private:
    std::mutex mutex_;
    double max_fps_;
    double burst_;
    double credit_ = 0.0;
    int64_t last_us_ = 0;
    bool started_ = false;
};
