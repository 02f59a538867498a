// The HTTP protocol handler: parses requests (or replies) out of the receive buffer, decodes chunked
// bodies, reports partial bodies, upgrades to WebSocket, routes complete messages to endpoints, and keeps
// a file transfer or a CGI relay going. It also owns the per-connection HTTP state.
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>

#include "wn_http.h"
#include "wn_log.h"
#include "wn_strings.h"

namespace {

constexpr size_t kOpenLength = ~static_cast<size_t>(0);
constexpr size_t kFileStep = 4096;

void free_endpoints(wn_http_endpoint* ep) {
    while (ep != nullptr) {
        wn_http_endpoint* next = ep->next;
        std::free(const_cast<char*>(ep->uri_pattern.p));
        std::free(ep->auth_domain);
        std::free(ep->auth_file);
        std::free(ep);
        ep = next;
    }
}

void close_file(wn_http_proto_data* pd) {
    if (pd->file.fp != nullptr) std::fclose(pd->file.fp);
    std::memset(&pd->file, 0, sizeof pd->file);
}

void destroy_proto_data(void* data) {
    auto* pd = static_cast<wn_http_proto_data*>(data);
    close_file(pd);
    wn_http_free_proto_data_cgi(pd);
    free_endpoints(pd->endpoints);
    pd->endpoints = nullptr;
    if (pd->linked_conn != nullptr) {
        wn_http_proto_data* peer = wn_http_get_proto_data(pd->linked_conn);
        if (peer != nullptr && peer->linked_conn != nullptr) {
            // The peer's link points back at the connection this state belongs to.
            peer->linked_conn->flags |= WN_F_SEND_AND_CLOSE;
            peer->linked_conn = nullptr;
        }
        pd->linked_conn = nullptr;
    }
    std::free(pd);
}

bool is_accepted(const wn_connection* nc) { return nc->listener != nullptr; }

bool is_chunked(http_message* hm) {
    wn_str* te = wn_get_http_header(hm, "Transfer-Encoding");
    return te != nullptr && wn_vcasecmp(te, "chunked") == 0;
}

// Reports the body bytes buffered so far. A complete message reports exactly its own body: bytes of a
// pipelined request behind it are not part of it.
void deliver_chunk(wn_connection* nc, http_message* hm, int header_length, bool complete) {
    const size_t buffered = nc->recv_mbuf.len - static_cast<size_t>(header_length);
    const size_t body = complete && hm->body.len < buffered ? hm->body.len : buffered;
    hm->body.len = body;
    nc->flags &= ~WN_F_DELETE_CHUNK;
    wn_call(nc, nc->handler, nc->user_data, WN_EV_HTTP_CHUNK, hm);
    if (nc->flags & WN_F_DELETE_CHUNK) {
        char* start = nc->recv_mbuf.buf + header_length;
        std::memmove(start, start + body, buffered - body);
        nc->recv_mbuf.len -= body;
        if (complete) hm->message.len -= body;
        hm->body.len = 0;
    }
}

// A client waiting for the server's answer to its upgrade request.
void client_upgrade(wn_connection* nc, http_message* hm, int header_length, void* ev_data) {
    WN_LOG(WN_LOG_DEBUG, ("%p WebSocket upgrade code %d", static_cast<void*>(nc), hm->resp_code));
    const bool accepted = hm->resp_code == 101 && wn_get_http_header(hm, "Sec-WebSocket-Accept") != nullptr;
    wn_call(nc, nc->handler, nc->user_data, WN_EV_WEBSOCKET_HANDSHAKE_DONE, hm);
    mbuf_remove(&nc->recv_mbuf, static_cast<size_t>(header_length));
    if (accepted) {
        nc->proto_handler = wn_ws_handler;
        wn_ws_handler(nc, WN_EV_RECV, ev_data);
    } else {
        nc->flags |= WN_F_CLOSE_IMMEDIATELY;
    }
}

// A request with "Sec-WebSocket-Key": the connection becomes a WebSocket for the rest of its life.
void server_upgrade(wn_connection* nc, http_message* hm, int header_length, wn_str* key, void* ev_data) {
    nc->proto_handler = wn_ws_handler;
    nc->flags |= WN_F_IS_WEBSOCKET;
    wn_http_endpoint* ep = wn_http_get_endpoint_handler(nc->listener, &hm->uri);
    if (ep != nullptr) nc->handler = ep->handler;
    wn_call(nc, nc->handler, nc->user_data, WN_EV_WEBSOCKET_HANDSHAKE_REQUEST, hm);
    const bool answer = !(nc->flags & (WN_F_CLOSE_IMMEDIATELY | WN_F_SEND_AND_CLOSE));
    if (answer) {
        if (nc->send_mbuf.len == 0) wn_ws_handshake(nc, key, hm);
        wn_call(nc, nc->handler, nc->user_data, WN_EV_WEBSOCKET_HANDSHAKE_DONE, hm);
    }
    // The request stays buffered until its events are delivered: the message points into it.
    mbuf_remove(&nc->recv_mbuf, static_cast<size_t>(header_length));
    if (answer) wn_ws_handler(nc, WN_EV_RECV, ev_data);
}

void parse_buffered(wn_connection* nc, void* ev_data) {
    mbuf* io = &nc->recv_mbuf;
    const int is_request = is_accepted(nc) ? 1 : 0;
    for (;;) {
        wn_http_proto_data* pd = wn_http_get_proto_data(nc);
        // A file transfer or a CGI relay answers the current request; the next one waits for it.
        if (pd != nullptr && (pd->file.fp != nullptr || pd->cgi_nc != nullptr)) {
            pd->request_held = 1;
            return;
        }
        http_message hm;
        const int header_length = wn_parse_http(io->buf, static_cast<int>(io->len), &hm, is_request);
        bool chunked = false;
        if (header_length > 0) {
            // A request whose body is still arriving keeps its state (the chunked decoder's progress), and
            // an outgoing connection keeps its own across replies: a proxied upstream stays linked to its client.
            if (pd == nullptr || (is_request && !pd->request_open)) pd = wn_http_create_proto_data(nc);
            if (pd == nullptr) {
                nc->flags |= WN_F_CLOSE_IMMEDIATELY;
                return;
            }
            pd->request_open = 1;
            pd->rcvd = io->len;
            chunked = is_chunked(&hm);
            if (chunked) {
                wn_handle_chunked(nc, &hm, io->buf + header_length, io->len - static_cast<size_t>(header_length));
            }
        }
        if (header_length < 0 || (header_length == 0 && io->len >= WN_MAX_HTTP_REQUEST_SIZE)) {
            WN_LOG(WN_LOG_DEBUG, ("invalid request"));
            nc->flags |= WN_F_CLOSE_IMMEDIATELY;
            return;
        }
        if (header_length == 0) return;
        if (!is_request && (nc->flags & WN_F_IS_WEBSOCKET)) {
            client_upgrade(nc, &hm, header_length, ev_data);
            return;
        }
        wn_str* key = is_request ? wn_get_http_header(&hm, "Sec-WebSocket-Key") : nullptr;
        if (key != nullptr) {
            server_upgrade(nc, &hm, header_length, key, ev_data);
            return;
        }
        if (hm.message.len > pd->rcvd) {
            // Chunked bodies are reported by their decoder, never with framing bytes in them.
            if (!chunked) deliver_chunk(nc, &hm, header_length, false);
            if (nc->recv_mbuf_limit > 0 && io->len >= nc->recv_mbuf_limit) {
                WN_LOG(WN_LOG_ERROR, ("%p recv buffer (%lu bytes) exceeds the limit %lu bytes, and not drained, closing",
                                      static_cast<void*>(nc), static_cast<unsigned long>(io->len),
                                      static_cast<unsigned long>(nc->recv_mbuf_limit)));
                nc->flags |= WN_F_CLOSE_IMMEDIATELY;
            }
            return;
        }
        char address[INET_ADDRSTRLEN] = "";
        WN_LOG(WN_LOG_DEBUG, ("%p %s:%d %.*s %.*s", static_cast<void*>(nc),
                              inet_ntop(AF_INET, &nc->sa.sin_addr, address, sizeof address), ntohs(nc->sa.sin_port),
                              static_cast<int>(hm.method.len), hm.method.p, static_cast<int>(hm.uri.len), hm.uri.p));
        if (!chunked) deliver_chunk(nc, &hm, header_length, true);
        const size_t message_length = hm.message.len;
        wn_http_call_endpoint_handler(nc, is_request ? WN_EV_HTTP_REQUEST : WN_EV_HTTP_REPLY, &hm);
        pd = wn_http_get_proto_data(nc);
        if (pd == nullptr) return;
        pd->request_open = 0;
        pd->body_len = 0;
        mbuf_remove(io, message_length < io->len ? message_length : io->len);
        pd->rcvd = pd->rcvd > message_length ? pd->rcvd - message_length : 0;
        if (pd->file.fp != nullptr || pd->cgi_nc != nullptr) return;
        if (io->len == 0) return;
    }
}

// The peer closed: a message whose body runs until the close is complete now.
void deliver_on_close(wn_connection* nc) {
    mbuf* io = &nc->recv_mbuf;
    if (io->len == 0) return;
    http_message hm;
    const int is_request = is_accepted(nc) ? 1 : 0;
    const int header_length = wn_parse_http(io->buf, static_cast<int>(io->len), &hm, is_request);
    // A body with a stated length or chunked framing that was cut short is not a complete message.
    if (header_length <= 0 || hm.body.len != kOpenLength || is_chunked(&hm)) return;
    hm.message.len = io->len;
    hm.body.len = static_cast<size_t>(io->buf + io->len - hm.body.p);
    deliver_chunk(nc, &hm, header_length, true);
    wn_http_call_endpoint_handler(nc, is_request ? WN_EV_HTTP_REQUEST : WN_EV_HTTP_REPLY, &hm);
}

}  // namespace

