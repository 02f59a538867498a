// The stand-in's diagnostics: one line each on the error output. It is a library below the program that
// uses it, so it writes no log of that program's.
#pragma once

void ndi_shim_log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

#define NDI_SHIM_LOG(...) ndi_shim_log_line(__VA_ARGS__)
