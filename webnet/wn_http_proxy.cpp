// The reverse proxy that file serving invokes for rewrite rules naming an upstream, and the parser of one
// part of a multipart form body.
#include <cstdio>
#include <cstring>

#include "wn_http.h"
#include "wn_log.h"
#include "wn_strings.h"

namespace {

void set_error_reply(wn_connection* client) { wn_http_send_error(client, 502, nullptr); }

size_t line_length(const char* p, size_t remaining) {
    const char* lf = static_cast<const char*>(std::memchr(p, '\n', remaining));
    return lf != nullptr ? static_cast<size_t>(lf - p) + 1 : 0;
}

// An upstream reply whose chunked body the HTTP layer decoded in place: the client gets it with a length
// instead of the chunked framing it no longer has.
void relay_decoded(wn_connection* client, http_message* hm) {
    wn_printf(client, "%.*s %d %.*s\r\n", static_cast<int>(hm->proto.len), hm->proto.p, hm->resp_code,
              static_cast<int>(hm->resp_status_msg.len), hm->resp_status_msg.p != nullptr ? hm->resp_status_msg.p : "");
    for (int i = 0; i < WN_MAX_HTTP_HEADERS && hm->header_names[i].len > 0; ++i) {
        if (wn_vcasecmp(&hm->header_names[i], "Transfer-Encoding") == 0) continue;
        if (wn_vcasecmp(&hm->header_names[i], "Content-Length") == 0) continue;
        wn_send(client, hm->header_names[i].p, static_cast<int>(hm->header_names[i].len));
        wn_send(client, ": ", 2);
        wn_send(client, hm->header_values[i].p, static_cast<int>(hm->header_values[i].len));
        wn_send(client, "\r\n", 2);
    }
    wn_printf(client, "Content-Length: %zu\r\n\r\n", hm->body.len);
    wn_send(client, hm->body.p, static_cast<int>(hm->body.len));
}

}  // namespace

void wn_reverse_proxy_handler(wn_connection* nc, int ev, void* ev_data) {
    wn_http_proto_data* pd = wn_http_get_proto_data(nc);
    if (pd == nullptr || pd->linked_conn == nullptr) {
        WN_LOG(WN_LOG_DEBUG, ("%p: upstream closed", static_cast<void*>(nc)));
        return;
    }
    wn_connection* client = pd->linked_conn;
    switch (ev) {
        case WN_EV_CONNECT:
            if (*static_cast<int*>(ev_data) != 0) set_error_reply(client);
            break;
        case WN_EV_HTTP_REPLY: {
            auto* hm = static_cast<http_message*>(ev_data);
            wn_str* te = wn_get_http_header(hm, "Transfer-Encoding");
            if (te != nullptr && wn_vcasecmp(te, "chunked") == 0) {
                relay_decoded(client, hm);
            } else {
                wn_send(client, hm->message.p, static_cast<int>(hm->message.len));
            }
            client->flags |= WN_F_SEND_AND_CLOSE;
            nc->flags |= WN_F_CLOSE_IMMEDIATELY;
            break;
        }
        case WN_EV_CLOSE:
            client->flags |= WN_F_SEND_AND_CLOSE;
            break;
        default: break;
    }
}

