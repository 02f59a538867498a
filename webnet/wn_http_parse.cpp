// HTTP message parsing: nothing is copied, every field is a slice of the parsed buffer. Malformed input
// (control bytes, empty request-line fields, bad status codes, a Content-Length that is not a number)
// gives -1 so the caller closes the connection.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "wn_http.h"
#include "wn_log.h"
#include "wn_mbuf.h"
#include "wn_strings.h"
#include "wn_util.h"

namespace {

constexpr size_t kOpenLength = ~static_cast<size_t>(0);

// A result text that lives in the caller's buffer until it outgrows it, then in an mbuf.
struct altbuf {
    mbuf m;
    char* user_buf;
    size_t user_size;
    size_t len;
};

void altbuf_init(altbuf* ab, char* buf, size_t size) {
    mbuf_init(&ab->m, 0);
    ab->user_buf = buf;
    ab->user_size = size;
    ab->len = 0;
}

void altbuf_append(altbuf* ab, char c) {
    if (ab->len < ab->user_size) {
        ab->user_buf[ab->len++] = c;
        return;
    }
    if (ab->len > 0 && ab->m.len == 0) mbuf_append(&ab->m, ab->user_buf, ab->len);
    mbuf_append(&ab->m, &c, 1);
    ab->len = ab->m.len;
}

void altbuf_reset(altbuf* ab) {
    mbuf_free(&ab->m);
    ab->len = 0;
}

char* altbuf_get_buf(altbuf* ab) {
    if (ab->len > ab->user_size) {
        mbuf_trim(&ab->m);
        return ab->m.buf;
    }
    return ab->user_buf;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// A Content-Length must be a plain decimal number: a sign, a fraction or trailing text is refused.
bool parse_content_length(const wn_str& value, int64_t* length) {
    if (value.len == 0 || value.len > 18) return false;
    int64_t n = 0;
    for (size_t i = 0; i < value.len; ++i) {
        if (value.p[i] < '0' || value.p[i] > '9') return false;
        n = n * 10 + (value.p[i] - '0');
    }
    *length = n;
    return true;
}

}  // namespace

int wn_http_get_request_len(const char* buffer, int length) {
    const auto* s = reinterpret_cast<const unsigned char*>(buffer);
    for (int i = 0; i < length; ++i) {
        if (!std::isprint(s[i]) && s[i] != '\r' && s[i] != '\n' && s[i] < 0x80) return -1;
        if (s[i] == '\n' && i + 1 < length && s[i + 1] == '\n') return i + 2;
        if (s[i] == '\n' && i + 2 < length && s[i + 1] == '\r' && s[i + 2] == '\n') return i + 3;
    }
    return 0;
}

const char* wn_http_parse_headers(const char* s, const char* end, int header_length, http_message* hm) {
    int i = 0;
    while (i < WN_MAX_HTTP_HEADERS - 1) {
        wn_str* name = &hm->header_names[i];
        wn_str* value = &hm->header_values[i];
        s = wn_skip(s, end, ": ", name);
        s = wn_skip(s, end, "\r\n", value);
        while (value->len > 0 && value->p[value->len - 1] == ' ') --value->len;
        if (name->len != 0 && value->len == 0) continue;  // a name without a value: the slot is reused
        if (name->len == 0 || value->len == 0) {
            *name = wn_str{nullptr, 0};
            *value = wn_str{nullptr, 0};
            break;
        }
        if (name->len >= 14 && wn_ncasecmp(name->p, "Content-Length", 14) == 0) {
            int64_t length = 0;
            if (!parse_content_length(*value, &length)) return nullptr;
            hm->body.len = static_cast<size_t>(length);
            hm->message.len = static_cast<size_t>(header_length) + hm->body.len;
        }
        ++i;
    }
    return s;
}

int wn_parse_http(const char* buffer, int length, http_message* hm, int is_request) {
    const int header_length = wn_http_get_request_len(buffer, length);
    if (header_length <= 0) return header_length;
    std::memset(hm, 0, sizeof *hm);
    hm->message = wn_str{buffer, kOpenLength};
    hm->body = wn_str{buffer + header_length, kOpenLength};
    const char* s = buffer;
    const char* end = buffer + header_length;
    while (s < end && is_space(*s)) ++s;
    if (is_request) {
        s = wn_skip(s, end, " ", &hm->method);
        s = wn_skip(s, end, " ", &hm->uri);
        s = wn_skip(s, end, "\r\n", &hm->proto);
        if (hm->uri.p <= hm->method.p || hm->proto.p <= hm->uri.p || hm->method.len == 0 || hm->uri.len == 0 ||
            hm->proto.len == 0) {
            return -1;
        }
        const char* query = static_cast<const char*>(std::memchr(hm->uri.p, '?', hm->uri.len));
        if (query != nullptr) {
            hm->query_string = wn_str{query + 1, static_cast<size_t>(hm->uri.p + hm->uri.len - query - 1)};
            hm->uri.len = static_cast<size_t>(query - hm->uri.p);
        }
    } else {
        s = wn_skip(s, end, " ", &hm->proto);
        if (end - s < 4 || s[3] != ' ') return -1;
        // Three digits read here: the buffer is not NUL-terminated, so no C string function may look at it.
        hm->resp_code = 0;
        for (int i = 0; i < 3; ++i) {
            if (s[i] < '0' || s[i] > '9') return -1;
            hm->resp_code = hm->resp_code * 10 + (s[i] - '0');
        }
        if (hm->resp_code < 100 || hm->resp_code >= 600) return -1;
        s += 4;
        s = wn_skip(s, end, "\r\n", &hm->resp_status_msg);
    }
    if (wn_http_parse_headers(s, end, header_length, hm) == nullptr) {
        WN_LOG(WN_LOG_ERROR, ("invalid Content-Length"));
        return -1;
    }
    if (hm->body.len == kOpenLength && is_request && wn_vcasecmp(&hm->method, "PUT") != 0 &&
        wn_vcasecmp(&hm->method, "POST") != 0) {
        hm->body.len = 0;
        hm->message.len = static_cast<size_t>(header_length);
    }
    return header_length;
}

wn_str* wn_get_http_header(http_message* hm, const char* name) {
    const size_t length = std::strlen(name);
    for (int i = 0; i < WN_MAX_HTTP_HEADERS && hm->header_names[i].len > 0; ++i) {
        wn_str* h = &hm->header_names[i];
        if (h->len == length && wn_ncasecmp(h->p, name, length) == 0) return &hm->header_values[i];
    }
    return nullptr;
}

int wn_http_parse_header2(wn_str* header, const char* name, char** buffer, size_t buffer_size) {
    if (header == nullptr || header->p == nullptr) return 0;
    altbuf ab;
    altbuf_init(&ab, *buffer, buffer_size);
    const size_t n = std::strlen(name);
    const char* end = header->p + header->len;
    const char* s = header->p;
    bool found = false;
    for (; s + n < end; ++s) {
        if ((s == header->p || s[-1] == ',' || s[-1] == ' ' || s[-1] == ';') && s[n] == '=' &&
            std::strncmp(s, name, n) == 0) {
            found = true;
            break;
        }
    }
    if (found && s + n + 1 < end) {
        const char* p = s + n + 1;
        if (*p == '"' || *p == '\'') {
            const char quote = *p++;
            while (p < end && *p != quote) {
                if (*p == '\\' && p + 1 < end && p[1] == quote) ++p;
                altbuf_append(&ab, *p++);
            }
            if (p >= end) altbuf_reset(&ab);  // no closing quote: no value
        } else {
            while (p < end && *p != ' ' && *p != ',' && *p != ';') altbuf_append(&ab, *p++);
        }
    }
    const size_t length = ab.len;
    if (length > 0 || buffer_size > 0) altbuf_append(&ab, '\0');
    *buffer = altbuf_get_buf(&ab);
    return static_cast<int>(length);
}

int wn_http_parse_header(wn_str* header, const char* name, char* buffer, size_t buffer_size) {
    char* result = buffer;
    const int length = wn_http_parse_header2(header, name, &result, buffer_size);
    if (result != buffer) {
        std::free(result);
        if (buffer_size > 0) buffer[0] = '\0';
        return 0;
    }
    return length;
}

int wn_get_http_var(const wn_str* text, const char* name, char* dst, size_t dst_size) {
    if (dst == nullptr || dst_size == 0) return -2;
    if (text == nullptr || text->p == nullptr || name == nullptr || text->len == 0) {
        dst[0] = '\0';
        return -1;
    }
    const size_t n = std::strlen(name);
    const char* end = text->p + text->len;
    dst[0] = '\0';
    for (const char* p = text->p; p + n < end; ++p) {
        if ((p == text->p || p[-1] == '&') && p[n] == '=' && wn_ncasecmp(name, p, n) == 0) {
            p += n + 1;
            const char* stop = static_cast<const char*>(std::memchr(p, '&', static_cast<size_t>(end - p)));
            if (stop == nullptr) stop = end;
            const int length = wn_url_decode(p, static_cast<int>(stop - p), dst, static_cast<int>(dst_size), 1);
            return length == -1 ? -3 : length;
        }
    }
    return -4;
}

size_t wn_http_parse_chunk(char* buffer, size_t length, char** data, size_t* data_length) {
    size_t i = 0;
    size_t size = 0;
    while (i < length && std::isxdigit(static_cast<unsigned char>(buffer[i]))) {
        size = size * 16 + static_cast<size_t>(wu_hex_digit_value(buffer[i]));
        if (++i > static_cast<size_t>(kWnMaxChunkSizeDigits)) return 0;  // a seventh digit: malformed
    }
    if (i == 0 || i + 2 > length || buffer[i] != '\r' || buffer[i + 1] != '\n') return 0;
    i += 2;
    if (size > length - i) return 0;
    *data = buffer + i;
    *data_length = size;
    i += size;
    if (i + 2 > length || buffer[i] != '\r' || buffer[i + 1] != '\n') return 0;
    return i + 2;
}

size_t wn_handle_chunked(wn_connection* nc, http_message* hm, char* buffer, size_t buffer_length) {
    wn_http_proto_data* pd = wn_http_get_proto_data(nc);
    size_t body_len = pd->body_len < buffer_length ? pd->body_len : buffer_length;
    size_t i = body_len;
    bool ended = false;
    for (;;) {
        char* data = nullptr;
        size_t data_length = 0;
        const size_t n = wn_http_parse_chunk(buffer + i, buffer_length - i, &data, &data_length);
        if (n == 0) break;
        std::memmove(buffer + body_len, data, data_length);
        body_len += data_length;
        hm->body.len = body_len;
        i += n;
        if (data_length == 0) {
            ended = true;
            break;
        }
    }
    if (i > body_len) {
        std::memmove(buffer + body_len, buffer + i, buffer_length - i);
        std::memset(buffer + body_len + buffer_length - i, 0, i - body_len);
        nc->recv_mbuf.len -= i - body_len;
        buffer_length -= i - body_len;
        pd->body_len = body_len;
        nc->flags &= ~WN_F_DELETE_CHUNK;
        wn_call(nc, nc->handler, nc->user_data, WN_EV_HTTP_CHUNK, hm);
        if (nc->flags & WN_F_DELETE_CHUNK) {
            std::memset(buffer, 0, body_len);
            std::memmove(buffer, buffer + body_len, buffer_length - body_len);
            nc->recv_mbuf.len -= body_len;
            hm->body.len = 0;
            pd->body_len = 0;
        }
    }
    if (ended) {
        // The message ends with its last chunk: what follows is the next pipelined request, not body.
        hm->message.len = static_cast<size_t>(hm->body.p - hm->message.p) + pd->body_len;
    }
    return pd->body_len;
}
