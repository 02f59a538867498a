// Address texts, listeners, accepted and outbound connections, connections around existing sockets, and
// the IPv4 access lists. IPv4 only; a name that is not in the hosts file is looked up asynchronously.
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include "wn_dns.h"
#include "wn_log.h"
#include "wn_net.h"
#include "wn_strings.h"

namespace {

void set_error(const char** error_string, const char* text) {
    if (error_string != nullptr) *error_string = text;
}

const char* proto_name(const wn_connection* nc) { return (nc->flags & WN_F_UDP) ? "udp" : "tcp"; }

const char* address_text(const socket_address& sa, char* buffer, size_t size) {
    return inet_ntop(AF_INET, &sa.sin_addr, buffer, static_cast<socklen_t>(size));
}

void do_connect(wn_connection* nc, int proto, socket_address* sa) {
    char address[INET_ADDRSTRLEN] = "";
    WN_LOG(WN_LOG_DEBUG, ("%p %s://%s:%hu", static_cast<void*>(nc), proto == WN_PROTO_UDP ? "udp" : "tcp",
                          address_text(*sa, address, sizeof address), ntohs(sa->sin_port)));
    nc->flags |= WN_F_CONNECTING;
    if (proto == WN_PROTO_UDP) {
        nc->iface->vtable->connect_udp(nc);
    } else {
        nc->iface->vtable->connect_tcp(nc, sa);
    }
    wn_add_conn(nc->mgr, nc);
}

void resolve_for_connect_cb(wn_dns_message* message, void* data, int result) {
    auto* nc = static_cast<wn_connection*>(data);
    nc->flags &= ~WN_F_RESOLVING;
    nc->priv_2 = nullptr;
    if (message != nullptr) {
        wn_dns_resource_record* answer = wn_dns_next_record(message, WN_DNS_A_RECORD, nullptr);
        if (answer != nullptr && wn_dns_parse_record_data(message, answer, &nc->sa.sin_addr, 4) == 0) {
            do_connect(nc, (nc->flags & WN_F_UDP) ? WN_PROTO_UDP : WN_PROTO_TCP, &nc->sa);
            return;
        }
    }
    if (result == WN_RESOLVE_TIMEOUT) {
        double now = wn_time();
        wn_call(nc, nullptr, nc->user_data, WN_EV_TIMER, &now);
    }
    int failed = -1;
    wn_call(nc, nullptr, nc->user_data, WN_EV_CONNECT, &failed);
    wn_call(nc, nullptr, nc->user_data, WN_EV_CLOSE, nullptr);
    wn_destroy_conn(nc, 1);
}

bool ends_address(char c) { return c == '\0' || c == ',' || std::isspace(static_cast<unsigned char>(c)); }

}  // namespace

int wn_parse_address(const char* text, socket_address* sa, int* proto, char* host, size_t host_size) {
    std::memset(sa, 0, sizeof *sa);
    sa->sin_family = AF_INET;
    *proto = WN_PROTO_TCP;
    if (std::strncmp(text, "udp://", 6) == 0) {
        *proto = WN_PROTO_UDP;
        text += 6;
    } else if (std::strncmp(text, "tcp://", 6) == 0) {
        text += 6;
    }
    unsigned a = 0, b = 0, c = 0, d = 0, port = 0;
    int length = 0;
    bool needs_lookup = false;
    if (std::sscanf(text, "%u.%u.%u.%u:%u%n", &a, &b, &c, &d, &port, &length) == 5) {
        sa->sin_addr.s_addr = htonl((a << 24) | (b << 16) | (c << 8) | d);
        sa->sin_port = htons(static_cast<uint16_t>(port));
    } else if (std::strlen(text) < host_size && std::sscanf(text, "%[^ :]:%u%n", host, &port, &length) == 2) {
        sa->sin_port = htons(static_cast<uint16_t>(port));
        if (wn_resolve_from_hosts_file(host, sa) != 0) {
            if (strncasecmp(host, "localhost", 9) == 0) return -1;
            needs_lookup = true;
        }
    } else if (std::sscanf(text, ":%u%n", &port, &length) == 1 || std::sscanf(text, "%u%n", &port, &length) == 1) {
        sa->sin_port = htons(static_cast<uint16_t>(port));
    } else {
        return -1;
    }
    if (port > 65534 || !ends_address(text[length])) return -1;
    return needs_lookup ? 0 : length;
}

