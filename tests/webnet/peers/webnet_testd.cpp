// A test-only driver for the networking library's HTTP layer: a server with a few endpoints for real
// clients (curl, python), or a WebSocket client. Nothing in the appliance starts the library, so its
// end-to-end tests need a program of their own.
//   webnet_testd server PASSWORD_FILE          prints "port N" once listening on 127.0.0.1
//   webnet_testd ws-client URL TEXT             prints the echoed message and exits
//   webnet_testd files ROOT [KEY=VALUE...]      serves ROOT with wn_serve_http; keys name serving options,
//                                               "own_port_redirect=URL" adds a redirect rule for its port
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wn_http.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

std::string text(const wn_str& s) { return s.p != nullptr ? std::string(s.p, s.len) : std::string(); }

void reply(wn_connection* nc, int code, const std::string& body) {
    wn_send_head(nc, code, static_cast<int64_t>(body.size()), "Content-Type: text/plain");
    wn_send(nc, body.data(), static_cast<int>(body.size()));
}

// Echoes what the request carried, so the client can check each field.
void echo(wn_connection* nc, int ev, void* ev_data) {
    if (ev != WN_EV_HTTP_REQUEST) return;
    auto* hm = static_cast<http_message*>(ev_data);
    std::string body = text(hm->method) + " " + text(hm->uri) + " q=" + text(hm->query_string) + " len=" +
                       std::to_string(hm->body.len) + "\n" + text(hm->body);
    char value[64];
    if (wn_get_http_var(&hm->query_string, "name", value, sizeof value) >= 0) body += std::string("\nname=") + value;
    reply(nc, 200, body);
}

void chunks(wn_connection* nc, int ev, void*) {
    if (ev != WN_EV_HTTP_REQUEST) return;
    wn_send_head(nc, 200, -1, "Content-Type: text/plain");
    wn_printf_http_chunk(nc, "first %d\n", 1);
    wn_send_http_chunk(nc, "second\n", 7);
    wn_printf_html_escape(nc, "%s", "");
    wn_send_http_chunk(nc, "", 0);
}

void digest(wn_connection* nc, int ev, void*) {
    if (ev == WN_EV_HTTP_REQUEST) reply(nc, 200, "digest ok\n");
}

void basic(wn_connection* nc, int ev, void* ev_data) {
    if (ev != WN_EV_HTTP_REQUEST) return;
    char user[32], pass[32];
    if (wn_get_http_basic_auth(static_cast<http_message*>(ev_data), user, sizeof user, pass, sizeof pass) == 0 &&
        std::strcmp(user, "user") == 0 && std::strcmp(pass, "pass") == 0) {
        reply(nc, 200, "basic ok\n");
    } else {
        wn_send_response_line(nc, 401, "WWW-Authenticate: Basic realm=\"test\"\r\nContent-Length: 0");
        wn_send(nc, "\r\n", 2);
    }
}

void ws_echo(wn_connection* nc, int ev, void* ev_data) {
    if (ev == WN_EV_WEBSOCKET_FRAME) {
        auto* message = static_cast<websocket_message*>(ev_data);
        wn_send_websocket_frame(nc, message->flags & 0x0F, message->data, message->size);
    }
}

void fallback(wn_connection* nc, int ev, void* ev_data) {
    if (ev == WN_EV_HTTP_REQUEST) {
        auto* hm = static_cast<http_message*>(ev_data);
        if (wn_vcmp(&hm->uri, "/redirect") == 0) {
            wn_http_send_redirect(nc, 302, wn_mk_str("/echo"), wn_mk_str("X-Test: 1"));
        } else {
            wn_http_send_error(nc, 404, nullptr);
        }
    }
}

wn_serve_http_opts g_serve;
std::string g_rewrites;

void serve_files(wn_connection* nc, int ev, void* ev_data) {
    if (ev == WN_EV_HTTP_REQUEST) wn_serve_http(nc, static_cast<http_message*>(ev_data), g_serve);
    if (ev == WN_EV_SSI_CALL) wn_printf(nc, "[called:%s]", static_cast<const char*>(ev_data));
}

// Names and sizes of the parts of a multipart body.
void upload(wn_connection* nc, int ev, void* ev_data) {
    if (ev != WN_EV_HTTP_REQUEST) return;
    auto* hm = static_cast<http_message*>(ev_data);
    std::string out;
    const char* p = hm->body.p;
    size_t left = hm->body.len;
    for (;;) {
        char name[64], file[64];
        const char* data = nullptr;
        size_t length = 0;
        const size_t used = wn_parse_multipart(p, left, name, sizeof name, file, sizeof file, &data, &length);
        if (used == 0) break;
        out += std::string(name) + "|" + file + "|" + std::to_string(length) + "|" + std::string(data, length) + "\n";
        p += used;
        left -= used;
    }
    reply(nc, 200, out);
}

