// The connection manager: creation, the event path, one poll pass per connection, reading, writing and
// closing. Closing is always deferred to a poll step; handlers never free connections.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "wn_log.h"
#include "wn_net.h"
#include "wn_strings.h"

namespace {

const wn_iface_vtable* const kDefaultIfaces[] = {&wn_socket_iface_vtable};

void set_error(const char** error_string, const char* text) {
    if (error_string != nullptr) *error_string = text;
}

void dump(wn_connection* nc, const void* bytes, int length, int ev) {
    if (nc->mgr != nullptr && nc->mgr->hexdump_file != nullptr) {
        wn_hexdump_connection(nc, nc->mgr->hexdump_file, bytes, length, ev);
    }
}

void shrink(mbuf* buffer) { mbuf_trim(buffer); }

// Runs the connection's timer when it is due; a handler re-arms it with wn_set_timer.
void run_timer(wn_connection* nc, double now) {
    if (nc->ev_timer_time > 0 && now >= nc->ev_timer_time) {
        double when = nc->ev_timer_time;
        nc->ev_timer_time = 0;
        wn_call(nc, nullptr, nc->user_data, WN_EV_TIMER, &when);
    }
}

// The close checks and the poll event of a pass; true when the connection was closed.
bool close_or_poll(wn_connection* nc, double now) {
    if (nc->flags & WN_F_CLOSE_IMMEDIATELY) {
        wn_close_conn(nc);
        return true;
    }
    if (nc->flags & WN_F_SEND_AND_CLOSE) {
        if (nc->send_mbuf.len == 0) {
            nc->flags |= WN_F_CLOSE_IMMEDIATELY;
            wn_close_conn(nc);
            return true;
        }
    } else if (nc->flags & WN_F_RECV_AND_CLOSE) {
        wn_close_conn(nc);
        return true;
    }
    run_timer(nc, now);
    int64_t seconds = static_cast<int64_t>(now);
    wn_call(nc, nullptr, nc->user_data, WN_EV_POLL, &seconds);
    return false;
}

int handle_tcp_read(wn_connection* nc, char* free_space, size_t want) {
    const int n = nc->iface->vtable->tcp_recv(nc, free_space, want);
    WN_LOG(WN_LOG_VERBOSE, ("%p <- %d bytes", static_cast<void*>(nc), n));
    if (n > 0) {
        nc->recv_mbuf.len += static_cast<size_t>(n);
        nc->last_io_time = static_cast<int64_t>(wn_time());
        dump(nc, free_space, n, WN_EV_RECV);
        shrink(&nc->recv_mbuf);
        int count = n;
        wn_call(nc, nullptr, nc->user_data, WN_EV_RECV, &count);
    } else if (n < 0) {
        nc->flags |= WN_F_CLOSE_IMMEDIATELY;
    }
    shrink(&nc->recv_mbuf);
    return n;
}

int handle_udp_read(wn_connection* nc, char* free_space, size_t want) {
    socket_address from;
    std::memset(&from, 0, sizeof from);
    size_t from_length = sizeof from;
    const int n = nc->iface->vtable->udp_recv(nc, free_space, want, &from, &from_length);
    if (n < 0) nc->flags |= WN_F_CLOSE_IMMEDIATELY;
    wn_connection* peer = nullptr;
    if (nc->flags & WN_F_LISTENING) {
        for (wn_connection* c = wn_next(nc->mgr, nullptr); c != nullptr; c = wn_next(nc->mgr, c)) {
            if (c->listener == nc && std::memcmp(&c->sa, &from, from_length) == 0) {
                peer = c;
                break;
            }
        }
        if (peer == nullptr && n >= 0) {
            wn_add_sock_opts opts;
            std::memset(&opts, 0, sizeof opts);
            peer = wn_create_connection(nc->mgr, nc->handler, opts);
            if (peer != nullptr) {
                peer->sock = nc->sock;
                peer->listener = nc;
                peer->sa = from;
                peer->proto_handler = nc->proto_handler;
                peer->user_data = nc->user_data;
                peer->recv_mbuf_limit = nc->recv_mbuf_limit;
                peer->flags = WN_F_UDP | WN_F_SEND_AND_CLOSE;
                wn_add_conn(nc->mgr, peer);
                wn_call(peer, nullptr, peer->user_data, WN_EV_ACCEPT, &peer->sa);
            }
        }
    } else {
        peer = nc;
    }
    if (peer != nullptr && n >= 0) {
        char address[INET_ADDRSTRLEN] = "";
        WN_LOG(WN_LOG_VERBOSE, ("%p <- %d bytes from %s:%d", static_cast<void*>(nc), n,
                                inet_ntop(AF_INET, &from.sin_addr, address, sizeof address), ntohs(from.sin_port)));
        if (peer == nc) {
            nc->recv_mbuf.len += static_cast<size_t>(n);
        } else {
            mbuf_append(&peer->recv_mbuf, free_space, static_cast<size_t>(n));
        }
        shrink(&nc->recv_mbuf);
        nc->last_io_time = peer->last_io_time = static_cast<int64_t>(wn_time());
        dump(peer, free_space, n, WN_EV_RECV);
        if (n != 0) {
            int count = n;
            wn_call(peer, nullptr, peer->user_data, WN_EV_RECV, &count);
        }
    }
    // A UDP connection keeps no unread bytes from one datagram to the next.
    mbuf_free(&nc->recv_mbuf);
    return n;
}

int do_recv(wn_connection* nc) {
    if ((nc->flags & (WN_F_CLOSE_IMMEDIATELY | WN_F_CONNECTING)) ||
        ((nc->flags & WN_F_LISTENING) && !(nc->flags & WN_F_UDP))) {
        return -1;
    }
    size_t want = kWnIoSize;
    int n = 0;
    do {
        const size_t room = nc->recv_mbuf.len < nc->recv_mbuf_limit ? nc->recv_mbuf_limit - nc->recv_mbuf.len : 0;
        const size_t allowed = want < room ? want : room;
        if (allowed == 0) return -2;
        if (nc->recv_mbuf.size < nc->recv_mbuf.len + allowed) {
            mbuf_resize(&nc->recv_mbuf, nc->recv_mbuf.len + allowed);
            if (nc->recv_mbuf.size < nc->recv_mbuf.len + allowed) return -2;  // no memory: try next pass
        }
        want = nc->recv_mbuf.size - nc->recv_mbuf.len;
        char* free_space = nc->recv_mbuf.buf + nc->recv_mbuf.len;
        n = (nc->flags & WN_F_UDP) ? handle_udp_read(nc, free_space, want) : handle_tcp_read(nc, free_space, want);
    } while (n > 0 && !(nc->flags & (WN_F_CLOSE_IMMEDIATELY | WN_F_UDP)));
    return n;
}

void write_to_socket(wn_connection* nc) {
    if ((nc->flags & (WN_F_CLOSE_IMMEDIATELY | WN_F_CONNECTING)) ||
        ((nc->flags & WN_F_LISTENING) && !(nc->flags & WN_F_UDP))) {
        return;
    }
    if (nc->send_mbuf.len == 0) return;
    int n;
    if (nc->flags & WN_F_UDP) {
        n = nc->iface->vtable->udp_send(nc, nc->send_mbuf.buf, nc->send_mbuf.len);
    } else {
        const size_t length = nc->send_mbuf.len < kWnIoSize ? nc->send_mbuf.len : kWnIoSize;
        n = nc->iface->vtable->tcp_send(nc, nc->send_mbuf.buf, length);
    }
    WN_LOG(WN_LOG_VERBOSE, ("%p -> %d bytes", static_cast<void*>(nc), n));
    if (n > 0) {
        dump(nc, nc->send_mbuf.buf, n, WN_EV_SEND);
        nc->last_io_time = static_cast<int64_t>(wn_time());
        mbuf_remove(&nc->send_mbuf, static_cast<size_t>(n));
        shrink(&nc->send_mbuf);
    } else if (n < 0) {
        nc->flags |= WN_F_CLOSE_IMMEDIATELY;
    }
    if (n != 0) wn_call(nc, nullptr, nc->user_data, WN_EV_SEND, &n);
}

}  // namespace