wn_http_proto_data* wn_http_create_proto_data(wn_connection* nc) {
    if (nc->proto_data != nullptr && nc->proto_data_destructor != nullptr) nc->proto_data_destructor(nc->proto_data);
    nc->proto_data = std::calloc(1, sizeof(wn_http_proto_data));
    nc->proto_data_destructor = nc->proto_data != nullptr ? destroy_proto_data : nullptr;
    return static_cast<wn_http_proto_data*>(nc->proto_data);
}

wn_http_proto_data* wn_http_get_proto_data(wn_connection* nc) {
    if (nc == nullptr || nc->proto_data_destructor != destroy_proto_data) return nullptr;
    return static_cast<wn_http_proto_data*>(nc->proto_data);
}

void wn_http_free_proto_data_cgi(wn_http_proto_data* pd) {
    if (pd->cgi_nc != nullptr) {
        pd->cgi_nc->user_data = nullptr;
        pd->cgi_nc->flags |= WN_F_CLOSE_IMMEDIATELY;
        pd->cgi_nc = nullptr;
    }
}

void wn_set_protocol_http_websocket(wn_connection* nc) { nc->proto_handler = wn_http_handler; }

void wn_register_http_endpoint(wn_connection* nc, const char* uri_pattern, wn_event_handler handler) {
    wn_http_endpoint_opts opts;
    std::memset(&opts, 0, sizeof opts);
    wn_register_http_endpoint_opt(nc, uri_pattern, handler, opts);
}

