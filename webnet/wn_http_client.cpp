// Outgoing HTTP connections made from a URL. TLS is not built: addresses with a TLS scheme are refused.
#include <cstring>

#include "wn_http.h"
#include "wn_log.h"
#include "wn_uri.h"
#include "wn_util.h"

namespace {

void set_error(const char** error_string, const char* text) {
    if (error_string != nullptr) *error_string = text;
}

bool scheme_is(const wn_str& scheme, const char* name) { return name != nullptr && wn_vcmp(&scheme, name) == 0; }

}  // namespace

wn_connection* wn_connect_http_base(wn_mgr* mgr, wn_event_handler handler, wn_connect_opts opts,
                                    const char* scheme1, const char* scheme2, const char* scheme_ssl1,
                                    const char* scheme_ssl2, const char* url, wn_str* path, wn_str* user_info,
                                    wn_str* host) {
    wn_str scheme = {nullptr, 0}, query = {nullptr, 0};
    unsigned int port = 0;
    if (wn_parse_uri(wn_mk_str(url), &scheme, user_info, host, &port, path, &query, nullptr) != 0) {
        set_error(opts.error_string, "cannot parse url");
        return nullptr;
    }
    if (query.len > 0) path->len = static_cast<size_t>(query.p + query.len - path->p);
    bool use_ssl;
    if (scheme.len == 0 || scheme_is(scheme, scheme1) || scheme_is(scheme, scheme2)) {
        use_ssl = false;
        if (port == 0) port = 80;
    } else if (scheme_is(scheme, scheme_ssl1) || scheme_is(scheme, scheme_ssl2)) {
        use_ssl = true;
        if (port == 0) port = 443;
    } else {
        return nullptr;
    }
    char address[300];
    std::snprintf(address, sizeof address, "tcp://%.*s:%u", static_cast<int>(host->len), host->p, port);
    WN_LOG(WN_LOG_DEBUG, ("%s use_ssl? %d %s", url, use_ssl ? 1 : 0, address));
    if (use_ssl) {
        set_error(opts.error_string, "ssl is disabled");
        return nullptr;
    }
    wn_connection* nc = wn_connect_opt(mgr, address, handler, opts);
    if (nc != nullptr) wn_set_protocol_http_websocket(nc);
    return nc;
}

wn_connection* wn_connect_http_opt(wn_mgr* mgr, wn_event_handler handler, wn_connect_opts opts, const char* url,
                                   const char* extra_headers, const char* post_data) {
    wn_str path = {nullptr, 0}, user_info = {nullptr, 0}, host = {nullptr, 0};
    wn_connection* nc =
        wn_connect_http_base(mgr, handler, opts, "http", nullptr, "https", nullptr, url, &path, &user_info, &host);
    if (nc == nullptr) return nullptr;
    mbuf auth;
    mbuf_init(&auth, 0);
    if (user_info.len > 0) wn_basic_auth_header(user_info, wn_str{nullptr, 0}, &auth);
    // The host as written in the URL, its port included.
    const char* host_end = path.len > 0 ? path.p : host.p + host.len;
    const char* after_host = host.p + host.len;
    if (path.len == 0) {
        while (*after_host != '\0' && *after_host != '/' && *after_host != '?' && *after_host != '#') ++after_host;
        host_end = after_host;
    }
    const size_t post_length = post_data != nullptr ? std::strlen(post_data) : 0;
    wn_printf(nc, "%s %.*s HTTP/1.1\r\nHost: %.*s\r\nContent-Length: %zu\r\n%.*s%s\r\n%s",
              post_length > 0 ? "POST" : "GET", static_cast<int>(path.len > 0 ? path.len : 1),
              path.len > 0 ? path.p : "/", static_cast<int>(host_end - host.p), host.p, post_length,
              static_cast<int>(auth.len), auth.buf != nullptr ? auth.buf : "",
              extra_headers != nullptr ? extra_headers : "", post_data != nullptr ? post_data : "");
    mbuf_free(&auth);
    return nc;
}

wn_connection* wn_connect_http(wn_mgr* mgr, wn_event_handler handler, const char* url, const char* extra_headers,
                               const char* post_data) {
    wn_connect_opts opts;
    std::memset(&opts, 0, sizeof opts);
    return wn_connect_http_opt(mgr, handler, opts, url, extra_headers, post_data);
}