double wn_time() { return wu_time(); }

void wn_mgr_init(wn_mgr* mgr, void* user_data) {
    wn_mgr_init_opts opts;
    std::memset(&opts, 0, sizeof opts);
    wn_mgr_init_opt(mgr, user_data, opts);
}

void wn_mgr_init_opt(wn_mgr* mgr, void* user_data, wn_mgr_init_opts opts) {
    std::memset(mgr, 0, sizeof *mgr);
    mgr->ctl[0] = mgr->ctl[1] = -1;
    mgr->user_data = user_data;
    std::signal(SIGPIPE, SIG_IGN);
    const wn_iface_vtable* builtin[1] = {kDefaultIfaces[0]};
    const wn_iface_vtable** list = builtin;
    int count = 1;
    if (opts.num_ifaces > 0 && opts.ifaces != nullptr) {
        list = opts.ifaces;
        count = opts.num_ifaces;
    }
    const wn_iface_vtable* first = opts.main_iface != nullptr ? opts.main_iface : list[0];
    mgr->ifaces = static_cast<wn_iface**>(std::calloc(static_cast<size_t>(count), sizeof(wn_iface*)));
    if (mgr->ifaces != nullptr) {
        mgr->num_ifaces = count;
        for (int i = 0; i < count; ++i) {
            mgr->ifaces[i] = wn_if_create_iface(i == 0 ? first : list[i], mgr);
            if (mgr->ifaces[i] != nullptr) mgr->ifaces[i]->vtable->init(mgr->ifaces[i]);
        }
    }
    if (opts.nameserver != nullptr) {
        const size_t n = std::strlen(opts.nameserver) + 1;
        mgr->nameserver = static_cast<char*>(std::malloc(n));
        if (mgr->nameserver != nullptr) std::memcpy(mgr->nameserver, opts.nameserver, n);
    }
    WN_LOG(WN_LOG_VERBOSE, ("=================================="));
    WN_LOG(WN_LOG_VERBOSE, ("init mgr=%p", static_cast<void*>(mgr)));
}

