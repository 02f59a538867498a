// SHA-1 for the WebSocket accept key, and HMAC-SHA1.
#pragma once

#include <cstddef>
#include <cstdint>

struct wu_sha1_ctx {
    uint32_t state[5];
    uint32_t bits[2];  // bit count, low word then high word
    unsigned char block[64];
};

void wu_sha1_init(wu_sha1_ctx* ctx);
void wu_sha1_update(wu_sha1_ctx* ctx, const unsigned char* bytes, uint32_t length);
// Writes the 20-byte digest (five big-endian words) and clears the context.
void wu_sha1_final(unsigned char digest[20], wu_sha1_ctx* ctx);
void wu_sha1_transform(uint32_t state[5], const unsigned char block[64]);
uint32_t wu_sha1_swap_word(uint32_t word);
void wu_hmac_sha1(const unsigned char* key, size_t key_length, const unsigned char* data, size_t data_length,
                  unsigned char digest[20]);
