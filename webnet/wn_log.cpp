#include "wn_log.h"

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>

#include "wn_strings.h"

namespace {

constexpr int kPrefixWidth = 24;

int g_level = 0;
char* g_file_levels = nullptr;
FILE* g_stream = nullptr;
int g_message_level = -1;

int decimal_digits(int value) {
    int digits = 1;
    for (unsigned v = static_cast<unsigned>(value < 0 ? -value : value); v >= 10; v /= 10) ++digits;
    return digits;
}

const char* base_name(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') name = p + 1;
    }
    return name;
}

}  // namespace

void wu_log_set_level(int level) { g_level = level; }

void wu_log_set_file(FILE* stream) { g_stream = stream; }

void wu_log_set_file_level(const char* list) {
    std::free(g_file_levels);
    g_file_levels = nullptr;
    if (list != nullptr) {
        const size_t n = std::strlen(list) + 1;
        g_file_levels = static_cast<char*>(std::malloc(n));
        if (g_file_levels != nullptr) std::memcpy(g_file_levels, list, n);
    }
}

bool wu_log_print_prefix(int level, const char* file, int line) {
    if (g_level < level && g_file_levels == nullptr) return false;
    char field[kPrefixWidth + 1];
    const int name_room = 22 - decimal_digits(line);
    const int written = std::snprintf(field, sizeof field, "%.*s:%d", name_room > 0 ? name_room : 0,
                                      base_name(file != nullptr ? file : ""), line);
    const size_t unpadded = written < 0 ? 0 : (static_cast<size_t>(written) < sizeof field ? written : sizeof field - 1);
    if (g_file_levels != nullptr) {
        int applies = g_level;
        wn_str rest = wn_mk_str(g_file_levels);
        wn_str key;
        wn_str value;
        while ((rest = wn_next_comma_list_entry_n(rest, &key, &value)).p != nullptr) {
            if (value.len > 0 && key.len <= unpadded && std::memcmp(field, key.p, key.len) == 0) {
                applies = value.p[0] - '0';
                break;
            }
        }
        if (applies < level) return false;
    }
    for (size_t i = unpadded; i < kPrefixWidth; ++i) field[i] = ' ';
    field[kPrefixWidth] = '\0';
    if (g_stream == nullptr) g_stream = stderr;
    g_message_level = level;
    std::fputs(field, g_stream);
    return true;
}

void wu_log_printf(const char* format, ...) {
    FILE* stream = g_stream != nullptr ? g_stream : stderr;
    va_list args;
    va_start(args, format);
    std::vfprintf(stream, format, args);
    va_end(args);
    std::fputc('\n', stream);
    std::fflush(stream);
    g_message_level = -1;
}

double wu_time() {
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0) return 0;
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_usec) / 1000000.0;
}

double wu_timegm(const struct tm* t) {
    // Days from the civil date, proleptic Gregorian, counted in 64 bits so no field overflows.
    int64_t year = 1900LL + t->tm_year;
    int64_t month = t->tm_mon;
    year += month / 12;
    month %= 12;
    if (month < 0) {
        month += 12;
        --year;
    }
    const int64_t y = month < 2 ? year - 1 : year;  // March-based year
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t year_of_era = y - era * 400;
    const int64_t march_month = (month + 10) % 12;  // March = 0
    const int64_t day_of_year = (153 * march_month + 2) / 5;
    const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    const int64_t days = era * 146097 + day_of_era - 719468 + (t->tm_mday - 1);
    const double seconds = static_cast<double>(days) * 86400.0 + t->tm_hour * 3600.0 + t->tm_min * 60.0 + t->tm_sec;
    return seconds < 0 ? -1 : seconds;
}
