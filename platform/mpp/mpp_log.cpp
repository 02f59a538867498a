// The library's log lines, clock and settings.
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "mpp_hook_state.h"

namespace {

std::atomic<MppLogSink> g_sink{nullptr};

void emit(int is_error, const char* format, va_list args) {
    char line[512];
    vsnprintf(line, sizeof(line), format, args);
    // Callers' formats often end in "\r\n"; the sink adds its own line end.
    size_t end = std::strlen(line);
    while (end > 0 && (line[end - 1] == '\n' || line[end - 1] == '\r')) line[--end] = '\0';
    MppLogSink sink = g_sink.load(std::memory_order_acquire);
    if (sink) {
        sink(is_error, line);
    } else {
        std::fprintf(stderr, "mpp%s: %s\n", is_error ? " error" : "", line);
    }
}

}  // namespace

extern "C" {

void mpp_log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit(0, format, args);
    va_end(args);
}

void mpp_err(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emit(1, format, args);
    va_end(args);
}

void mpp_log_set_sink(MppLogSink sink) { g_sink.store(sink, std::memory_order_release); }

int64_t mpp_time(void) {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

MPP_RET mpp_env_get_u32(const char* name, uint32_t* value, uint32_t default_value) {
    if (!value) return MPP_ERR_NULL_PTR;
    if (!name || !mpp::hook_env_value(name, value)) *value = default_value;
    return MPP_OK;
}

}  // extern "C"
