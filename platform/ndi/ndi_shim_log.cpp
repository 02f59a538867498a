#include "ndi_shim_log.h"

#include <cstdarg>
#include <cstdio>

namespace {
// Longest diagnostic line; longer ones are cut.
constexpr int kMaxLogLine = 512;
}  // namespace

void ndi_shim_log_line(const char* format, ...) {
    char line[kMaxLogLine];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof(line) - 1, format, args);
    va_end(args);
    if (n < 0) return;
    if (n > kMaxLogLine - 2) n = kMaxLogLine - 2;
    line[n++] = '\n';
    // One write per line, so lines of different threads do not interleave.
    fwrite(line, 1, static_cast<size_t>(n), stderr);
}
