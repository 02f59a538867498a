#include "logger.h"

#include <cstdio>
#include <iostream>

#include "timestamp.h"

namespace mnet {

namespace {

// Appends the formatted text after the prefix already in buf, cutting it at the buffer's end.
void AppendFormatted(char* buf, size_t size, int prefix_len, const char* fmt, va_list args) {
    size_t used = prefix_len < 0 ? 0 : static_cast<size_t>(prefix_len);
    if (used >= size - 1) return;
    vsnprintf(buf + used, size - used, fmt, args);
}

}  // namespace

Logger& Logger::Instance() {
    static Logger logger;
    return logger;
}

const char* Logger::PriorityName(Priority priority) {
    static const char* const kNames[] = {"DEBUG", "CONFIG", "INFO", "WARNING", "ERROR"};
    int index = static_cast<int>(priority);
    if (index < 0 || index > 4) return "UNKNOWN";
    return kNames[index];
}

void Logger::Init(const char* pathname) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pathname == nullptr || *pathname == '\0') return;
    if (ofs_.is_open()) ofs_.close();
    ofs_.open(pathname, std::ios::out | std::ios::binary);
    if (ofs_.fail()) std::cerr << "Failed to open logfile." << std::endl;
}

void Logger::Exit() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ofs_.is_open()) ofs_.close();
}

void Logger::Log(Priority priority, const char* file, const char* func, int line, const char* fmt, ...) {
    char buf[kLogLineBytes] = {0};
    va_list args;
    va_start(args, fmt);
    AppendFormatted(buf, sizeof(buf),
                    snprintf(buf, sizeof(buf), "[%s][%s:%s:%d] ", PriorityName(priority), file, func, line), fmt,
                    args);
    va_end(args);
    std::lock_guard<std::mutex> lock(mutex_);
    Write(buf);
}

void Logger::Log2(Priority priority, const char* fmt, ...) {
    char buf[kLog2LineBytes] = {0};
    va_list args;
    va_start(args, fmt);
    AppendFormatted(buf, sizeof(buf), snprintf(buf, sizeof(buf), "[%s] ", PriorityName(priority)), fmt, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(mutex_);
    Write(buf);
}

// Mutex held by the caller.
void Logger::Write(const std::string& line) {
    std::string text = "[" + Timestamp::Localtime() + "]" + line + "\n";
    if (ofs_.is_open()) {
        ofs_ << text;
        ofs_.flush();
    }
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

}  // namespace mnet
