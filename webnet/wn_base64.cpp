#include "wn_base64.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr unsigned char kPadding = 64;
constexpr unsigned char kInvalid = 255;

void emit_group(wu_base64_ctx* ctx, const unsigned char* b) {
    ctx->output(kAlphabet[b[0] >> 2], ctx->user);
    ctx->output(kAlphabet[((b[0] & 0x03) << 4) | (b[1] >> 4)], ctx->user);
    ctx->output(kAlphabet[((b[1] & 0x0F) << 2) | (b[2] >> 6)], ctx->user);
    ctx->output(kAlphabet[b[2] & 0x3F], ctx->user);
}

// Looks a character up by its low 7 bits.
unsigned char decode_value(unsigned char c) {
    c &= 0x7F;
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c - 'A');
    if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 'a' + 26);
    if (c >= '0' && c <= '9') return static_cast<unsigned char>(c - '0' + 52);
    if (c == '+') return 62;
    if (c == '/') return 63;
    if (c == '=') return kPadding;
    return kInvalid;
}

struct TextSink {
    char* out;
};

void put_text(int c, void* user) { *static_cast<TextSink*>(user)->out++ = static_cast<char>(c); }

void put_stream(int c, void* user) { std::fputc(c, static_cast<FILE*>(user)); }

}  // namespace

void wu_base64_init(wu_base64_ctx* ctx, void (*output)(int, void*), void* user) {
    ctx->output = output;
    ctx->user = user;
    ctx->pending_count = 0;
}

void wu_base64_update(wu_base64_ctx* ctx, const unsigned char* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        ctx->pending[ctx->pending_count++] = bytes[i];
        if (ctx->pending_count == 3) {
            emit_group(ctx, ctx->pending);
            ctx->pending_count = 0;
        }
    }
}

void wu_base64_finish(wu_base64_ctx* ctx) {
    if (ctx->pending_count == 0) return;
    const unsigned char* b = ctx->pending;
    if (ctx->pending_count == 1) ctx->pending[1] = 0;
    ctx->pending[2] = 0;
    ctx->output(kAlphabet[b[0] >> 2], ctx->user);
    ctx->output(kAlphabet[((b[0] & 0x03) << 4) | (b[1] >> 4)], ctx->user);
    if (ctx->pending_count == 2) {
        ctx->output(kAlphabet[(b[1] & 0x0F) << 2], ctx->user);
    } else {
        ctx->output('=', ctx->user);
    }
    ctx->output('=', ctx->user);
    ctx->pending_count = 0;
}

void wu_base64_encode(const unsigned char* bytes, int length, char* out) {
    TextSink sink{out};
    wu_base64_ctx ctx;
    wu_base64_init(&ctx, put_text, &sink);
    wu_base64_update(&ctx, bytes, length > 0 ? static_cast<size_t>(length) : 0);
    wu_base64_finish(&ctx);
    *sink.out = '\0';
}

void wu_fprint_base64(FILE* stream, const unsigned char* bytes, int length) {
    wu_base64_ctx ctx;
    wu_base64_init(&ctx, put_stream, stream);
    wu_base64_update(&ctx, bytes, length > 0 ? static_cast<size_t>(length) : 0);
    wu_base64_finish(&ctx);
}

int wu_base64_decode(const unsigned char* text, int length, char* out, int* decoded_length) {
    int used = 0;
    int written = 0;
    while (length - used >= 4) {
        unsigned char v[4];
        bool invalid = false;
        for (int i = 0; i < 4; ++i) {
            v[i] = decode_value(text[used + i]);
            invalid = invalid || v[i] == kInvalid;
        }
        if (invalid) break;
        used += 4;
        if (v[0] == kPadding || v[1] == kPadding) break;
        out[written++] = static_cast<char>((v[0] << 2) | (v[1] >> 4));
        if (v[2] == kPadding) break;
        out[written++] = static_cast<char>(((v[1] & 0x0F) << 4) | (v[2] >> 2));
        if (v[3] == kPadding) break;
        out[written++] = static_cast<char>(((v[2] & 0x03) << 6) | v[3]);
    }
    out[written] = '\0';
    if (decoded_length != nullptr) *decoded_length = written;
    return used;
}
