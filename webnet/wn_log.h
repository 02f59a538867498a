// The networking library's own levelled log (separate from the process logger) and its time functions.
// A message prints when its level is not above the level that applies: the global level, or a level set
// for a source file (or some of its lines) in the file-level list "prefix=digit,...".
#pragma once

#include <cstdio>
#include <ctime>

// Levels the library logs at.
constexpr int WN_LOG_ERROR = 0;
constexpr int WN_LOG_DEBUG = 3;
constexpr int WN_LOG_VERBOSE = 4;

void wu_log_set_level(int level);
void wu_log_set_file(FILE* stream);
void wu_log_set_file_level(const char* list);
// Decides whether a message of this level from this file and line prints; when it does, writes the 24
// characters of its prefix ("name:line" padded) and returns true.
bool wu_log_print_prefix(int level, const char* file, int line);
void wu_log_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Every log site of the library: the arguments are only evaluated when the message prints.
#define WN_LOG(level, args)                                          \
    do {                                                             \
        if (wu_log_print_prefix((level), __FILE__, __LINE__)) {      \
            wu_log_printf args;                                      \
        }                                                            \
    } while (0)

// Seconds since the epoch with microseconds; 0 when the clock cannot be read.
double wu_time();
// Seconds since 1970-01-01 00:00:00 UTC of a broken-down time (months outside 0..11 carry into the year);
// -1 for a time before 1970.
double wu_timegm(const struct tm* t);
