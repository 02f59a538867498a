// The process's one log writer. main points it at its log file and logs start-up through it; the crash
// handler logs the backtrace through it. Every line is
//   [tag][YYYY-MM-DD HH:MM:SS.mmm][file:line]message\r\n
// appended to the file (opened and closed per line, so a line is on disk when write returns) or printed
// when the path is empty; with echo on, file lines are printed too.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

// Size of the message buffer log calls format into; longer messages are cut.
constexpr size_t kLoggerBufferSize = 20480;

class Logger {
public:
    // The one Logger: empty path (standard output), level 1 (nothing logged), echo off.
    static Logger* get_instance();

    void set_path(const std::string& path);
    std::string get_path();
    // A log call writes only while the level is 0 or less.
    void set_level(int level);
    int get_level() const { return level_.load(std::memory_order_relaxed); }
    // The shared kLoggerBufferSize-byte message buffer.
    char* get_buffer() { return buffer_; }
    // Echo file lines to standard output (set_enable) or not (set_disable).
    void set_enable();
    void set_disable();

    // Writes one line; file is reduced to its last path component.
    void write(const char* tag, const char* message, const char* file, int line);

private:
    Logger() = default;

    std::mutex path_mutex_;
    std::string path_;
    std::atomic<int> level_{1};
    char buffer_[kLoggerBufferSize] = {};
    std::atomic<bool> echo_{false};
};

// vsnprintf into buffer (at most size bytes with the terminator); a longer message is cut at size - 1.
// Returns a pointer to the terminating NUL.
char* format_into_buffer(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Milliseconds since the epoch (system clock).
int64_t get_epoch_ms();
// The local time as "YYYY-MM-DD HH:MM:SS.mmm", from one clock read.
std::string get_time_text();

// The log call: while the Logger's level is 0 or less, formats the message and writes it with tag "D" and
// the caller's file and line. The message is formatted into a buffer of the call's own, so two threads
// that log at once cannot overwrite each other's text.
#define LOGGER_D(...)                                                                    \
    do {                                                                                 \
        Logger* logger_instance_ = Logger::get_instance();                               \
        if (logger_instance_->get_level() <= 0) {                                        \
            char logger_message_[kLoggerBufferSize];                                     \
            format_into_buffer(logger_message_, sizeof(logger_message_), __VA_ARGS__);   \
            logger_instance_->write("D", logger_message_, __FILE__, __LINE__);           \
        }                                                                                \
    } while (0)
