#include "system_stats.h"

#include <sys/sysinfo.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "fixed_path.h"
#include "pause.h"

std::atomic<uint8_t> stats_ready{0};

namespace {

// Longest line read from the status files.
constexpr size_t kStatLineMax = 512;

std::mutex g_cpu_mutex;
uint64_t g_previous_total = 0;
uint64_t g_previous_busy = 0;

void sample_cpu(SystemStats* stats) {
    FILE* file = std::fopen(fixed_path("/proc/stat").c_str(), "r");
    if (file == nullptr) return;
    char line[kStatLineMax];
    unsigned long v[8] = {};
    const bool read = std::fgets(line, sizeof(line), file) != nullptr &&
                      std::sscanf(line, "cpu %lu %lu %lu %lu %lu %lu %lu %lu", &v[0], &v[1], &v[2], &v[3], &v[4],
                                  &v[5], &v[6], &v[7]) == 8;
    std::fclose(file);
    if (!read) return;
    uint64_t total = 0;
    for (unsigned long value : v) total += value;
    const uint64_t busy = total - v[3];
    std::lock_guard<std::mutex> lock(g_cpu_mutex);
    if (g_previous_total != 0 && g_previous_busy != 0 && total > g_previous_total && busy >= g_previous_busy) {
        const double share = static_cast<double>(busy - g_previous_busy) / static_cast<double>(total - g_previous_total);
        stats->cpu_percent = static_cast<int>(share * 100.0 + 0.5);
    }
    g_previous_total = total;
    g_previous_busy = busy;
}

void sample_memory(SystemStats* stats) {
    FILE* file = std::fopen(fixed_path("/proc/meminfo").c_str(), "r");
    if (file == nullptr) return;
    char line[kStatLineMax];
    unsigned long long total = 0;
    unsigned long long free_kb = 0;
    bool have_free = false;
    while (!have_free && std::fgets(line, sizeof(line), file) != nullptr) {
        if (std::strncmp(line, "MemTotal:", 9) == 0) std::sscanf(line + 9, "%llu", &total);
        if (std::strncmp(line, "MemFree:", 8) == 0) have_free = std::sscanf(line + 8, "%llu", &free_kb) == 1;
    }
    std::fclose(file);
    if (total > 0 && free_kb <= total) {
        stats->memory_percent = static_cast<int>(static_cast<double>(total - free_kb) * 100.0 / total + 0.5);
    }
}

// Received and transmitted bytes of the first "/proc/net/dev" line that names eth0; false when none.
bool read_eth0_counters(unsigned long long* rx, unsigned long long* tx) {
    FILE* file = std::fopen(fixed_path("/proc/net/dev").c_str(), "r");
    if (file == nullptr) return false;
    char line[kStatLineMax];
    bool found = false;
    while (!found && std::fgets(line, sizeof(line), file) != nullptr) {
        if (std::strstr(line, "eth0") == nullptr) continue;
        // "eth0:" and the first counter may touch ("eth0:12345"): read after the colon.
        const char* colon = std::strchr(line, ':');
        const char* counters = colon != nullptr ? colon + 1 : line;
        found = std::sscanf(counters, "%llu %*u %*u %*u %*u %*u %*u %*u %llu", rx, tx) == 2;
    }
    std::fclose(file);
    return found;
}

// (second - first) / window when both reads are non-zero and the counter did not go backwards.
void update_rate(unsigned long long first, unsigned long long second, uint64_t* rate) {
    if (first == 0 || second == 0 || second < first) return;
    *rate = (second - first) / static_cast<unsigned long long>(kTrafficSampleMs / 1000);
}

void sample_traffic(SystemStats* stats) {
    unsigned long long rx1 = 0, tx1 = 0, rx2 = 0, tx2 = 0;
    const bool first = read_eth0_counters(&rx1, &tx1);
    pause_ms(kTrafficSampleMs);
    const bool second = read_eth0_counters(&rx2, &tx2);
    if (!first || !second) return;
    update_rate(rx1, rx2, &stats->download);
    update_rate(tx1, tx2, &stats->upload);
}

void sample_temperature(SystemStats* stats) {
    FILE* file = std::fopen(fixed_path("/sys/class/thermal/thermal_zone0/temp").c_str(), "r");
    if (file == nullptr) return;
    long long millidegrees = 0;
    if (std::fscanf(file, "%lld", &millidegrees) == 1) stats->temperature = static_cast<float>(millidegrees) / 1000.0f;
    std::fclose(file);
}

}  // namespace

void collect_system_stats(SystemStats* stats) {
    if (stats == nullptr) return;
    sample_cpu(stats);
    sample_memory(stats);
    sample_traffic(stats);
    sample_temperature(stats);
    struct sysinfo info {};
    if (sysinfo(&info) == 0) stats->uptime = info.uptime;
}

void reset_system_stats_history() {
    std::lock_guard<std::mutex> lock(g_cpu_mutex);
    g_previous_total = 0;
    g_previous_busy = 0;
}
