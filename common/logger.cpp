#include "logger.h"

#include <sys/time.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

Logger* Logger::get_instance() {
    static Logger instance;
    return &instance;
}

void Logger::set_path(const std::string& path) {
    std::lock_guard<std::mutex> lock(path_mutex_);
    path_ = path;
}

std::string Logger::get_path() {
    std::lock_guard<std::mutex> lock(path_mutex_);
    return path_;
}

void Logger::set_level(int level) {
    level_.store(level, std::memory_order_relaxed);
}

void Logger::set_enable() {
    echo_.store(true, std::memory_order_relaxed);
}

void Logger::set_disable() {
    echo_.store(false, std::memory_order_relaxed);
}

void Logger::write(const char* tag, const char* message, const char* file, int line) {
    if (tag == nullptr) tag = "";
    if (message == nullptr) message = "";
    if (file == nullptr) file = "";
    const char* slash = std::strrchr(file, '/');
    const char* base = slash != nullptr ? slash + 1 : file;

    std::string text;
    text.reserve(std::strlen(message) + 64);
    text.append("[").append(tag).append("][").append(get_time_text()).append("][");
    text.append(base).append(":").append(std::to_string(line)).append("]");
    text.append(message).append("\r\n");

    const std::string path = get_path();
    if (path.empty()) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        return;
    }
    FILE* out = std::fopen(path.c_str(), "ab+");
    if (out != nullptr) {
        std::fwrite(text.data(), 1, text.size(), out);
        std::fclose(out);
    }
    if (echo_.load(std::memory_order_relaxed)) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
}

char* format_into_buffer(char* buffer, size_t size, const char* format, ...) {
    if (buffer == nullptr || size == 0) return buffer;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, size, format, args);
    va_end(args);
    // vsnprintf returns the length the whole message would need; the terminator goes where the text
    // really ends, never past the buffer.
    size_t end = n < 0 ? 0 : static_cast<size_t>(n);
    if (end > size - 1) end = size - 1;
    buffer[end] = '\0';
    return buffer + end;
}

int64_t get_epoch_ms() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

std::string get_time_text() {
    // One clock read for the calendar fields and the milliseconds, so a second boundary cannot put the
    // milliseconds of one second behind the fields of the other.
    timeval tv{};
    gettimeofday(&tv, nullptr);
    const time_t seconds = tv.tv_sec;
    tm local{};
    localtime_r(&seconds, &local);
    char text[96];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(tv.tv_usec / 1000));
    return text;
}
