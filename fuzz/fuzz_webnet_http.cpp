// Arbitrary bytes through the networking library's HTTP handler (requests, chunked bodies, pipelining,
// WebSocket upgrades) and its WebSocket frame reader, on connections without sockets; plus the message
// parser in both directions and the header-parameter reader.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "wn_http.h"
#include "wn_log.h"

namespace {

void consume(wn_connection*, int, void*) {}

void feed(wn_connection* nc, const uint8_t* data, size_t size) {
    mbuf_append(&nc->recv_mbuf, data, size);
    int n = static_cast<int>(size);
    wn_call(nc, nullptr, nullptr, WN_EV_RECV, &n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        wu_log_set_level(-1);
        return true;
    }();
    (void)quiet;
    wn_mgr mgr;
    wn_mgr_init(&mgr, nullptr);
    wn_add_sock_opts opts = {};
    wn_connection* listener = wn_create_connection_base(&mgr, consume, opts);
    wn_connection* http = wn_create_connection_base(&mgr, consume, opts);
    http->listener = listener;
    wn_set_protocol_http_websocket(http);
    const size_t half = size / 2;
    feed(http, data, half);
    feed(http, data + half, size - half);
    wn_call(http, nullptr, nullptr, WN_EV_CLOSE, nullptr);

    wn_connection* ws = wn_create_connection_base(&mgr, consume, opts);
    ws->listener = (size & 1) ? listener : nullptr;
    ws->proto_handler = wn_ws_handler;
    feed(ws, data, size);

    const std::string text(reinterpret_cast<const char*>(data), size);
    http_message hm;
    for (int request = 0; request < 2; ++request) {
        if (wn_parse_http(text.data(), static_cast<int>(text.size()), &hm, request) > 0) {
            for (int i = 0; i < WN_MAX_HTTP_HEADERS && hm.header_names[i].len > 0; ++i) {
                char buffer[8];
                char* value = buffer;
                wn_http_parse_header2(&hm.header_values[i], "name", &value, sizeof buffer);
                if (value != buffer) std::free(value);
            }
        }
    }
    wn_destroy_conn(http, 0);
    wn_destroy_conn(ws, 0);
    wn_destroy_conn(listener, 0);
    wn_mgr_free(&mgr);
    return 0;
}