int run_files(int argc, char** argv) {
    std::memset(&g_serve, 0, sizeof g_serve);
    g_serve.document_root = argv[2];
    const char* own_redirect = nullptr;
    for (int i = 3; i < argc; ++i) {
        char* eq = std::strchr(argv[i], '=');
        if (eq == nullptr) continue;
        *eq = '\0';
        const char* key = argv[i];
        const char* value = eq + 1;
        if (std::strcmp(key, "listing") == 0) g_serve.enable_directory_listing = value;
        if (std::strcmp(key, "cgi_interpreter") == 0) g_serve.cgi_interpreter = value;
        if (std::strcmp(key, "hidden") == 0) g_serve.hidden_file_pattern = value;
        if (std::strcmp(key, "acl") == 0) g_serve.ip_acl = value;
        if (std::strcmp(key, "rewrites") == 0) g_rewrites = value;
        if (std::strcmp(key, "auth_domain") == 0) g_serve.auth_domain = value;
        if (std::strcmp(key, "global_auth_file") == 0) g_serve.global_auth_file = value;
        if (std::strcmp(key, "extra_headers") == 0) g_serve.extra_headers = value;
        if (std::strcmp(key, "own_port_redirect") == 0) own_redirect = value;
    }
    wn_mgr mgr;
    wn_mgr_init(&mgr, nullptr);
    wn_connection* listener = wn_bind(&mgr, "127.0.0.1:0", serve_files);
    if (listener == nullptr) return 1;
    wn_set_protocol_http_websocket(listener);
    wn_register_http_endpoint(listener, "/upload", upload);
    const int port = ntohs(listener->sa.sin_port);
    if (own_redirect != nullptr) {
        if (!g_rewrites.empty()) g_rewrites += ",";
        g_rewrites += "%" + std::to_string(port) + "=" + own_redirect;
    }
    if (!g_rewrites.empty()) g_serve.url_rewrites = g_rewrites.c_str();
    std::printf("port %d\n", port);
    std::fflush(stdout);
    while (!g_stop) wn_mgr_poll(&mgr, 100);
    wn_mgr_free(&mgr);
    return 0;
}

int run_server(const char* password_file) {
    wn_mgr mgr;
    wn_mgr_init(&mgr, nullptr);
    wn_connection* listener = wn_bind(&mgr, "127.0.0.1:0", fallback);
    if (listener == nullptr) return 1;
    wn_set_protocol_http_websocket(listener);
    wn_register_http_endpoint(listener, "/echo", echo);
    wn_register_http_endpoint(listener, "/chunks", chunks);
    wn_register_http_endpoint(listener, "/basic", basic);
    wn_register_http_endpoint(listener, "/ws", ws_echo);
    wn_http_endpoint_opts opts = {};
    opts.auth_domain = "briskbox";
    opts.auth_file = password_file;
    wn_register_http_endpoint_opt(listener, "/digest", digest, opts);
    std::printf("port %d\n", ntohs(listener->sa.sin_port));
    std::fflush(stdout);
    while (!g_stop) wn_mgr_poll(&mgr, 100);
    wn_mgr_free(&mgr);
    return 0;
}

struct ClientState {
    const char* text;
    bool done = false;
    int status = 1;
};

void ws_client(wn_connection* nc, int ev, void* ev_data) {
    auto* state = static_cast<ClientState*>(nc->user_data);
    if (ev == WN_EV_WEBSOCKET_HANDSHAKE_DONE) {
        wn_send_websocket_frame(nc, WEBSOCKET_OP_TEXT, state->text, std::strlen(state->text));
    } else if (ev == WN_EV_WEBSOCKET_FRAME) {
        auto* message = static_cast<websocket_message*>(ev_data);
        std::printf("%.*s\n", static_cast<int>(message->size), message->data);
        state->status = 0;
        state->done = true;
        wn_ws_close(nc, "\x03\xe8", 2);  // normal closure
    } else if (ev == WN_EV_CLOSE) {
        state->done = true;
    }
}

int run_ws_client(const char* url, const char* message) {
    wn_mgr mgr;
    wn_mgr_init(&mgr, nullptr);
    ClientState state;
    state.text = message;
    wn_connect_opts opts = {};
    opts.user_data = &state;
    if (wn_connect_ws_opt(&mgr, ws_client, opts, url, nullptr, nullptr) == nullptr) return 2;
    for (int i = 0; i < 100 && !state.done; ++i) wn_mgr_poll(&mgr, 50);
    for (int i = 0; i < 5; ++i) wn_mgr_poll(&mgr, 10);  // the close frame goes out
    wn_mgr_free(&mgr);
    return state.status;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    if (argc == 3 && std::strcmp(argv[1], "server") == 0) return run_server(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "ws-client") == 0) return run_ws_client(argv[2], argv[3]);
    if (argc >= 3 && std::strcmp(argv[1], "files") == 0) return run_files(argc, argv);
    std::fprintf(stderr, "usage: %s server PASSWORD_FILE | ws-client URL TEXT\n", argv[0]);
    return 2;
}
