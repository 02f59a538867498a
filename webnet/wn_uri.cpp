#include "wn_uri.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wn_mbuf.h"

namespace {

bool has(const wn_str* s) { return s != nullptr && s->len > 0; }

void set(wn_str* out, const char* p, size_t len) {
    if (out != nullptr) *out = wn_str{p, len};
}

}  // namespace

int wn_parse_uri(wn_str uri, wn_str* scheme, wn_str* user_info, wn_str* host, unsigned int* port, wn_str* path,
                 wn_str* query, wn_str* fragment) {
    wn_str rs{nullptr, 0}, ru{nullptr, 0}, rh{nullptr, 0}, rp{nullptr, 0}, rq{nullptr, 0}, rf{nullptr, 0};
    unsigned int rport = 0;
    enum { kStart, kSchemeOrPort, kUserInfo, kHost, kPort, kRest } state = kStart;
    const char* p = uri.p;
    const char* const end = uri.p + uri.len;
    const char* mark = p;
    for (;;) {
        bool done = false;
        switch (state) {
            case kStart:
                if (p < end && *p == '[') {
                    state = kHost;
                    break;
                }
                while (p < end && *p != ':' && *p != '/') ++p;
                if (p == end) {
                    rh = wn_str{mark, static_cast<size_t>(p - mark)};
                    done = true;
                } else if (*p == ':') {
                    state = kSchemeOrPort;
                } else {
                    rh = wn_str{mark, static_cast<size_t>(p - mark)};
                    state = kRest;
                }
                break;
            case kSchemeOrPort:
                if (end - p >= 3 && std::strncmp(p, "://", 3) == 0) {
                    rs = wn_str{mark, static_cast<size_t>(p - mark)};
                    p += 3;
                    state = kUserInfo;
                } else {
                    rh = wn_str{mark, static_cast<size_t>(p - mark)};
                    state = kPort;
                }
                break;
            case kUserInfo: {
                const char* scan = p;
                while (scan < end && *scan != '@' && *scan != '[' && *scan != '/') ++scan;
                if (scan < end && *scan == '@') {
                    ru = wn_str{p, static_cast<size_t>(scan - p)};
                    p = scan;
                }
                state = kHost;
                break;
            }
            case kHost:
                if (p < end && *p == '@') ++p;
                mark = p;
                if (p < end && *p == '[') {
                    while (p < end && *p != ']') ++p;
                    if (p == end) return -1;
                    ++p;
                } else {
                    while (p < end && *p != ':' && *p != '/') ++p;
                }
                rh = wn_str{mark, static_cast<size_t>(p - mark)};
                if (p == end) {
                    done = true;
                } else {
                    state = *p == ':' ? kPort : kRest;
                }
                break;
            case kPort:
                if (p < end && *p == ':') ++p;
                while (p < end && *p != '/') rport = rport * 10 + static_cast<unsigned>(*p++ - '0');
                state = kRest;
                if (p == end) done = true;
                break;
            case kRest: {
                mark = p;
                while (p < end && *p != '?' && *p != '#') ++p;
                rp = wn_str{mark, static_cast<size_t>(p - mark)};
                if (p < end && *p == '?') {
                    mark = ++p;
                    while (p < end && *p != '#') ++p;
                    rq = wn_str{mark, static_cast<size_t>(p - mark)};
                }
                if (p < end && *p == '#') {
                    ++p;
                    rf = wn_str{p, static_cast<size_t>(end - p)};
                }
                p = end;
                done = true;
                break;
            }
        }
        if (done) break;
    }
    set(scheme, rs.p, rs.len);
    set(user_info, ru.p, ru.len);
    set(host, rh.p, rh.len);
    if (port != nullptr) *port = rport;
    set(path, rp.p, rp.len);
    set(query, rq.p, rq.len);
    set(fragment, rf.p, rf.len);
    return 0;
}

void wn_parse_uri_component(const char** position, const char* end, const char* separators, wn_str* slice) {
    const char* p = *position;
    while (p < end && std::strchr(separators, *p) == nullptr) ++p;
    *slice = wn_str{*position, static_cast<size_t>(p - *position)};
    *position = p < end ? p + 1 : p;
}

int wn_normalize_uri_path(const wn_str* in, wn_str* out) {
    if (in->len == 0 || in->p[0] != '/') {
        out->len = 0;
        return 0;
    }
    const char* position = in->p + 1;
    const char* const end = in->p + in->len;
    char* const start = const_cast<char*>(out->p);
    char* w = start;
    *w++ = '/';
    while (position < end) {
        const char* segment_start = position;
        wn_str segment;
        wn_parse_uri_component(&position, end, "/", &segment);
        // The segment's "/" is the one that ended it, if any (copied with it).
        const bool ended_by_slash = position > segment_start + segment.len;
        if (segment.len == 1 && segment.p[0] == '.') continue;
        if (segment.len == 2 && segment.p[0] == '.' && segment.p[1] == '.') {
            if (w - start > 1 && w[-1] == '/') {
                --w;
                while (w > start && w[-1] != '/') --w;
            }
            continue;
        }
        // The input may be the output: memmove, and the writer never runs ahead of the reader.
        std::memmove(w, segment.p, segment.len);
        w += segment.len;
        if (ended_by_slash) *w++ = '/';
    }
    if (w == start) *w++ = '/';
    out->len = static_cast<size_t>(w - start);
    return 1;
}

int wn_assemble_uri(const wn_str* scheme, const wn_str* user_info, const wn_str* host, unsigned int port,
                    const wn_str* path, const wn_str* query, const wn_str* fragment, int normalize_path, wn_str* out) {
    mbuf text;
    mbuf_init(&text, 0);
    bool ok = true;
    auto put = [&](const char* p, size_t n) { ok = ok && (n == 0 || mbuf_append(&text, p, n) == n); };
    if (has(scheme)) {
        put(scheme->p, scheme->len);
        put("://", 3);
    }
    if (has(user_info)) {
        put(user_info->p, user_info->len);
        put("@", 1);
    }
    if (has(host)) put(host->p, host->len);
    if (port != 0) {
        char digits[16];
        const int n = std::snprintf(digits, sizeof digits, ":%u", port);
        put(digits, static_cast<size_t>(n));
    }
    if (has(path)) {
        if (normalize_path) {
            char* copy = static_cast<char*>(std::malloc(path->len));
            wn_str normal{copy, 0};
            if (copy == nullptr || !wn_normalize_uri_path(path, &normal)) {
                ok = false;
            } else {
                put(normal.p, normal.len);
            }
            std::free(copy);
        } else {
            put(path->p, path->len);
        }
    } else if (normalize_path) {
        put("/", 1);
    }
    if (has(query)) {
        put("?", 1);
        put(query->p, query->len);
    }
    if (has(fragment)) {
        put("#", 1);
        put(fragment->p, fragment->len);
    }
    if (!ok) {
        mbuf_free(&text);
        *out = wn_str{nullptr, 0};
        return -1;
    }
    *out = wn_str{text.buf, text.len};
    return 0;
}
