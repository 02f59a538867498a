// MD5 for HTTP Digest authentication.
#pragma once

#include <cstddef>
#include <cstdint>

struct wu_md5_ctx {
    uint32_t state[4];
    uint32_t bits[2];  // bit count, low word then high word
    unsigned char block[64];
};

void wu_md5_init(wu_md5_ctx* ctx);
void wu_md5_update(wu_md5_ctx* ctx, const unsigned char* bytes, size_t length);
// Writes the 16-byte digest and clears the context.
void wu_md5_final(unsigned char digest[16], wu_md5_ctx* ctx);
void wu_md5_transform(uint32_t state[4], const uint32_t block[16]);
// Puts the block's words in host order; the words are little-endian already on this target.
void wu_md5_byte_reverse(unsigned char* bytes, unsigned words);
