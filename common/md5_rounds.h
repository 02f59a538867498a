// The 64 rounds of MD5 (RFC 1321) over one block, shared by the RTSP server's digest authentication and
// the networking library's digests.
#pragma once

#include <cstdint>

// Adds the digest of one 64-byte block, given as 16 little-endian words, to the four-word state.
void md5_rounds(uint32_t state[4], const uint32_t words[16]);
