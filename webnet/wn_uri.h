// URIs held as slices of the caller's text: split without copying, "." and ".." segments removed from an
// absolute path, and a URI text assembled from parts.
#pragma once

#include <cstdint>

#include "wn_str.h"

// Splits a URI; every out pointer may be null; absent parts are {null, 0} and an absent port is 0.
// Returns 0, or -1 for a "[" host without its "]".
int wn_parse_uri(wn_str uri, wn_str* scheme, wn_str* user_info, wn_str* host, unsigned int* port, wn_str* path,
                 wn_str* query, wn_str* fragment);
// The slice from *position up to the first separator (or end); *position moves past that separator.
void wn_parse_uri_component(const char** position, const char* end, const char* separators, wn_str* slice);
// out->p names the output buffer (at least in.len bytes; it may be in's own bytes). Returns 1, or 0 when
// the input is empty or does not start with "/".
int wn_normalize_uri_path(const wn_str* in, wn_str* out);
// A heap text the caller frees (not NUL-terminated); returns 0, or -1 with *out = {null, 0}.
int wn_assemble_uri(const wn_str* scheme, const wn_str* user_info, const wn_str* host, unsigned int port,
                    const wn_str* path, const wn_str* query, const wn_str* fragment, int normalize_path, wn_str* out);
