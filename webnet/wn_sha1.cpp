#include "wn_sha1.h"

#include <cstring>

namespace {

uint32_t rotate_left(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

constexpr size_t kHmacBlock = 64;

}  // namespace

uint32_t wu_sha1_swap_word(uint32_t word) {
    return (word >> 24) | ((word >> 8) & 0x0000FF00u) | ((word << 8) & 0x00FF0000u) | (word << 24);
}

void wu_sha1_transform(uint32_t state[5], const unsigned char block[64]) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
        uint32_t word;
        std::memcpy(&word, block + 4 * i, 4);
        w[i] = wu_sha1_swap_word(word);  // the words are big-endian
    }
    for (int i = 16; i < 80; ++i) w[i] = rotate_left(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f;
        uint32_t k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const uint32_t t = rotate_left(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotate_left(b, 30);
        b = a;
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    std::memset(w, 0, sizeof w);
}

void wu_sha1_init(wu_sha1_ctx* ctx) {
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xEFCDAB89;
    ctx->state[2] = 0x98BADCFE;
    ctx->state[3] = 0x10325476;
    ctx->state[4] = 0xC3D2E1F0;
    ctx->bits[0] = 0;
    ctx->bits[1] = 0;
}

void wu_sha1_update(wu_sha1_ctx* ctx, const unsigned char* bytes, uint32_t length) {
    size_t used = (ctx->bits[0] >> 3) & 0x3F;
    const uint64_t total = ((static_cast<uint64_t>(ctx->bits[1]) << 32) | ctx->bits[0]) + (static_cast<uint64_t>(length) << 3);
    ctx->bits[0] = static_cast<uint32_t>(total);
    ctx->bits[1] = static_cast<uint32_t>(total >> 32);
    while (length > 0) {
        const size_t take = length < 64 - used ? length : 64 - used;
        std::memcpy(ctx->block + used, bytes, take);
        used += take;
        bytes += take;
        length -= static_cast<uint32_t>(take);
        if (used == 64) {
            wu_sha1_transform(ctx->state, ctx->block);
            used = 0;
        }
    }
}

void wu_sha1_final(unsigned char digest[20], wu_sha1_ctx* ctx) {
    unsigned char length_bytes[8];
    for (int i = 0; i < 4; ++i) {
        length_bytes[i] = static_cast<unsigned char>(ctx->bits[1] >> (24 - 8 * i));
        length_bytes[4 + i] = static_cast<unsigned char>(ctx->bits[0] >> (24 - 8 * i));
    }
    const size_t used = (ctx->bits[0] >> 3) & 0x3F;
    static const unsigned char kPad[64] = {0x80};
    wu_sha1_update(ctx, kPad, static_cast<uint32_t>(used < 56 ? 56 - used : 120 - used));
    wu_sha1_update(ctx, length_bytes, 8);
    for (int i = 0; i < 5; ++i) {
        for (int k = 0; k < 4; ++k) digest[4 * i + k] = static_cast<unsigned char>(ctx->state[i] >> (24 - 8 * k));
    }
    std::memset(ctx, 0, sizeof *ctx);
    std::memset(length_bytes, 0, sizeof length_bytes);
}

void wu_hmac_sha1(const unsigned char* key, size_t key_length, const unsigned char* data, size_t data_length,
                  unsigned char digest[20]) {
    unsigned char key_block[kHmacBlock] = {0};
    if (key_length > kHmacBlock) {
        wu_sha1_ctx ctx;
        wu_sha1_init(&ctx);
        wu_sha1_update(&ctx, key, static_cast<uint32_t>(key_length));
        wu_sha1_final(key_block, &ctx);
    } else if (key_length > 0) {
        std::memcpy(key_block, key, key_length);
    }
    unsigned char pad[kHmacBlock];
    unsigned char inner[20];
    wu_sha1_ctx ctx;
    for (size_t i = 0; i < kHmacBlock; ++i) pad[i] = key_block[i] ^ 0x36;
    wu_sha1_init(&ctx);
    wu_sha1_update(&ctx, pad, kHmacBlock);
    wu_sha1_update(&ctx, data, static_cast<uint32_t>(data_length));
    wu_sha1_final(inner, &ctx);
    for (size_t i = 0; i < kHmacBlock; ++i) pad[i] = key_block[i] ^ 0x5C;
    wu_sha1_init(&ctx);
    wu_sha1_update(&ctx, pad, kHmacBlock);
    wu_sha1_update(&ctx, inner, sizeof inner);
    wu_sha1_final(digest, &ctx);
}
