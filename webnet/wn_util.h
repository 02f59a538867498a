// Small services of the networking library: a tokeniser, large-file wrappers of the C library's file
// calls, Base64 helpers for HTTP Basic authentication, socket-address text, a classic hex dump and URL
// encoding.
#pragma once

#include <cstddef>
#include <cstdio>
#include <netinet/in.h>
#include <sys/stat.h>

#include "wn_mbuf.h"
#include "wn_str.h"

// Flags of the address-text routines.
constexpr int WN_SOCK_STRINGIFY_IP = 1;
constexpr int WN_SOCK_STRINGIFY_PORT = 2;
constexpr int WN_SOCK_STRINGIFY_REMOTE = 4;

// Flags of wn_url_encode_opt.
constexpr unsigned WN_URL_ENCODE_F_SPACE_AS_PLUS = 1;
constexpr unsigned WN_URL_ENCODE_F_UPPERCASE_HEX = 2;

// The slice covers the characters up to the first delimiter; the result points past the delimiters after it.
const char* wn_skip(const char* position, const char* end, const char* delimiters, wn_str* slice);

int wn_stat(const char* path, struct stat* st);
FILE* wn_fopen(const char* path, const char* mode);
int wn_open(const char* path, int flags, int mode);
size_t wn_fread(void* data, size_t size, size_t count, FILE* stream);
size_t wn_fwrite(const void* data, size_t size, size_t count, FILE* stream);
void wn_set_close_on_exec(int fd);
int wn_get_errno();

void wn_base64_encode(const unsigned char* bytes, int length, char* out);
int wn_base64_decode(const unsigned char* text, int length, char* out);
void wn_mbuf_append_base64(mbuf* buffer, const void* bytes, size_t length);
// Appends "Authorization: Basic " + Base64 of user[":" password] + "\r\n".
void wn_basic_auth_header(wn_str user, wn_str password, mbuf* buffer);

// The IPv4 address and/or port as text in buffer; returns the text's length.
int wn_sock_addr_to_str(const struct sockaddr_in* address, char* buffer, size_t size, int flags);

int wn_hexdump(const void* bytes, int length, char* buffer, int buffer_size);
// 16 bytes a line: "%04x " offset, " %02x" per byte, then "  " and the printable characters.
int wn_hexdump_offset(const void* bytes, int length, char* buffer, int buffer_size, int first_offset);
void wn_fhexdump(FILE* stream, const void* bytes, int length);

// Letters, digits and the extra safe characters are kept; every other byte becomes "%XX". The caller frees
// the text.
wn_str wn_url_encode_opt(wn_str bytes, wn_str safe, unsigned flags);
wn_str wn_url_encode(wn_str bytes);
// Decodes "%XX" (and "+" as a space in form mode) into dst, NUL-terminated. Returns the decoded length, or
// -1 for a "%" without two hexadecimal digits or when dst is too small for the whole source.
int wn_url_decode(const char* src, int src_len, char* dst, int dst_size, int is_form);