void wn_mgr_free(wn_mgr* mgr) {
    WN_LOG(WN_LOG_VERBOSE, ("%p", static_cast<void*>(mgr)));
    if (mgr == nullptr) return;
    wn_mgr_poll(mgr, 0);
    for (int& fd : mgr->ctl) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    for (wn_connection* nc = mgr->active_connections; nc != nullptr;) {
        wn_connection* next = nc->next;
        nc->flags |= WN_F_CLOSE_IMMEDIATELY;
        wn_close_conn(nc);
        nc = next;
    }
    for (int i = 0; i < mgr->num_ifaces; ++i) {
        if (mgr->ifaces[i] != nullptr) {
            mgr->ifaces[i]->vtable->free(mgr->ifaces[i]);
            std::free(mgr->ifaces[i]);
        }
    }
    std::free(mgr->ifaces);
    mgr->ifaces = nullptr;
    mgr->num_ifaces = 0;
    std::free(mgr->nameserver);
    mgr->nameserver = nullptr;
}

int wn_mgr_poll(wn_mgr* mgr, int timeout_ms) {
    const int before = mgr->num_calls;
    for (int i = 0; i < mgr->num_ifaces; ++i) {
        if (mgr->ifaces[i] != nullptr) mgr->ifaces[i]->vtable->poll(mgr->ifaces[i], timeout_ms);
    }
    return mgr->num_calls - before;
}

wn_connection* wn_next(wn_mgr* mgr, wn_connection* nc) { return nc == nullptr ? mgr->active_connections : nc->next; }

void wn_send(wn_connection* nc, const void* bytes, int length) {
    nc->last_io_time = static_cast<int64_t>(wn_time());
    if (length > 0) mbuf_append(&nc->send_mbuf, bytes, static_cast<size_t>(length));
}

int wn_vprintf(wn_connection* nc, const char* format, va_list args) {
    char stack[100];
    char* buffer = stack;
    va_list copy;
    va_copy(copy, args);
    int length = c_vsnprintf(buffer, sizeof stack, format, copy);
    va_end(copy);
    if (length >= static_cast<int>(sizeof stack)) {
        buffer = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
        if (buffer == nullptr) return -1;
        va_copy(copy, args);
        c_vsnprintf(buffer, static_cast<size_t>(length) + 1, format, copy);
        va_end(copy);
    }
    if (length > 0) wn_send(nc, buffer, length);
    if (buffer != stack) std::free(buffer);
    return length;
}

int wn_printf(wn_connection* nc, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int length = wn_vprintf(nc, format, args);
    va_end(args);
    return length;
}

void wn_forward(wn_connection* from, wn_connection* to) {
    wn_send(to, from->recv_mbuf.buf, static_cast<int>(from->recv_mbuf.len));
    mbuf_remove(&from->recv_mbuf, from->recv_mbuf.len);
}

