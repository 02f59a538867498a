// The network library's own log: one whole line at a time to standard output and, once opened, to a file.
#pragma once

#include <cstdarg>
#include <fstream>
#include <mutex>
#include <string>

namespace mnet {

enum Priority {
    LogDebug = 0,
    LogConfig = 1,
    LogInfo = 2,
    LogWarning = 3,
    LogError = 4,
};

class Logger {
public:
    // Line buffers: longer text is cut at the buffer's end.
    static constexpr size_t kLogLineBytes = 2048;
    static constexpr size_t kLog2LineBytes = 4096;

    static Logger& Instance();

    void Init(const char* pathname);
    void Exit();

    // "[LEVEL][file:function:line] text"
    void Log(Priority priority, const char* file, const char* func, int line, const char* fmt, ...)
        __attribute__((format(printf, 6, 7)));
    // "[LEVEL] text"
    void Log2(Priority priority, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

    static const char* PriorityName(Priority priority);

private:
    Logger() = default;
    void Write(const std::string& line);

    std::mutex mutex_;
    std::ofstream ofs_;
};

}  // namespace mnet
