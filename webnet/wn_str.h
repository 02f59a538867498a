// Non-owning byte slices: request lines, headers, URIs, patterns and list entries are parsed into them
// without copying. A slice is not NUL-terminated unless its maker says so.
#pragma once

#include <cstddef>

struct wn_str {
    const char* p;
    size_t len;
};

wn_str wn_mk_str(const char* text);
wn_str wn_mk_str_n(const char* p, size_t len);
// Compares the common prefix; when equal, the difference of the lengths decides (0 only when both match).
int wn_vcmp(const wn_str* slice, const char* text);
int wn_vcasecmp(const wn_str* slice, const char* text);
// Heap copies, released with wn_strfree; an empty slice or a failed allocation gives {null, 0}.
wn_str wn_strdup(wn_str slice);
wn_str wn_strdup_nul(wn_str slice);
void wn_strfree(wn_str* slice);
const char* wn_strchr(wn_str slice, int byte);
int wn_strcmp(wn_str a, wn_str b);
int wn_strncmp(wn_str a, wn_str b, size_t n);
int wn_strcasecmp(wn_str a, wn_str b);
const char* wn_strstr(wn_str haystack, wn_str needle);
wn_str wn_strstrip(wn_str slice);
bool wn_str_starts_with(wn_str slice, wn_str prefix);