double wn_set_timer(wn_connection* nc, double time) {
    const double previous = nc->ev_timer_time;
    nc->ev_timer_time = time;
    WN_LOG(WN_LOG_VERBOSE, ("%p %p %d -> %lu", static_cast<void*>(nc), nc->priv_2,
                            (nc->flags & WN_F_RESOLVING) ? 1 : 0, static_cast<unsigned long>(time)));
    if ((nc->flags & WN_F_RESOLVING) && nc->priv_2 != nullptr) {
        static_cast<wn_connection*>(nc->priv_2)->ev_timer_time = time;
    }
    return previous;
}

void wn_call(wn_connection* nc, wn_event_handler handler, void* user_data, int ev, void* ev_data) {
    (void)user_data;
    if (handler == nullptr) handler = nc->proto_handler != nullptr ? nc->proto_handler : nc->handler;
    const bool application = handler == nc->handler;
    if (ev != WN_EV_POLL) {
        WN_LOG(WN_LOG_VERBOSE, ("%p %s ev=%d ev_data=%p flags=0x%lx rmbl=%d smbl=%d", static_cast<void*>(nc),
                                application ? "user" : "proto", ev, ev_data, static_cast<unsigned long>(nc->flags),
                                static_cast<int>(nc->recv_mbuf.len), static_cast<int>(nc->send_mbuf.len)));
        if (nc->mgr != nullptr && nc->mgr->hexdump_file != nullptr && ev != WN_EV_RECV && ev != WN_EV_SEND) {
            wn_hexdump_connection(nc, nc->mgr->hexdump_file, nullptr, 0, ev);
        }
    }
    if (handler != nullptr) {
        const uint64_t before = nc->flags;
        handler(nc, ev, ev_data);
        if (application && nc->flags != before) {
            nc->flags = (before & ~WN_ALLOWED_FLAGS) | (nc->flags & WN_ALLOWED_FLAGS);
        }
    }
    if (ev != WN_EV_POLL) {
        if (nc->mgr != nullptr) ++nc->mgr->num_calls;
        WN_LOG(WN_LOG_VERBOSE, ("%p after %s flags=0x%lx rmbl=%d smbl=%d", static_cast<void*>(nc),
                                application ? "user" : "proto", static_cast<unsigned long>(nc->flags),
                                static_cast<int>(nc->recv_mbuf.len), static_cast<int>(nc->send_mbuf.len)));
    }
}

void wn_default_handler(wn_connection*, int, void*) {}

wn_connection* wn_create_connection_base(wn_mgr* mgr, wn_event_handler handler, wn_add_sock_opts opts) {
    auto* nc = static_cast<wn_connection*>(std::calloc(1, sizeof(wn_connection)));
    if (nc == nullptr) {
        set_error(opts.error_string, "failed to create connection");
        return nullptr;
    }
    nc->sock = -1;
    nc->handler = handler;
    nc->mgr = mgr;
    nc->last_io_time = static_cast<int64_t>(wn_time());
    nc->iface = opts.iface != nullptr ? opts.iface : (mgr->num_ifaces > 0 ? mgr->ifaces[0] : nullptr);
    nc->flags = opts.flags & WN_OPTION_FLAGS;
    nc->user_data = opts.user_data;
    nc->recv_mbuf_limit = ~static_cast<size_t>(0);
    return nc;
}

wn_connection* wn_create_connection(wn_mgr* mgr, wn_event_handler handler, wn_add_sock_opts opts) {
    wn_connection* nc = wn_create_connection_base(mgr, handler, opts);
    if (nc != nullptr && (nc->iface == nullptr || !nc->iface->vtable->create_conn(nc))) {
        wn_destroy_conn(nc, 0);
        set_error(opts.error_string, "failed to init connection");
        return nullptr;
    }
    return nc;
}

void wn_add_conn(wn_mgr* mgr, wn_connection* nc) {
    WN_LOG(WN_LOG_VERBOSE, ("%p %p", static_cast<void*>(mgr), static_cast<void*>(nc)));
    nc->mgr = mgr;
    nc->next = mgr->active_connections;
    nc->prev = nullptr;
    if (mgr->active_connections != nullptr) mgr->active_connections->prev = nc;
    mgr->active_connections = nc;
    if (nc->sock != -1) nc->iface->vtable->add_conn(nc);
}

