// The statistics sampler of the status push: CPU load since the previous sample, memory use, the eth0
// traffic over a 3 s window and the SoC temperature, read from procfs and sysfs (through fixed_path, so tests
// use fixture files; the 3 s window goes through the pause seam).
#pragma once

#include <atomic>
#include <cstdint>

// Length of the traffic window.
constexpr int64_t kTrafficSampleMs = 3000;

struct SystemStats {
    int cpu_percent = 0;
    int memory_percent = 0;
    uint64_t upload = 0;    // bytes per second sent on eth0
    uint64_t download = 0;  // bytes per second received on eth0
    float temperature = 0.0f;  // degrees Celsius
    long uptime = 0;           // seconds (sampled, not shown)
};

// 0 until the statistics thread has taken its first sample.
extern std::atomic<uint8_t> stats_ready;

// Updates the record: values that cannot be read keep what the record held. The CPU share needs a previous
// sample (kept process-wide), so the first call leaves cpu_percent as it was. A traffic counter that went
// backwards between the two reads (interface reset, counter wrap) gives no sample: the old rate stays.
void collect_system_stats(SystemStats* stats);

// Forgets the previous CPU sample (the next call is a first call again).
void reset_system_stats_history();