wn_connection* wn_bind(wn_mgr* mgr, const char* address, wn_event_handler handler) {
    wn_add_sock_opts opts;
    std::memset(&opts, 0, sizeof opts);
    return wn_bind_opt(mgr, address, handler, opts);
}

wn_connection* wn_bind_opt(wn_mgr* mgr, const char* address, wn_event_handler handler, wn_add_sock_opts opts) {
    if (handler == nullptr) handler = wn_default_handler;
    socket_address sa;
    int proto = 0;
    char host[kWnHostBuffer];
    if (wn_parse_address(address, &sa, &proto, host, sizeof host) <= 0) {
        set_error(opts.error_string, "cannot parse address");
        return nullptr;
    }
    wn_connection* nc = wn_create_connection(mgr, handler, opts);
    if (nc == nullptr) return nullptr;
    nc->sa = sa;
    nc->flags |= WN_F_LISTENING;
    if (proto == WN_PROTO_UDP) nc->flags |= WN_F_UDP;
    const int err = proto == WN_PROTO_UDP ? nc->iface->vtable->listen_udp(nc, &nc->sa)
                                          : nc->iface->vtable->listen_tcp(nc, &nc->sa);
    if (err != 0) {
        WN_LOG(WN_LOG_VERBOSE, ("Failed to open listener: %d", err));
        set_error(opts.error_string, "failed to open listener");
        wn_destroy_conn(nc, 1);
        return nullptr;
    }
    wn_add_conn(mgr, nc);
    return nc;
}

void wn_accept_conn(wn_connection* listener) {
    socket_address sa;
    socklen_t length = sizeof sa;
    const int sock = accept(listener->sock, reinterpret_cast<sockaddr*>(&sa), &length);
    if (sock < 0) {
        if (wn_is_error()) WN_LOG(WN_LOG_VERBOSE, ("%p: failed to accept: %d", static_cast<void*>(listener), errno));
        return;
    }
    wn_add_sock_opts opts;
    std::memset(&opts, 0, sizeof opts);
    wn_connection* nc = wn_create_connection(listener->mgr, listener->handler, opts);
    if (nc == nullptr) {
        close(sock);
        return;
    }
    nc->listener = listener;
    nc->proto_handler = listener->proto_handler;
    nc->user_data = listener->user_data;
    nc->recv_mbuf_limit = listener->recv_mbuf_limit;
    nc->iface = listener->iface;
    if (listener->flags & WN_F_SSL) nc->flags |= WN_F_SSL;
    wn_add_conn(nc->mgr, nc);
    WN_LOG(WN_LOG_DEBUG, ("%p %p %d %#x", static_cast<void*>(listener), static_cast<void*>(nc), sock,
                          static_cast<unsigned>(nc->flags)));
    char address[INET_ADDRSTRLEN] = "";
    WN_LOG(WN_LOG_VERBOSE, ("%p conn from %s:%d", static_cast<void*>(nc), address_text(sa, address, sizeof address),
                            ntohs(sa.sin_port)));
    wn_sock_set(nc, sock);
    WN_LOG(WN_LOG_DEBUG, ("%p %s://%s:%hu", static_cast<void*>(nc), proto_name(nc),
                          address_text(sa, address, sizeof address), ntohs(sa.sin_port)));
    nc->sa = sa;
    wn_call(nc, nullptr, nc->user_data, WN_EV_ACCEPT, &nc->sa);
}

wn_connection* wn_connect(wn_mgr* mgr, const char* address, wn_event_handler handler) {
    wn_connect_opts opts;
    std::memset(&opts, 0, sizeof opts);
    return wn_connect_opt(mgr, address, handler, opts);
}

