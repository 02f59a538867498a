#include "wn_util.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>

#include "wn_base64.h"
#include "wn_strings.h"

const char* wn_skip(const char* position, const char* end, const char* delimiters, wn_str* slice) {
    slice->p = position;
    while (position < end && std::strchr(delimiters, *position) == nullptr) ++position;
    slice->len = static_cast<size_t>(position - slice->p);
    while (position < end && std::strchr(delimiters, *position) != nullptr) ++position;
    return position;
}

int wn_stat(const char* path, struct stat* st) { return stat(path, st); }

FILE* wn_fopen(const char* path, const char* mode) { return std::fopen(path, mode); }

int wn_open(const char* path, int flags, int mode) { return open(path, flags, mode); }

size_t wn_fread(void* data, size_t size, size_t count, FILE* stream) { return std::fread(data, size, count, stream); }

size_t wn_fwrite(const void* data, size_t size, size_t count, FILE* stream) {
    return std::fwrite(data, size, count, stream);
}

void wn_set_close_on_exec(int fd) { fcntl(fd, F_SETFD, FD_CLOEXEC); }

int wn_get_errno() { return errno; }

void wn_base64_encode(const unsigned char* bytes, int length, char* out) { wu_base64_encode(bytes, length, out); }

int wn_base64_decode(const unsigned char* text, int length, char* out) {
    return wu_base64_decode(text, length, out, nullptr);
}

namespace {

void put_mbuf(int c, void* user) {
    const char byte = static_cast<char>(c);
    mbuf_append(static_cast<mbuf*>(user), &byte, 1);
}

}  // namespace

void wn_mbuf_append_base64(mbuf* buffer, const void* bytes, size_t length) {
    wu_base64_ctx ctx;
    wu_base64_init(&ctx, put_mbuf, buffer);
    wu_base64_update(&ctx, static_cast<const unsigned char*>(bytes), length);
    wu_base64_finish(&ctx);
}

void wn_basic_auth_header(wn_str user, wn_str password, mbuf* buffer) {
    static const char kStart[] = "Authorization: Basic ";
    mbuf_append(buffer, kStart, sizeof kStart - 1);
    wu_base64_ctx ctx;
    wu_base64_init(&ctx, put_mbuf, buffer);
    wu_base64_update(&ctx, reinterpret_cast<const unsigned char*>(user.p), user.len);
    if (password.p != nullptr) {
        wu_base64_update(&ctx, reinterpret_cast<const unsigned char*>(":"), 1);
        wu_base64_update(&ctx, reinterpret_cast<const unsigned char*>(password.p), password.len);
    }
    wu_base64_finish(&ctx);
    mbuf_append(buffer, "\r\n", 2);
}

int wn_sock_addr_to_str(const struct sockaddr_in* address, char* buffer, size_t size, int flags) {
    if (buffer == nullptr || size == 0) return 0;
    std::memset(buffer, 0, size);
    if (flags & WN_SOCK_STRINGIFY_IP) {
        if (inet_ntop(AF_INET, &address->sin_addr, buffer, static_cast<socklen_t>(size)) == nullptr) {
            buffer[0] = '\0';
            return 0;
        }
    }
    if (flags & WN_SOCK_STRINGIFY_PORT) {
        const int port = ntohs(address->sin_port);
        if (flags & WN_SOCK_STRINGIFY_IP) {
            const size_t length = std::strlen(buffer);
            if (length + 1 < size) std::snprintf(buffer + length, size - length, ":%d", port);
        } else {
            std::snprintf(buffer, size, "%d", port);
        }
    }
    return static_cast<int>(std::strlen(buffer));
}

int wn_hexdump(const void* bytes, int length, char* buffer, int buffer_size) {
    return wn_hexdump_offset(bytes, length, buffer, buffer_size, 0);
}

int wn_hexdump_offset(const void* bytes, int length, char* buffer, int buffer_size, int first_offset) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    char characters[17];
    int n = 0;
    if (buffer == nullptr || buffer_size <= 0) return 0;
    buffer[0] = '\0';
    // Each piece is bounded by the space left; once the buffer is full the dump stops there.
    auto put = [&](const char* format, auto... args) {
        if (n >= buffer_size - 1) return false;
        const int w = std::snprintf(buffer + n, static_cast<size_t>(buffer_size - n), format, args...);
        if (w < 0) return false;
        if (w >= buffer_size - n) {
            n = buffer_size - 1;
            return false;
        }
        n += w;
        return true;
    };
    int i = 0;
    for (; i < length; ++i) {
        if (i % 16 == 0) {
            if (i > 0 && !put("  %s\n", characters)) return n;
            if (!put("%04x ", i + first_offset)) return n;
        }
        if (!put(" %02x", p[i])) return n;
        characters[i % 16] = (p[i] >= ' ' && p[i] <= '~') ? static_cast<char>(p[i]) : '.';
        characters[i % 16 + 1] = '\0';
    }
    if (length > 0) {
        for (; i % 16 != 0; ++i) {
            if (!put("%s", "   ")) return n;
        }
        put("  %s\n", characters);
    }
    return n;
}

void wn_fhexdump(FILE* stream, const void* bytes, int length) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    char line[80];
    for (int offset = 0; offset < length; offset += 16) {
        const int chunk = length - offset < 16 ? length - offset : 16;
        wn_hexdump_offset(p + offset, chunk, line, sizeof line, offset);
        std::fputs(line, stream);
    }
}

wn_str wn_url_encode_opt(wn_str bytes, wn_str safe, unsigned flags) {
    const char* hex = (flags & WN_URL_ENCODE_F_UPPERCASE_HEX) ? "0123456789ABCDEF" : "0123456789abcdef";
    mbuf text;
    mbuf_init(&text, bytes.len);
    for (size_t i = 0; i < bytes.len; ++i) {
        const auto c = static_cast<unsigned char>(bytes.p[i]);
        if (std::isalnum(c) || (safe.len > 0 && std::memchr(safe.p, c, safe.len) != nullptr)) {
            mbuf_append(&text, &bytes.p[i], 1);
        } else if (c == ' ' && (flags & WN_URL_ENCODE_F_SPACE_AS_PLUS)) {
            mbuf_append(&text, "+", 1);
        } else {
            const char escaped[3] = {'%', hex[c >> 4], hex[c & 0x0F]};
            mbuf_append(&text, escaped, 3);
        }
    }
    mbuf_append(&text, "", 1);
    mbuf_trim(&text);
    return wn_str{text.buf, text.len > 0 ? text.len - 1 : 0};
}

wn_str wn_url_encode(wn_str bytes) { return wn_url_encode_opt(bytes, wn_mk_str("._-$,;~()/"), 0); }

int wn_url_decode(const char* src, int src_len, char* dst, int dst_size, int is_form) {
    if (dst == nullptr || dst_size <= 0) return -1;
    int i = 0;
    int j = 0;
    for (; i < src_len && j < dst_size - 1; ++i, ++j) {
        if (src[i] == '%') {
            if (i + 2 >= src_len || !std::isxdigit(static_cast<unsigned char>(src[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(src[i + 2]))) {
                return -1;
            }
            dst[j] = static_cast<char>((wu_hex_digit_value(src[i + 1]) << 4) | wu_hex_digit_value(src[i + 2]));
            i += 2;
        } else if (is_form && src[i] == '+') {
            dst[j] = ' ';
        } else {
            dst[j] = src[i];
        }
    }
    dst[j] = '\0';
    return i >= src_len ? j : -1;
}
