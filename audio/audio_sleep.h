// Pacing sleeps of the audio threads, cut into short steps so that clearing a run flag ends the wait at
// once instead of after a whole period.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

inline void audio_sleep_while(const std::atomic<uint8_t>& running, int ms) {
    constexpr int kStepMs = 10;
    for (int slept = 0; slept < ms && running.load(std::memory_order_relaxed) != 0; slept += kStepMs)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms - slept < kStepMs ? ms - slept : kStepMs));
}