wn_connection* wn_connect_opt(wn_mgr* mgr, const char* address, wn_event_handler handler, wn_connect_opts opts) {
    if (handler == nullptr) handler = wn_default_handler;
    wn_add_sock_opts base;
    base.user_data = opts.user_data;
    base.flags = opts.flags;
    base.error_string = opts.error_string;
    base.iface = opts.iface;
    wn_connection* nc = wn_create_connection(mgr, handler, base);
    if (nc == nullptr) return nullptr;
    int proto = 0;
    char host[kWnHostBuffer];
    const int parsed = wn_parse_address(address, &nc->sa, &proto, host, sizeof host);
    if (parsed < 0) {
        set_error(opts.error_string, "cannot parse address");
        wn_destroy_conn(nc, 0);
        return nullptr;
    }
    nc->flags |= opts.flags & WN_OPTION_FLAGS;
    if (proto == WN_PROTO_UDP) nc->flags |= WN_F_UDP;
    nc->user_data = opts.user_data;
    if (parsed > 0) {
        do_connect(nc, proto, &nc->sa);
        return nc;
    }
    wn_connection* dns = nullptr;
    wn_resolve_async_opts resolve;
    std::memset(&resolve, 0, sizeof resolve);
    resolve.nameserver = opts.nameserver;
    resolve.dns_conn = &dns;
    if (wn_resolve_async_opt(mgr, host, WN_DNS_A_RECORD, resolve_for_connect_cb, nc, resolve) != 0) {
        set_error(opts.error_string, "cannot schedule DNS lookup");
        wn_destroy_conn(nc, 0);
        return nullptr;
    }
    nc->priv_2 = dns;
    nc->flags |= WN_F_RESOLVING;
    return nc;
}

wn_connection* wn_add_sock(wn_mgr* mgr, int sock, wn_event_handler handler) {
    wn_add_sock_opts opts;
    std::memset(&opts, 0, sizeof opts);
    return wn_add_sock_opt(mgr, sock, handler, opts);
}

wn_connection* wn_add_sock_opt(wn_mgr* mgr, int sock, wn_event_handler handler, wn_add_sock_opts opts) {
    wn_connection* nc = wn_create_connection_base(mgr, handler, opts);
    if (nc != nullptr) {
        wn_sock_set(nc, sock);
        wn_add_conn(nc->mgr, nc);
    }
    return nc;
}

void wn_sock_set(wn_connection* nc, int sock) {
    if (sock != -1) nc->iface->vtable->sock_set(nc, sock);
}

void wn_if_get_conn_addr(wn_connection* nc, int remote, socket_address* sa) {
    nc->iface->vtable->get_conn_addr(nc, remote, sa);
}

bool wn_is_byte(int n) { return n >= 0 && n <= 255; }

int wn_parse_net(const char* text, uint32_t* net, uint32_t* mask) {
    int a = 0, b = 0, c = 0, d = 0, prefix = 32, length = 0;
    if (std::sscanf(text, "%d.%d.%d.%d/%d%n", &a, &b, &c, &d, &prefix, &length) != 5) {
        prefix = 32;
        if (std::sscanf(text, "%d.%d.%d.%d%n", &a, &b, &c, &d, &length) != 4) return 0;
    }
    if (!wn_is_byte(a) || !wn_is_byte(b) || !wn_is_byte(c) || !wn_is_byte(d) || prefix < 0 || prefix > 32) return 0;
    *net = (static_cast<uint32_t>(a) << 24) | (static_cast<uint32_t>(b) << 16) | (static_cast<uint32_t>(c) << 8) |
           static_cast<uint32_t>(d);
    // A shift by 32 is undefined: prefix 0 is the empty mask.
    *mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
    return length;
}

int wn_check_ip_acl(const char* acl, uint32_t remote_ip) {
    char verdict = (acl == nullptr || *acl == '\0') ? '+' : '-';
    wn_str rest = wn_mk_str(acl);
    wn_str entry;
    while ((rest = wn_next_comma_list_entry_n(rest, &entry, nullptr)).p != nullptr) {
        char text[64];
        if (entry.len < 2 || entry.len >= sizeof text || (entry.p[0] != '+' && entry.p[0] != '-')) return -1;
        std::memcpy(text, entry.p + 1, entry.len - 1);
        text[entry.len - 1] = '\0';
        uint32_t net = 0;
        uint32_t mask = 0;
        // The whole rest of the entry must be the network: "+10.0.0.0/8x" is malformed.
        if (wn_parse_net(text, &net, &mask) != static_cast<int>(entry.len - 1)) return -1;
        if ((remote_ip & mask) == net) verdict = entry.p[0];
    }
    WN_LOG(WN_LOG_VERBOSE, ("%08x %c", remote_ip, verdict));
    return verdict == '+' ? 1 : 0;
}
