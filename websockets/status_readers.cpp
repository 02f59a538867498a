#include "status_readers.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "fixed_path.h"

namespace {

constexpr float kNoTemperature = -1000.0f;
constexpr int kCpuFieldsMax = 10;
// In a "/proc/net/dev" line: received bytes, seven other receive counters, then transmitted bytes.
constexpr int kNetDevSkippedFields = 7;

std::mutex g_cpu_mutex;
int64_t g_cpu_previous_total = 0;
int64_t g_cpu_previous_idle = 0;

// Reads the next line (cut at kStatusLineMax - 1 characters, the rest of a longer line skipped); false at
// the end of the file.
bool read_line(FILE* file, std::string* line) {
    char buffer[kStatusLineMax];
    if (fgets(buffer, sizeof(buffer), file) == nullptr) return false;
    size_t length = strlen(buffer);
    if (length > 0 && buffer[length - 1] != '\n' && !feof(file)) {
        int c;
        while ((c = fgetc(file)) != EOF && c != '\n') {
        }
    }
    while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r')) --length;
    line->assign(buffer, length);
    return true;
}

std::string trim_blanks(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// Parses the unsigned decimal numbers of text, at most max of them.
std::vector<uint64_t> read_numbers(const char* text, size_t max) {
    std::vector<uint64_t> numbers;
    const char* p = text;
    while (numbers.size() < max) {
        while (*p == ' ' || *p == '\t') ++p;
        if (*p < '0' || *p > '9') break;
        char* end = nullptr;
        errno = 0;
        const unsigned long long value = strtoull(p, &end, 10);
        if (errno != 0 || end == p) break;
        numbers.push_back(value);
        p = end;
    }
    return numbers;
}

}  // namespace

double get_cpu_occupy() {
    FILE* file = fopen(fixed_path("/proc/stat").c_str(), "r");
    if (file == nullptr) return 0.0;
    std::string line;
    const bool have_line = read_line(file, &line);
    fclose(file);
    if (!have_line) return 0.0;
    const size_t start = line.find_first_of(" \t");
    if (start == std::string::npos) return 0.0;
    const std::vector<uint64_t> fields = read_numbers(line.c_str() + start, kCpuFieldsMax);
    if (fields.size() < 4) return 0.0;
    int64_t total = 0;
    for (uint64_t v : fields) total += static_cast<int64_t>(v);
    const int64_t idle = static_cast<int64_t>(fields[3]);

    std::lock_guard<std::mutex> lock(g_cpu_mutex);
    const int64_t delta_total = total - g_cpu_previous_total;
    const int64_t delta_idle = idle - g_cpu_previous_idle;
    g_cpu_previous_total = total;
    g_cpu_previous_idle = idle;
    if (delta_total == 0) return 0.0;
    const double busy = (1.0 - static_cast<double>(delta_idle) / static_cast<double>(delta_total)) * 100.0;
    // Counters that went backwards (another file, a wrap) must not give a percent outside 0..100.
    return std::min(100.0, std::max(0.0, busy));
}

MemInfo read_meminfo() {
    MemInfo info;
    FILE* file = fopen(fixed_path("/proc/meminfo").c_str(), "r");
    if (file == nullptr) return info;
    std::string line;
    while (read_line(file, &line)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string label = line.substr(0, colon);
        const std::vector<uint64_t> numbers = read_numbers(line.c_str() + colon + 1, 1);
        if (numbers.empty()) continue;
        if (label == "MemTotal") info.total = numbers[0];
        else if (label == "MemFree") info.free = numbers[0];
        else if (label == "MemAvailable") info.available = numbers[0];
        else if (label == "Buffers") info.buffers = numbers[0];
        else if (label == "Cached") info.cached = numbers[0];
    }
    fclose(file);
    return info;
}

double get_memories_occupy() {
    const MemInfo info = read_meminfo();
    if (info.total == 0) return 0.0;
    const uint64_t used = info.available < info.total ? info.total - info.available : 0;
    return static_cast<double>(used) * 100.0 / static_cast<double>(info.total);
}

float get_device_temperature() {
    const std::string folder = fixed_path("/sys/class/thermal/");
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return kNoTemperature;
    float hottest = kNoTemperature;
    while (const dirent* entry = readdir(dir)) {
        if (strstr(entry->d_name, "thermal_zone") == nullptr) continue;
        FILE* file = fopen((folder + entry->d_name + "/temp").c_str(), "r");
        if (file == nullptr) continue;
        long millidegrees = 0;
        const int read = fscanf(file, "%ld", &millidegrees);
        fclose(file);
        if (read != 1) continue;
        hottest = std::max(hottest, static_cast<float>(millidegrees) / 1000.0f);
    }
    closedir(dir);
    return hottest;
}

std::vector<std::string> read_net_dev() {
    std::vector<std::string> names;
    FILE* file = fopen(fixed_path("/proc/net/dev").c_str(), "r");
    if (file == nullptr) return names;
    std::string line;
    for (int header = 0; header < 2 && read_line(file, &line); ++header) {
    }
    while (names.size() < kMaxNetInterfaces && read_line(file, &line)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string name = trim_blanks(line.substr(0, colon));
        if (name.find("eth0") != std::string::npos) names.push_back(name);
    }
    fclose(file);
    return names;
}

std::map<std::string, NetCounters> read_net_counters() {
    std::map<std::string, NetCounters> counters;
    const std::vector<std::string> names = read_net_dev();
    if (names.empty()) return counters;
    FILE* file = fopen(fixed_path("/proc/net/dev").c_str(), "r");
    if (file == nullptr) return counters;
    std::string line;
    while (read_line(file, &line)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        // The whole name must match: "eth0" must not take the counters of "veth0".
        const std::string name = trim_blanks(line.substr(0, colon));
        if (std::find(names.begin(), names.end(), name) == names.end()) continue;
        const std::vector<uint64_t> numbers = read_numbers(line.c_str() + colon + 1, kNetDevSkippedFields + 2);
        if (numbers.size() < kNetDevSkippedFields + 2) continue;
        counters[name] = NetCounters{numbers[0], numbers[kNetDevSkippedFields + 1]};
    }
    fclose(file);
    return counters;
}
