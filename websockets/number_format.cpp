#include "number_format.h"

#include <cinttypes>
#include <cstdio>

namespace {
constexpr int64_t kKiB = int64_t{1} << 10;
constexpr int64_t kMiB = int64_t{1} << 20;
constexpr int64_t kGiB = int64_t{1} << 30;
constexpr int64_t kTiB = int64_t{1} << 40;
}  // namespace

std::string format_fixed2(double value) {
    char text[64];
    snprintf(text, sizeof(text), "%.2f", value);
    return text;
}

std::string format_mbps(int64_t bytes_per_second) {
    return format_fixed2(static_cast<double>(bytes_per_second) / 1024.0 / 128.0) + " Mbps";
}

std::string format_bytes(int64_t bytes) {
    if (bytes < kKiB) {
        char text[32];
        snprintf(text, sizeof(text), "%" PRId64 " B", bytes);
        return text;
    }
    if (bytes < kMiB) return format_fixed2(to_kbytes(bytes)) + " KB";
    if (bytes < kGiB) return format_fixed2(to_megabytes(bytes)) + " MB";
    if (bytes < kTiB) return format_fixed2(to_gigabytes(bytes)) + " GB";
    return format_fixed2(to_terabytes(bytes)) + " TB";
}

double to_kbytes(int64_t bytes) {
    return static_cast<double>(bytes) / static_cast<double>(kKiB);
}

double to_megabytes(int64_t bytes) {
    return static_cast<double>(bytes) / static_cast<double>(kMiB);
}

double to_megabits(int64_t bytes) {
    return static_cast<double>(bytes) / static_cast<double>(kMiB) * 8.0;
}

double to_gigabytes(int64_t bytes) {
    return static_cast<double>(bytes) / static_cast<double>(kGiB);
}

double to_terabytes(int64_t bytes) {
    return static_cast<double>(bytes) / static_cast<double>(kTiB);
}