void wn_register_http_endpoint_opt(wn_connection* nc, const char* uri_pattern, wn_event_handler handler,
                                   wn_http_endpoint_opts opts) {
    if (nc == nullptr) return;
    auto* ep = static_cast<wn_http_endpoint*>(std::calloc(1, sizeof(wn_http_endpoint)));
    if (ep == nullptr) return;
    wn_http_proto_data* pd = wn_http_get_proto_data(nc);
    if (pd == nullptr) pd = wn_http_create_proto_data(nc);
    if (pd == nullptr) {
        std::free(ep);
        return;
    }
    ep->uri_pattern = wn_strdup_nul(wn_mk_str(uri_pattern));
    if (opts.auth_domain != nullptr && opts.auth_file != nullptr) {
        ep->auth_domain = strdup(opts.auth_domain);
        ep->auth_file = strdup(opts.auth_file);
    }
    ep->handler = handler;
    ep->next = pd->endpoints;
    pd->endpoints = ep;
}

wn_http_endpoint* wn_http_get_endpoint_handler(wn_connection* nc, wn_str* uri) {
    wn_http_proto_data* pd = wn_http_get_proto_data(nc);
    if (pd == nullptr) return nullptr;
    wn_http_endpoint* best = nullptr;
    int best_length = 0;
    for (wn_http_endpoint* ep = pd->endpoints; ep != nullptr; ep = ep->next) {
        const int length = wn_match_prefix_n(ep->uri_pattern, *uri);
        if (length > best_length) {
            best = ep;
            best_length = length;
        }
    }
    return best;
}