void wn_remove_conn(wn_connection* nc) {
    if (nc->mgr == nullptr) return;
    if (nc->prev == nullptr && nc->mgr->active_connections == nc) nc->mgr->active_connections = nc->next;
    if (nc->prev != nullptr) nc->prev->next = nc->next;
    if (nc->next != nullptr) nc->next->prev = nc->prev;
    nc->prev = nc->next = nullptr;
    if (nc->iface != nullptr) nc->iface->vtable->remove_conn(nc);
}

void wn_destroy_conn(wn_connection* nc, int destroy_if) {
    if (nc->sock != -1) {
        WN_LOG(WN_LOG_DEBUG, ("%p 0x%lx %d", static_cast<void*>(nc), static_cast<unsigned long>(nc->flags), nc->sock));
    }
    if (destroy_if && nc->iface != nullptr) nc->iface->vtable->destroy_conn(nc);
    if (nc->proto_data != nullptr && nc->proto_data_destructor != nullptr) nc->proto_data_destructor(nc->proto_data);
    mbuf_free(&nc->recv_mbuf);
    mbuf_free(&nc->send_mbuf);
    std::memset(nc, 0, sizeof *nc);
    std::free(nc);
}

void wn_close_conn(wn_connection* nc) {
    nc->flags |= WN_F_CLOSE_IMMEDIATELY;
    wn_remove_conn(nc);
    if (nc->iface != nullptr) nc->iface->vtable->destroy_conn(nc);
    wn_call(nc, nullptr, nc->user_data, WN_EV_CLOSE, nullptr);
    wn_destroy_conn(nc, 0);
}

void wn_if_connect_cb(wn_connection* nc, int err) {
    char address[INET_ADDRSTRLEN] = "";
    WN_LOG(WN_LOG_DEBUG, ("%p %s://%s:%hu -> %d", static_cast<void*>(nc), (nc->flags & WN_F_UDP) ? "udp" : "tcp",
                          inet_ntop(AF_INET, &nc->sa.sin_addr, address, sizeof address), ntohs(nc->sa.sin_port), err));
    nc->flags &= ~WN_F_CONNECTING;
    if (err != 0) nc->flags |= WN_F_CLOSE_IMMEDIATELY;
    wn_call(nc, nullptr, nc->user_data, WN_EV_CONNECT, &err);
}

void wn_mgr_handle_conn(wn_connection* nc, int fd_flags, double now) {
    const bool traced = fd_flags != 0 || (nc->flags & (WN_F_WANT_READ | WN_F_WANT_WRITE));
    if (traced) {
        WN_LOG(WN_LOG_VERBOSE, ("%p fd=%d fd_flags=%d nc_flags=0x%lx rmbl=%d smbl=%d", static_cast<void*>(nc), nc->sock,
                                fd_flags, static_cast<unsigned long>(nc->flags), static_cast<int>(nc->recv_mbuf.len),
                                static_cast<int>(nc->send_mbuf.len)));
    }
    if (close_or_poll(nc, now)) return;
    if (nc->flags & WN_F_CONNECTING) {
        // A connect that failed at once keeps its error: the socket then reads as writable with SO_ERROR
        // already cleared, which would report the failure as a success.
        if (nc->err != 0) {
            wn_if_connect_cb(nc, nc->err);
        } else if (fd_flags != 0) {
            int err = 0;
            if (!(nc->flags & WN_F_UDP)) {
                socklen_t length = sizeof err;
                if (getsockopt(nc->sock, SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = 1;
                if (err == EAGAIN) err = 0;
            }
            wn_if_connect_cb(nc, err);
        }
    }
    if (fd_flags & 1) {
        if (nc->flags & WN_F_UDP) {
            do_recv(nc);
        } else if (nc->flags & WN_F_LISTENING) {
            wn_accept_conn(nc);
        } else {
            do_recv(nc);
        }
    }
    if (fd_flags & 2) write_to_socket(nc);
    if (traced) {
        WN_LOG(WN_LOG_VERBOSE, ("%p after fd=%d nc_flags=0x%lx rmbl=%d smbl=%d", static_cast<void*>(nc), nc->sock,
                                static_cast<unsigned long>(nc->flags), static_cast<int>(nc->recv_mbuf.len),
                                static_cast<int>(nc->send_mbuf.len)));
    }
}
