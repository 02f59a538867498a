// CGI/1.1: the script runs in a child process whose standard input and output are one end of a socket
// pair; the other end is a connection of the manager that relays the script's output to the client.
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <initializer_list>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "wn_http.h"
#include "wn_log.h"
#include "wn_util.h"

namespace {

constexpr size_t kEnvText = 8192;
constexpr int kEnvPointers = 64;
constexpr int kMaxEnvVariables = 62;
constexpr size_t kMaxCgiHeaders = 8192;

struct wn_cgi_env_block {
    wn_connection* nc;
    char buf[kEnvText];
    int len;
    const char* vars[kEnvPointers];
    int nvars;
};

void add_env(wn_cgi_env_block* block, const char* format, ...) __attribute__((format(printf, 2, 3)));

void add_env(wn_cgi_env_block* block, const char* format, ...) {
    const int space = static_cast<int>(kEnvText) - (block->len + 2);
    if (space <= 0) return;
    char* added = block->buf + block->len;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(added, static_cast<size_t>(space), format, args);
    va_end(args);
    // Only a whole variable is kept.
    if (n > 0 && n + 1 < space && block->nvars < kMaxEnvVariables) {
        block->vars[block->nvars++] = added;
        block->len += n + 1;
    }
}

void add_process_env(wn_cgi_env_block* block, const char* name) {
    const char* value = std::getenv(name);
    if (value != nullptr) add_env(block, "%s=%s", name, value);
}

void prepare_env(wn_connection* nc, const char* prog, const wn_str* path_info, http_message* hm,
                 const wn_serve_http_opts* opts, wn_cgi_env_block* block) {
    std::memset(block, 0, sizeof *block);
    block->nc = nc;
    const char* server_name = std::getenv("SERVER_NAME");
    if (server_name != nullptr) {
        add_env(block, "SERVER_NAME=%s", server_name);
    } else {
        char local[100];
        wn_conn_addr_to_str(nc, local, sizeof local, WN_SOCK_STRINGIFY_IP | WN_SOCK_STRINGIFY_PORT);
        add_env(block, "SERVER_NAME=%s", local);
    }
    add_env(block, "SERVER_ROOT=%s", opts->document_root);
    add_env(block, "DOCUMENT_ROOT=%s", opts->document_root);
    add_env(block, "SERVER_SOFTWARE=%s/%s", "WebNet", WN_VERSION);
    add_env(block, "%s", "GATEWAY_INTERFACE=CGI/1.1");
    add_env(block, "%s", "SERVER_PROTOCOL=HTTP/1.1");
    add_env(block, "%s", "REDIRECT_STATUS=200");
    add_env(block, "REQUEST_METHOD=%.*s", static_cast<int>(hm->method.len), hm->method.p);
    add_env(block, "REQUEST_URI=%.*s%s%.*s", static_cast<int>(hm->uri.len), hm->uri.p,
            hm->query_string.len > 0 ? "?" : "", static_cast<int>(hm->query_string.len),
            hm->query_string.p != nullptr ? hm->query_string.p : "");
    char remote[100];
    wn_conn_addr_to_str(nc, remote, sizeof remote, WN_SOCK_STRINGIFY_IP | WN_SOCK_STRINGIFY_REMOTE);
    add_env(block, "REMOTE_ADDR=%s", remote);
    char port[16];
    wn_conn_addr_to_str(nc, port, sizeof port, WN_SOCK_STRINGIFY_PORT);
    add_env(block, "SERVER_PORT=%s", port);
    const size_t script_uri_len = hm->uri.len >= path_info->len ? hm->uri.len - path_info->len : 0;
    if (script_uri_len > 0 && hm->uri.p[script_uri_len - 1] == '/') {
        const char* slash = std::strrchr(prog, '/');
        add_env(block, "SCRIPT_NAME=%.*s/%s", static_cast<int>(script_uri_len - 1), hm->uri.p,
                slash != nullptr ? slash + 1 : prog);
    } else {
        add_env(block, "SCRIPT_NAME=%.*s", static_cast<int>(script_uri_len), hm->uri.p);
    }
    add_env(block, "SCRIPT_FILENAME=%s", prog);
    if (path_info->len > 0) {
        add_env(block, "PATH_INFO=%.*s", static_cast<int>(path_info->len), path_info->p);
        add_env(block, "PATH_TRANSLATED=%.*s", static_cast<int>(path_info->len), path_info->p);
    }
    add_env(block, "%s", "HTTPS=off");
    wn_str* content_type = wn_get_http_header(hm, "Content-Type");
    if (content_type != nullptr) add_env(block, "CONTENT_TYPE=%.*s", static_cast<int>(content_type->len), content_type->p);
    if (hm->query_string.len > 0) {
        add_env(block, "QUERY_STRING=%.*s", static_cast<int>(hm->query_string.len), hm->query_string.p);
    }
    wn_str* content_length = wn_get_http_header(hm, "Content-Length");
    if (content_length != nullptr) {
        add_env(block, "CONTENT_LENGTH=%.*s", static_cast<int>(content_length->len), content_length->p);
    }
    for (const char* name : {"PATH", "TMP", "TEMP", "TMPDIR", "PERLLIB", "WEBNET_CGI", "LD_LIBRARY_PATH"}) {
        add_process_env(block, name);
    }
    for (int i = 0; i < WN_MAX_HTTP_HEADERS && hm->header_names[i].len > 0; ++i) {
        char name[256];
        const size_t n = hm->header_names[i].len < sizeof name ? hm->header_names[i].len : sizeof name - 1;
        for (size_t k = 0; k < n; ++k) {
            const char c = hm->header_names[i].p[k];
            name[k] = c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        add_env(block, "HTTP_%.*s=%.*s", static_cast<int>(n), name, static_cast<int>(hm->header_values[i].len),
                hm->header_values[i].p);
    }
    block->vars[block->nvars] = nullptr;
    block->buf[block->len] = '\0';
}

}  // namespace

int wn_start_process(const char* interpreter, const char* cmd, const char* env, const char** envp, const char* dir,
                     int sock) {
    (void)env;
    const pid_t pid = fork();
    if (pid < 0) return 0;
    if (pid == 0) {
        if (chdir(dir) != 0) {
            // The script runs where it can; its own paths tell it where it is.
        }
        dup2(sock, 0);
        dup2(sock, 1);
        close(sock);
        std::signal(SIGCHLD, SIG_DFL);
        if (interpreter == nullptr) {
            execle(cmd, cmd, static_cast<char*>(nullptr), envp);
        } else {
            execle(interpreter, interpreter, cmd, static_cast<char*>(nullptr), envp);
        }
        char message[500];
        const int n = std::snprintf(message, sizeof message, "Status: 500\r\n\r\n500 Server Error: %s%s%s: %s",
                                    interpreter != nullptr ? interpreter : "", interpreter != nullptr ? " " : "", cmd,
                                    std::strerror(errno));
        if (write(1, message, static_cast<size_t>(n < static_cast<int>(sizeof message) ? n : sizeof message - 1)) < 0) {
        }
        _exit(1);
    }
    return 1;
}

void wn_cgi_ev_handler(wn_connection* cgi_nc, int ev, void* ev_data) {
    (void)ev_data;
    auto* nc = static_cast<wn_connection*>(cgi_nc->user_data);
    if (nc == nullptr) {
        cgi_nc->flags |= WN_F_CLOSE_IMMEDIATELY;
        return;
    }
    switch (ev) {
        case WN_EV_RECV: {
            mbuf* io = &cgi_nc->recv_mbuf;
            if (nc->flags & WN_F_HTTP_CGI_PARSE_HEADERS) {
                const int length = wn_http_get_request_len(io->buf, static_cast<int>(io->len));
                if (length == 0 && io->len <= kMaxCgiHeaders) break;
                if (length <= 0 || io->len > kMaxCgiHeaders) {
                    cgi_nc->flags |= WN_F_CLOSE_IMMEDIATELY;
                    wn_http_send_error(nc, 500, "Bad headers");
                } else {
                    http_message hm;
                    std::memset(&hm, 0, sizeof hm);
                    wn_http_parse_headers(io->buf, io->buf + io->len, length, &hm);
                    wn_str* status = wn_get_http_header(&hm, "Status");
                    if (wn_get_http_header(&hm, "Location") != nullptr) {
                        wn_printf(nc, "%s", "HTTP/1.1 302 Moved\r\n");
                    } else if (status != nullptr) {
                        wn_printf(nc, "HTTP/1.1 %.*s\r\n", static_cast<int>(status->len), status->p);
                    } else {
                        wn_printf(nc, "%s", "HTTP/1.1 200 OK\r\n");
                    }
                }
                nc->flags &= ~WN_F_HTTP_CGI_PARSE_HEADERS;
            }
            if (!(nc->flags & WN_F_HTTP_CGI_PARSE_HEADERS)) wn_forward(cgi_nc, nc);
            break;
        }
        case WN_EV_CLOSE: {
            WN_LOG(WN_LOG_DEBUG, ("%p CLOSE", static_cast<void*>(cgi_nc)));
            wn_http_proto_data* pd = wn_http_get_proto_data(nc);
            if (pd != nullptr) wn_http_free_proto_data_cgi(pd);
            nc->flags |= WN_F_SEND_AND_CLOSE;
            break;
        }
        default: break;
    }
}

void wn_handle_cgi(wn_connection* nc, const char* prog, const wn_str* path_info, http_message* hm,
                   const wn_serve_http_opts* opts) {
    WN_LOG(WN_LOG_DEBUG, ("%p [%s]", static_cast<void*>(nc), prog));
    auto* block = static_cast<wn_cgi_env_block*>(std::malloc(sizeof(wn_cgi_env_block)));
    if (block == nullptr) {
        wn_http_send_error(nc, 500, "CGI failure");
        return;
    }
    prepare_env(nc, prog, path_info, hm, opts, block);
    char dir[WN_MAX_PATH];
    const char* slash = std::strrchr(prog, '/');
    const char* program = prog;
    if (slash != nullptr) {
        std::snprintf(dir, sizeof dir, "%.*s", static_cast<int>(slash - prog), prog);
        program = slash + 1;
    } else {
        std::snprintf(dir, sizeof dir, "%s", ".");
    }
    int fds[2];
    if (!wn_socketpair(fds, SOCK_STREAM)) {
        nc->flags |= WN_F_CLOSE_IMMEDIATELY;
        std::free(block);
        return;
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &sa, nullptr);
    if (wn_start_process(opts->cgi_interpreter, program, block->buf, block->vars, dir, fds[1])) {
        wn_connection* cgi_nc = wn_add_sock(nc->mgr, fds[0], wn_cgi_ev_handler);
        wn_http_proto_data* pd = wn_http_get_proto_data(nc);
        if (cgi_nc != nullptr && pd != nullptr) {
            pd->cgi_nc = cgi_nc;
            cgi_nc->user_data = nc;
            nc->flags |= WN_F_HTTP_CGI_PARSE_HEADERS;
            if (hm->body.len > 0 && hm->body.len != ~static_cast<size_t>(0)) {
                wn_send(cgi_nc, hm->body.p, static_cast<int>(hm->body.len));
            }
        }
        mbuf_remove(&nc->recv_mbuf, nc->recv_mbuf.len);
    } else {
        close(fds[0]);
        wn_http_send_error(nc, 500, "CGI failure");
    }
    close(fds[1]);
    std::free(block);
}