void wn_http_call_endpoint_handler(wn_connection* nc, int ev, http_message* hm) {
    wn_http_proto_data* pd = wn_http_get_proto_data(nc);
    if (ev == WN_EV_HTTP_REQUEST && pd != nullptr) {
        wn_http_endpoint* ep = wn_http_get_endpoint_handler(nc->listener, &hm->uri);
        if (ep != nullptr) {
            if (!wn_http_is_authorized(hm, hm->uri, ep->auth_domain, ep->auth_file, WN_AUTH_FLAG_IS_GLOBAL_PASS_FILE)) {
                wn_http_send_digest_auth_request(nc, ep->auth_domain);
                return;
            }
            pd->endpoint_handler = ep->handler;
        }
    }
    wn_event_handler handler = pd != nullptr && pd->endpoint_handler != nullptr ? pd->endpoint_handler : nc->handler;
    wn_call(nc, handler, nc->user_data, ev, hm);
}

void wn_http_transfer_file_data(wn_connection* nc) {
    wn_http_proto_data* pd = wn_http_get_proto_data(nc);
    if (pd == nullptr || pd->file.fp == nullptr || pd->file.type != 1) return;
    char buffer[kFileStep];
    size_t to_read = nc->send_mbuf.len < kFileStep ? kFileStep - nc->send_mbuf.len : 0;
    const int64_t left = pd->file.cl - pd->file.sent;
    if (left < static_cast<int64_t>(to_read)) to_read = left > 0 ? static_cast<size_t>(left) : 0;
    if (to_read > 0) {
        const size_t n = std::fread(buffer, 1, to_read, pd->file.fp);
        if (n > 0) {
            wn_send(nc, buffer, static_cast<int>(n));
            pd->file.sent += static_cast<int64_t>(n);
            WN_LOG(WN_LOG_DEBUG, ("%p sent %d (total %d)", static_cast<void*>(nc), static_cast<int>(n),
                                  static_cast<int>(pd->file.sent)));
        }
    }
    if (pd->file.sent >= pd->file.cl) {
        WN_LOG(WN_LOG_DEBUG, ("%p done, %d bytes, ka %d", static_cast<void*>(nc), static_cast<int>(pd->file.sent),
                              pd->file.keepalive));
        if (!pd->file.keepalive) nc->flags |= WN_F_SEND_AND_CLOSE;
        close_file(pd);
    }
}

void wn_http_handler(wn_connection* nc, int ev, void* ev_data) {
    wn_http_proto_data* pd = wn_http_get_proto_data(nc);
    if (ev == WN_EV_CLOSE) {
        if (pd != nullptr) wn_http_free_proto_data_cgi(pd);
        deliver_on_close(nc);
        pd = wn_http_get_proto_data(nc);
        if (pd != nullptr && pd->endpoint_handler != nullptr && pd->endpoint_handler != nc->handler) {
            wn_call(nc, pd->endpoint_handler, nc->user_data, ev, nullptr);
        }
    }
    if (pd != nullptr && pd->file.fp != nullptr) wn_http_transfer_file_data(nc);
    wn_call(nc, nc->handler, nc->user_data, ev, ev_data);
    if (ev == WN_EV_RECV) {
        parse_buffered(nc, ev_data);
    } else if (ev == WN_EV_POLL) {
        // Requests held behind a finished file transfer or CGI relay go on now.
        pd = wn_http_get_proto_data(nc);
        if (pd != nullptr && pd->request_held && pd->file.fp == nullptr && pd->cgi_nc == nullptr &&
            !(nc->flags & (WN_F_CLOSE_IMMEDIATELY | WN_F_IS_WEBSOCKET))) {
            pd->request_held = 0;
            if (nc->recv_mbuf.len > 0) parse_buffered(nc, ev_data);
        }
    }
}
