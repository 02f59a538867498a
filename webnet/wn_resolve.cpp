// The asynchronous resolver: a query over a UDP connection of the manager, retried on the poll clock, the
// first reply with answers handed to the callback. Also the name server of resolv.conf and the hosts file.
#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fixed_path.h"
#include "wn_dns.h"
#include "wn_log.h"

namespace {

// Used only when neither the caller, the manager nor resolv.conf names a server.
constexpr const char* kFallbackNameserver = "8.8.8.8";
constexpr int kDefaultTimeout = 5;
constexpr int kDefaultRetries = 2;
constexpr size_t kMaxName = 1024;

struct wn_resolve_async_request {
    char name[kMaxName];
    int query;
    wn_resolve_callback callback;
    void* data;
    int timeout;
    int max_retries;
    int err;
    double last_time;
    int retries;
};

void send_query(wn_connection* nc, wn_resolve_async_request* request) {
    const double now = wn_time();
    if (request->retries == 0 || now - request->last_time >= request->timeout) {
        wn_send_dns_query(nc, request->name, request->query);
        request->last_time = now;
        ++request->retries;
    }
}

void resolve_handler(wn_connection* nc, int ev, void* ev_data) {
    auto* request = static_cast<wn_resolve_async_request*>(nc->user_data);
    if (ev != WN_EV_POLL) WN_LOG(WN_LOG_DEBUG, ("ev=%d user_data=%p", ev, nc->user_data));
    if (request == nullptr) return;  // detached: the request has ended
    switch (ev) {
        case WN_EV_POLL:
            if (request->retries > request->max_retries) {
                request->err = WN_RESOLVE_EXCEEDED_RETRY_COUNT;
                nc->flags |= WN_F_CLOSE_IMMEDIATELY;
                break;
            }
            if (nc->flags & WN_F_CONNECTING) break;
            send_query(nc, request);
            break;
        case WN_EV_CONNECT:
            send_query(nc, request);
            break;
        case WN_EV_RECV: {
            wn_dns_message message;
            if (wn_parse_dns(nc->recv_mbuf.buf, static_cast<int>(nc->recv_mbuf.len), &message) == 0 &&
                message.num_answers > 0) {
                request->callback(&message, request->data, WN_RESOLVE_OK);
                nc->user_data = nullptr;
                std::free(request);
            } else {
                request->err = WN_RESOLVE_NO_ANSWERS;
            }
            nc->flags |= WN_F_CLOSE_IMMEDIATELY;
            break;
        }
        case WN_EV_SEND:
            if (*static_cast<int*>(ev_data) < 0) {
                // A failed send does not end the lookup: the next attempt follows after the time-out.
                nc->flags &= ~WN_F_CLOSE_IMMEDIATELY;
                mbuf_remove(&nc->send_mbuf, nc->send_mbuf.len);
            }
            break;
        case WN_EV_TIMER:
            request->err = WN_RESOLVE_TIMEOUT;
            nc->flags |= WN_F_CLOSE_IMMEDIATELY;
            break;
        case WN_EV_CLOSE:
            nc->user_data = nullptr;
            request->callback(nullptr, request->data, request->err);
            std::free(request);
            break;
        default: break;
    }
}

}  // namespace

int wn_resolve_async(wn_mgr* mgr, const char* name, int query, wn_resolve_callback callback, void* data) {
    wn_resolve_async_opts opts;
    std::memset(&opts, 0, sizeof opts);
    return wn_resolve_async_opt(mgr, name, query, callback, data, opts);
}

int wn_resolve_async_opt(wn_mgr* mgr, const char* name, int query, wn_resolve_callback callback, void* data,
                         wn_resolve_async_opts opts) {
    const char* nameserver = opts.nameserver != nullptr ? opts.nameserver : mgr->nameserver;
    WN_LOG(WN_LOG_DEBUG, ("%s %d %p", name, query, static_cast<void*>(opts.dns_conn)));
    auto* request = static_cast<wn_resolve_async_request*>(std::calloc(1, sizeof(wn_resolve_async_request)));
    if (request == nullptr) return -1;
    std::snprintf(request->name, sizeof request->name, "%s", name);
    request->query = query;
    request->callback = callback;
    request->data = data;
    request->max_retries = opts.max_retries != 0 ? opts.max_retries : kDefaultRetries;
    request->timeout = opts.timeout != 0 ? opts.timeout : kDefaultTimeout;
    char from_file[17];
    if (nameserver == nullptr) {
        nameserver = wn_get_ip_address_of_nameserver(from_file, sizeof from_file) == 0 ? from_file : kFallbackNameserver;
    }
    char address[26];
    std::snprintf(address, sizeof address, "udp://%s:53", nameserver);
    wn_connect_opts connect;
    std::memset(&connect, 0, sizeof connect);
    connect.user_data = request;
    wn_connection* dns = wn_connect_opt(mgr, address, resolve_handler, connect);
    if (dns == nullptr) {
        std::free(request);
        return -1;
    }
    dns->user_data = request;
    if (opts.dns_conn != nullptr) *opts.dns_conn = dns;
    return 0;
}

void wn_set_nameserver(wn_mgr* mgr, const char* nameserver) {
    std::free(mgr->nameserver);
    mgr->nameserver = nullptr;
    if (nameserver != nullptr) {
        const size_t n = std::strlen(nameserver) + 1;
        mgr->nameserver = static_cast<char*>(std::malloc(n));
        if (mgr->nameserver != nullptr) std::memcpy(mgr->nameserver, nameserver, n);
    }
}

int wn_get_ip_address_of_nameserver(char* buffer, size_t size) {
    FILE* file = std::fopen(fixed_path("/etc/resolv.conf").c_str(), "r");
    if (file == nullptr) return -1;
    char line[512];
    int result = -1;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        unsigned a, b, c, d;
        if (std::sscanf(line, "nameserver %u.%u.%u.%u", &a, &b, &c, &d) == 4) {
            std::snprintf(buffer, size, "%u.%u.%u.%u", a, b, c, d);
            result = 0;
            break;
        }
    }
    std::fclose(file);
    return result;
}

int wn_resolve_from_hosts_file(const char* name, socket_address* sa) {
    FILE* file = std::fopen(fixed_path("/etc/hosts").c_str(), "r");
    if (file == nullptr) return -1;
    char line[1024];
    int result = -1;
    while (result != 0 && std::fgets(line, sizeof line, file) != nullptr) {
        if (line[0] == '#') continue;
        unsigned a, b, c, d;
        int consumed = 0;
        if (std::sscanf(line, "%u.%u.%u.%u%n", &a, &b, &c, &d, &consumed) != 4) continue;
        for (char* word = std::strtok(line + consumed, " \t\r\n"); word != nullptr;
             word = std::strtok(nullptr, " \t\r\n")) {
            if (std::strcmp(word, name) == 0) {
                sa->sin_addr.s_addr = htonl((a << 24) | (b << 16) | (c << 8) | d);
                result = 0;
                break;
            }
        }
    }
    std::fclose(file);
    return result;
}
