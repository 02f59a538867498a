#include "wn_md5.h"

#include <cstring>

#include "md5_rounds.h"

namespace {

void transform_block(wu_md5_ctx* ctx) {
    uint32_t words[16];
    wu_md5_byte_reverse(ctx->block, 16);
    std::memcpy(words, ctx->block, sizeof words);
    wu_md5_transform(ctx->state, words);
}

}  // namespace

void wu_md5_byte_reverse(unsigned char* bytes, unsigned words) {
    // Little-endian host: the bytes already are the words.
    (void)bytes;
    (void)words;
}

void wu_md5_transform(uint32_t state[4], const uint32_t block[16]) { md5_rounds(state, block); }

void wu_md5_init(wu_md5_ctx* ctx) {
    ctx->state[0] = 0x67452301;
    ctx->state[1] = 0xefcdab89;
    ctx->state[2] = 0x98badcfe;
    ctx->state[3] = 0x10325476;
    ctx->bits[0] = 0;
    ctx->bits[1] = 0;
}

void wu_md5_update(wu_md5_ctx* ctx, const unsigned char* bytes, size_t length) {
    size_t used = (ctx->bits[0] >> 3) & 0x3F;
    const uint64_t total = ((static_cast<uint64_t>(ctx->bits[1]) << 32) | ctx->bits[0]) + (static_cast<uint64_t>(length) << 3);
    ctx->bits[0] = static_cast<uint32_t>(total);
    ctx->bits[1] = static_cast<uint32_t>(total >> 32);
    while (length > 0) {
        const size_t take = length < 64 - used ? length : 64 - used;
        std::memcpy(ctx->block + used, bytes, take);
        used += take;
        bytes += take;
        length -= take;
        if (used == 64) {
            transform_block(ctx);
            used = 0;
        }
    }
}

void wu_md5_final(unsigned char digest[16], wu_md5_ctx* ctx) {
    unsigned char length_bytes[8];
    for (int i = 0; i < 4; ++i) {
        length_bytes[i] = static_cast<unsigned char>(ctx->bits[0] >> (8 * i));
        length_bytes[4 + i] = static_cast<unsigned char>(ctx->bits[1] >> (8 * i));
    }
    const size_t used = (ctx->bits[0] >> 3) & 0x3F;
    static const unsigned char kPad[64] = {0x80};
    wu_md5_update(ctx, kPad, used < 56 ? 56 - used : 120 - used);
    wu_md5_update(ctx, length_bytes, 8);
    for (int i = 0; i < 4; ++i) {
        for (int k = 0; k < 4; ++k) digest[4 * i + k] = static_cast<unsigned char>(ctx->state[i] >> (8 * k));
    }
    std::memset(ctx, 0, sizeof *ctx);
}
