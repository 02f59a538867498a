// Base64 with the standard alphabet ("+" and "/"), "=" padding and no line breaks: HTTP Basic
// authentication and the library's encoding helpers.
#pragma once

#include <cstddef>
#include <cstdio>

struct wu_base64_ctx {
    void (*output)(int c, void* user);
    void* user;
    unsigned char pending[3];
    int pending_count;
};

void wu_base64_init(wu_base64_ctx* ctx, void (*output)(int c, void* user), void* user);
void wu_base64_update(wu_base64_ctx* ctx, const unsigned char* bytes, size_t length);
void wu_base64_finish(wu_base64_ctx* ctx);
// out holds 4 * ceil(length / 3) + 1 bytes; the text is NUL-terminated.
void wu_base64_encode(const unsigned char* bytes, int length, char* out);
void wu_fprint_base64(FILE* stream, const unsigned char* bytes, int length);
// Decodes whole groups of four; a group with a character outside the alphabet ends decoding. out holds
// 3 * (length / 4) + 1 bytes and is NUL-terminated. Returns the characters used (a multiple of 4).
int wu_base64_decode(const unsigned char* text, int length, char* out, int* decoded_length);
