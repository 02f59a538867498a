// WebSocket (version 13): the opening handshake, frames in and out (masked from clients), reassembly of
// fragmented messages in place, pings of idle connections, and client connections from "ws" URLs.
#include <cstdlib>
#include <cstring>

#include "wn_base64.h"
#include "wn_http.h"
#include "wn_log.h"
#include "wn_strings.h"
#include "wn_util.h"

namespace {

constexpr char kMagic[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr int64_t kPingIdleSeconds = 5;
constexpr unsigned char kFin = 0x80;

bool is_client(const wn_connection* nc) { return nc->listener == nullptr; }

size_t& reass_len(wn_connection* nc) {
    static size_t none = 0;
    wn_http_proto_data* pd = wn_http_get_proto_data(nc);
    if (pd == nullptr) pd = wn_http_create_proto_data(nc);
    if (pd == nullptr) {
        none = 0;
        return none;
    }
    return pd->reass_len;
}

// Writes the frame header; returns the position in the send buffer where the (masked) payload starts and
// the mask through *mask (0 on an accepted connection: nothing is masked).
size_t send_ws_header(wn_connection* nc, int op, size_t length, uint32_t* mask) {
    unsigned char header[14];
    size_t n = 0;
    header[n++] = static_cast<unsigned char>(((op & WEBSOCKET_DONT_FIN) ? 0 : kFin) | (op & 0x0F));
    if (length < 126) {
        header[n++] = static_cast<unsigned char>(length);
    } else if (length < 65536) {
        header[n++] = 126;
        header[n++] = static_cast<unsigned char>(length >> 8);
        header[n++] = static_cast<unsigned char>(length);
    } else {
        header[n++] = 127;
        for (int shift = 56; shift >= 0; shift -= 8) header[n++] = static_cast<unsigned char>(static_cast<uint64_t>(length) >> shift);
    }
    *mask = 0;
    if (is_client(nc)) {
        header[1] |= 0x80;
        const uint32_t key = static_cast<uint32_t>(std::rand());
        std::memcpy(header + n, &key, 4);
        n += 4;
        *mask = key;
    }
    wn_send(nc, header, static_cast<int>(n));
    return nc->send_mbuf.len;
}

void apply_mask(wn_connection* nc, size_t start, uint32_t mask) {
    if (start == 0 && mask == 0) return;
    if (!is_client(nc)) return;
    unsigned char key[4];
    std::memcpy(key, &mask, 4);
    for (size_t i = start; i < nc->send_mbuf.len; ++i) nc->send_mbuf.buf[i] ^= static_cast<char>(key[(i - start) % 4]);
}

void deliver(wn_connection* nc, websocket_message* message) {
    const int ev = (message->flags & 0x08) ? WN_EV_WEBSOCKET_CONTROL_FRAME : WN_EV_WEBSOCKET_FRAME;
    wn_call(nc, nc->handler, nc->user_data, ev, message);
}

}  // namespace

void wn_ws_handshake(wn_connection* nc, const wn_str* key, http_message* hm) {
    const unsigned char* parts[2] = {reinterpret_cast<const unsigned char*>(key->p),
                                     reinterpret_cast<const unsigned char*>(kMagic)};
    const size_t lengths[2] = {key->len, sizeof kMagic - 1};
    unsigned char digest[20];
    wn_hash_sha1_v(2, parts, lengths, digest);
    char accept[40];
    wu_base64_encode(digest, sizeof digest, accept);
    wn_printf(nc, "%s", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n");
    wn_str* protocol = wn_get_http_header(hm, "Sec-WebSocket-Protocol");
    if (protocol != nullptr) {
        wn_send(nc, "Sec-WebSocket-Protocol: ", 24);
        wn_send(nc, protocol->p, static_cast<int>(protocol->len));
        wn_send(nc, "\r\n", 2);
    }
    wn_printf(nc, "Sec-WebSocket-Accept: %s%s", accept, "\r\n\r\n");
    WN_LOG(WN_LOG_DEBUG, ("%p %.*s %s", static_cast<void*>(nc), static_cast<int>(key->len), key->p, accept));
}

void wn_send_websocket_frame(wn_connection* nc, int op_and_flags, const void* data, size_t length) {
    WN_LOG(WN_LOG_DEBUG, ("%p %d %d", static_cast<void*>(nc), op_and_flags, static_cast<int>(length)));
    uint32_t mask = 0;
    const size_t start = send_ws_header(nc, op_and_flags, length, &mask);
    wn_send(nc, data, static_cast<int>(length));
    apply_mask(nc, start, mask);
    if (op_and_flags == WEBSOCKET_OP_CLOSE) nc->flags |= WN_F_SEND_AND_CLOSE;
}

void wn_send_websocket_framev(wn_connection* nc, int op_and_flags, const wn_str* strings, int count) {
    uint32_t total = 0;
    for (int i = 0; i < count; ++i) total += static_cast<uint32_t>(strings[i].len);
    uint32_t mask = 0;
    const size_t start = send_ws_header(nc, op_and_flags, total, &mask);
    for (int i = 0; i < count; ++i) wn_send(nc, strings[i].p, static_cast<int>(strings[i].len));
    apply_mask(nc, start, mask);
    if (op_and_flags == WEBSOCKET_OP_CLOSE) nc->flags |= WN_F_SEND_AND_CLOSE;
}

void wn_printf_websocket_frame(wn_connection* nc, int op_and_flags, const char* format, ...) {
    char stack[100];
    char* text = stack;
    va_list args;
    va_start(args, format);
    const int length = wn_avprintf(&text, sizeof stack, format, args);
    va_end(args);
    if (length > 0) wn_send_websocket_frame(nc, op_and_flags, text, static_cast<size_t>(length));
    if (text != stack) std::free(text);
}

void wn_ws_close(wn_connection* nc, const void* data, size_t length) {
    if (static_cast<uint32_t>(length) == 0xFFFFFFFFu) length = data != nullptr ? std::strlen(static_cast<const char*>(data)) : 0;
    wn_send_websocket_frame(nc, WEBSOCKET_OP_CLOSE, data, length);
    nc->flags |= WN_F_SEND_AND_CLOSE;
}

int wn_deliver_websocket_data(wn_connection* nc) {
    size_t& held = reass_len(nc);
    mbuf* io = &nc->recv_mbuf;
    if (io->len < held) return 0;
    auto* p = reinterpret_cast<unsigned char*>(io->buf) + held;
    const size_t buf_len = io->len - held;
    const bool have = buf_len > 0;
    const bool is_fragment =
        have && ((p[0] & kFin) == 0 || (p[0] & 0x0F) == WEBSOCKET_OP_CONTINUE) && !(nc->flags & WN_F_WEBSOCKET_NO_DEFRAG);
    if (is_fragment && (p[0] & 0x08)) {
        wn_ws_close(nc, "fragmented control frames are illegal", ~static_cast<size_t>(0));
        return 0;
    }
    if (have && !is_fragment && !(p[0] & 0x08) && held > 0) {
        wn_ws_close(nc, "non-continuation in the middle of a fragmented message", ~static_cast<size_t>(0));
        return 0;
    }
    if (is_fragment && (p[0] & 0x0F) == WEBSOCKET_OP_CONTINUE && held == 0) {
        // Nothing to continue: the message would be built from a payload byte taken as its op byte.
        wn_ws_close(nc, "continuation without a message to continue", ~static_cast<size_t>(0));
        return 0;
    }
    uint64_t header_len = 0;
    uint64_t data_len = 0;
    if (buf_len >= 2) {
        const uint64_t small = p[1] & 0x7F;
        const uint64_t mask_len = (p[1] & 0x80) ? 4 : 0;
        if (small < 126 && buf_len >= mask_len + 2) {
            data_len = small;
            header_len = 2 + mask_len;
        } else if (small == 126 && buf_len >= 4 + mask_len) {
            data_len = (static_cast<uint64_t>(p[2]) << 8) | p[3];
            header_len = 4 + mask_len;
        } else if (small == 127 && buf_len >= 10 + mask_len) {
            for (int i = 0; i < 8; ++i) data_len = (data_len << 8) | p[2 + i];
            header_len = 10 + mask_len;
        }
    }
    const uint64_t frame_len = header_len + data_len;
    if (frame_len > 0 && (frame_len < header_len || frame_len < data_len)) {
        wn_ws_close(nc, "overflowed message", ~static_cast<size_t>(0));
        return 0;
    }
    if (frame_len == 0 || frame_len > buf_len) return 0;
    const unsigned char first = p[0];
    if (p[1] & 0x80) {
        const unsigned char* key = p + header_len - 4;
        for (uint64_t i = 0; i < data_len; ++i) p[header_len + i] ^= key[i % 4];
    }
    if (is_fragment) {
        if ((first & 0x0F) != WEBSOCKET_OP_CONTINUE) {
            // The first fragment: its first byte stays as the held op byte.
            held = 1;
            std::memmove(p + 1, p + header_len, data_len);
            held += data_len;
            std::memmove(p + 1 + data_len, p + header_len + data_len, buf_len - frame_len);
            io->len -= static_cast<size_t>(header_len) - 1;
        } else {
            std::memmove(p, p + header_len, data_len);
            held += data_len;
            std::memmove(p + data_len, p + frame_len, buf_len - frame_len);
            io->len -= header_len;
        }
        if (first & kFin) {
            websocket_message message;
            message.flags = static_cast<unsigned char>(kFin | static_cast<unsigned char>(io->buf[0]));
            message.data = reinterpret_cast<unsigned char*>(io->buf) + 1;
            message.size = held - 1;
            const size_t total = held;
            held = 0;
            deliver(nc, &message);
            mbuf_remove(io, total);
        }
    } else {
        websocket_message message;
        message.flags = first;
        message.data = p + header_len;
        message.size = static_cast<size_t>(data_len);
        const int op = first & 0x0F;
        if (op == WEBSOCKET_OP_PING) {
            wn_send_websocket_frame(nc, WEBSOCKET_OP_PONG, message.data, message.size);
        } else if (op == WEBSOCKET_OP_CLOSE) {
            wn_ws_close(nc, message.data, message.size);
        }
        deliver(nc, &message);
        // Removed behind any held fragment bytes.
        const size_t offset = held;
        std::memmove(io->buf + offset, io->buf + offset + frame_len, io->len - offset - frame_len);
        io->len -= static_cast<size_t>(frame_len);
    }
    return 1;
}

void wn_ws_handler(wn_connection* nc, int ev, void* ev_data) {
    wn_call(nc, nc->handler, nc->user_data, ev, ev_data);
    if (ev == WN_EV_RECV) {
        while (wn_deliver_websocket_data(nc)) {
        }
    } else if (ev == WN_EV_POLL && (nc->flags & WN_F_IS_WEBSOCKET) && ev_data != nullptr) {
        const int64_t now = *static_cast<int64_t*>(ev_data);
        if (now > nc->last_io_time + kPingIdleSeconds) wn_send_websocket_frame(nc, WEBSOCKET_OP_PING, "", 0);
    }
}

void wn_send_websocket_handshake3v(wn_connection* nc, wn_str path, wn_str host, wn_str protocol,
                                   wn_str extra_headers, wn_str user, wn_str pass) {
    uint32_t nonce[4];
    for (uint32_t& word : nonce) word = static_cast<uint32_t>(std::rand());
    char key[25];
    wu_base64_encode(reinterpret_cast<const unsigned char*>(nonce), sizeof nonce, key);
    mbuf auth;
    mbuf_init(&auth, 0);
    if (user.len > 0) wn_basic_auth_header(user, pass.len > 0 ? pass : wn_str{nullptr, 0}, &auth);
    wn_printf(nc, "GET %.*s HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n%.*sSec-WebSocket-Version: 13\r\n"
                  "Sec-WebSocket-Key: %s\r\n",
              static_cast<int>(path.len), path.p, static_cast<int>(auth.len), auth.buf != nullptr ? auth.buf : "", key);
    mbuf_free(&auth);
    if (host.len > 0) wn_printf(nc, "Host: %.*s\r\n", static_cast<int>(host.len), host.p);
    if (protocol.len > 0) wn_printf(nc, "Sec-WebSocket-Protocol: %.*s\r\n", static_cast<int>(protocol.len), protocol.p);
    if (extra_headers.len > 0) wn_send(nc, extra_headers.p, static_cast<int>(extra_headers.len));
    wn_send(nc, "\r\n", 2);
    nc->flags |= WN_F_IS_WEBSOCKET;
}

void wn_send_websocket_handshake3(wn_connection* nc, const char* path, const char* host, const char* protocol,
                                  const char* extra_headers, const char* user, const char* pass) {
    wn_send_websocket_handshake3v(nc, wn_mk_str(path), wn_mk_str(host), wn_mk_str(protocol), wn_mk_str(extra_headers),
                                  wn_mk_str(user), wn_mk_str(pass));
}

void wn_send_websocket_handshake2(wn_connection* nc, const char* path, const char* host, const char* protocol,
                                  const char* extra_headers) {
    wn_send_websocket_handshake3(nc, path, host, protocol, extra_headers, nullptr, nullptr);
}

void wn_send_websocket_handshake(wn_connection* nc, const char* path, const char* extra_headers) {
    wn_send_websocket_handshake2(nc, path, nullptr, nullptr, extra_headers);
}

wn_connection* wn_connect_ws_opt(wn_mgr* mgr, wn_event_handler handler, wn_connect_opts opts, const char* url,
                                 const char* protocol, const char* extra_headers) {
    wn_str path = {nullptr, 0}, user_info = {nullptr, 0}, host = {nullptr, 0};
    wn_connection* nc =
        wn_connect_http_base(mgr, handler, opts, "http", "ws", "https", "wss", url, &path, &user_info, &host);
    if (nc != nullptr) {
        wn_send_websocket_handshake3v(nc, path, host, wn_mk_str(protocol), wn_mk_str(extra_headers), user_info,
                                      wn_str{nullptr, 0});
    }
    return nc;
}

wn_connection* wn_connect_ws(wn_mgr* mgr, wn_event_handler handler, const char* url, const char* protocol,
                             const char* extra_headers) {
    wn_connect_opts opts;
    std::memset(&opts, 0, sizeof opts);
    return wn_connect_ws_opt(mgr, handler, opts, url, protocol, extra_headers);
}