void wn_http_reverse_proxy(wn_connection* nc, http_message* hm, wn_str mount, wn_str upstream) {
    char url[WN_MAX_PATH];
    const size_t skip = mount.len < hm->uri.len ? mount.len : hm->uri.len;
    // The query string goes upstream with the path.
    std::snprintf(url, sizeof url, "%.*s%.*s%s%.*s", static_cast<int>(upstream.len), upstream.p,
                  static_cast<int>(hm->uri.len - skip), hm->uri.p + skip, hm->query_string.len > 0 ? "?" : "",
                  static_cast<int>(hm->query_string.len), hm->query_string.p != nullptr ? hm->query_string.p : "");
    const char* error = nullptr;
    wn_connect_opts opts;
    std::memset(&opts, 0, sizeof opts);
    opts.error_string = &error;
    wn_str path = {nullptr, 0}, user_info = {nullptr, 0}, host = {nullptr, 0};
    wn_connection* be = wn_connect_http_base(nc->mgr, wn_reverse_proxy_handler, opts, "http", nullptr, "https",
                                             nullptr, url, &path, &user_info, &host);
    WN_LOG(WN_LOG_DEBUG, ("Proxying %.*s to %s (rule: %.*s)", static_cast<int>(hm->uri.len), hm->uri.p, url,
                          static_cast<int>(mount.len), mount.p));
    if (be == nullptr) {
        WN_LOG(WN_LOG_ERROR, ("Error connecting to %s: %s", url, error != nullptr ? error : ""));
        set_error_reply(nc);
        return;
    }
    wn_http_proto_data* upstream_pd = wn_http_get_proto_data(be);
    if (upstream_pd == nullptr) upstream_pd = wn_http_create_proto_data(be);
    wn_http_proto_data* client_pd = wn_http_get_proto_data(nc);
    if (upstream_pd == nullptr || client_pd == nullptr) {
        be->flags |= WN_F_CLOSE_IMMEDIATELY;
        set_error_reply(nc);
        return;
    }
    upstream_pd->linked_conn = nc;
    client_pd->linked_conn = be;
    wn_printf(be, "%.*s %.*s HTTP/1.1\r\n", static_cast<int>(hm->method.len), hm->method.p,
              static_cast<int>(path.len > 0 ? path.len : 1), path.len > 0 ? path.p : "/");
    wn_printf(be, "Host: %.*s\r\n", static_cast<int>(host.len), host.p);
    for (int i = 0; i < WN_MAX_HTTP_HEADERS && hm->header_names[i].len > 0; ++i) {
        wn_str* name = &hm->header_names[i];
        wn_str* value = &hm->header_values[i];
        if (wn_vcasecmp(name, "Host") == 0) continue;
        if (wn_vcasecmp(name, "Transfer-encoding") == 0 && wn_vcasecmp(value, "chunked") == 0) {
            wn_printf(be, "Content-Length: %zu\r\n", hm->body.len);
            continue;
        }
        if (wn_vcasecmp(name, "Expect") == 0 && wn_vcasecmp(value, "100-continue") == 0) continue;
        wn_send(be, name->p, static_cast<int>(name->len));
        wn_send(be, ": ", 2);
        wn_send(be, value->p, static_cast<int>(value->len));
        wn_send(be, "\r\n", 2);
    }
    wn_send(be, "\r\n", 2);
    if (hm->body.len > 0 && hm->body.len != ~static_cast<size_t>(0)) wn_send(be, hm->body.p, static_cast<int>(hm->body.len));
}

size_t wn_parse_multipart(const char* buffer, size_t length, char* var_name, size_t var_name_len, char* file_name,
                          size_t file_name_len, const char** data, size_t* data_len) {
    static const char kDisposition[] = "Content-Disposition: ";
    const size_t disposition_len = sizeof kDisposition - 1;
    if (buffer == nullptr || length == 0) return 0;
    const int header_length = wn_http_get_request_len(buffer, static_cast<int>(length));
    if (header_length <= 0 || length < 3 || buffer[0] != '-' || buffer[1] != '-' || buffer[2] == '\n') return 0;
    const size_t boundary_line = line_length(buffer, length);
    if (boundary_line < 4) return 0;
    if (var_name_len > 0) var_name[0] = '\0';
    if (file_name_len > 0) file_name[0] = '\0';
    const char* end_of_headers = buffer + header_length;
    for (const char* p = buffer + boundary_line; p < end_of_headers;) {
        const size_t n = line_length(p, static_cast<size_t>(end_of_headers - p));
        if (n == 0) break;
        if (n >= disposition_len + 2 && wn_ncasecmp(kDisposition, p, disposition_len) == 0) {
            wn_str header = {p + disposition_len, n - (disposition_len + 2)};
            wn_http_parse_header(&header, "name", var_name, var_name_len);
            wn_http_parse_header(&header, "filename", file_name, file_name_len);
        }
        p += n;
    }
    const size_t boundary = boundary_line - 2;
    for (size_t pos = static_cast<size_t>(header_length); pos + boundary <= length; ++pos) {
        if (buffer[pos] == '-' && std::memcmp(buffer, buffer + pos, boundary) == 0) {
            // The data ends with the CR LF before the boundary; without it there is no part here.
            if (pos < static_cast<size_t>(header_length) + 2 || buffer[pos - 2] != '\r' || buffer[pos - 1] != '\n') {
                return 0;
            }
            *data = buffer + header_length;
            *data_len = pos - 2 - static_cast<size_t>(header_length);
            return pos;
        }
    }
    return 0;
}
