// The socket interface over BSD sockets with a select() loop, the null interface, the broadcast control
// socketpair and the socket utilities.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "wn_log.h"
#include "wn_net.h"
#include "wn_util.h"

namespace {

bool is_udp_peer(const wn_connection* nc) { return (nc->flags & WN_F_UDP) && nc->listener != nullptr; }

int errno_or_one() { return errno != 0 ? errno : 1; }

void close_retrying(int fd) {
    if (fd < 0) return;
    while (close(fd) != 0 && errno == EINTR) {
    }
}

// A broadcast message: the handler to run on every connection, then the data handed to it.
struct ctl_msg {
    wn_event_handler callback;
    char message[kWnMaxBroadcast];
};

void sock_iface_init(wn_iface* iface) {
    WN_LOG(WN_LOG_VERBOSE, ("%p using select()", static_cast<void*>(iface->mgr)));
    wn_socketpair(iface->mgr->ctl, SOCK_DGRAM);
}

void sock_iface_free(wn_iface*) {}

void sock_add_conn(wn_connection*) {}

void sock_remove_conn(wn_connection*) {}

int sock_listen_tcp(wn_connection* nc, socket_address* sa) {
    const int sock = wn_open_listening_socket(sa, SOCK_STREAM, 0);
    if (sock == -1) return errno_or_one();
    wn_sock_set(nc, sock);
    return 0;
}

int sock_listen_udp(wn_connection* nc, socket_address* sa) {
    const int sock = wn_open_listening_socket(sa, SOCK_DGRAM, 0);
    if (sock == -1) return errno_or_one();
    wn_sock_set(nc, sock);
    return 0;
}

void sock_connect_tcp(wn_connection* nc, const socket_address* sa) {
    nc->sock = socket(AF_INET, SOCK_STREAM, 0);
    if (nc->sock == -1) {
        nc->err = errno_or_one();
        return;
    }
    wn_set_non_blocking_mode(nc->sock);
    const int rc = connect(nc->sock, reinterpret_cast<const sockaddr*>(sa), sizeof *sa);
    nc->err = rc < 0 && wn_is_error() ? errno : 0;
    WN_LOG(WN_LOG_VERBOSE, ("%p sock %d rc %d errno %d err %d", static_cast<void*>(nc), nc->sock, rc, errno, nc->err));
}

void sock_connect_udp(wn_connection* nc) {
    nc->sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (nc->sock == -1) {
        nc->err = errno_or_one();
        return;
    }
    if (nc->flags & WN_F_ENABLE_BROADCAST) {
        const int on = 1;
        if (setsockopt(nc->sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
            nc->err = errno_or_one();
            return;
        }
    }
    nc->err = 0;
}

int no_progress_as_zero(int n) { return n < 0 && !wn_is_error() ? 0 : n; }

int sock_tcp_send(wn_connection* nc, const void* bytes, size_t length) {
    return no_progress_as_zero(static_cast<int>(send(nc->sock, bytes, length, 0)));
}

int sock_udp_send(wn_connection* nc, const void* bytes, size_t length) {
    return no_progress_as_zero(static_cast<int>(
        sendto(nc->sock, bytes, length, 0, reinterpret_cast<const sockaddr*>(&nc->sa), sizeof nc->sa)));
}

int sock_tcp_recv(wn_connection* nc, void* buffer, size_t length) {
    const int n = static_cast<int>(recv(nc->sock, buffer, length, 0));
    if (n == 0) {
        // The peer closed its side: finish what is queued, then close.
        nc->flags |= WN_F_SEND_AND_CLOSE;
        return 0;
    }
    return no_progress_as_zero(n);
}

int sock_udp_recv(wn_connection* nc, void* buffer, size_t length, socket_address* sa, size_t* sa_len) {
    socklen_t address_length = static_cast<socklen_t>(*sa_len);
    const int n = static_cast<int>(
        recvfrom(nc->sock, buffer, length, 0, reinterpret_cast<sockaddr*>(sa), &address_length));
    *sa_len = address_length;
    return no_progress_as_zero(n);
}

int sock_create_conn(wn_connection*) { return 1; }

void sock_destroy_conn(wn_connection* nc) {
    if (nc->sock == -1) return;
    // A UDP peer connection shares its listener's socket.
    if (!is_udp_peer(nc)) close(nc->sock);
    nc->sock = -1;
}

void sock_sock_set(wn_connection* nc, int sock) {
    wn_set_non_blocking_mode(sock);
    wn_set_close_on_exec(sock);
    nc->sock = sock;
    WN_LOG(WN_LOG_VERBOSE, ("%p %d", static_cast<void*>(nc), sock));
}

void sock_get_conn_addr(wn_connection* nc, int remote, socket_address* sa) {
    if ((nc->flags & WN_F_UDP) && remote) {
        *sa = nc->sa;
        return;
    }
    if (nc->sock != -1) wn_sock_get_addr(nc->sock, remote, sa);
}

void add_to_set(int fd, fd_set* set, int* max_fd) {
    if (fd < 0 || fd >= kWnSelectLimit) return;
    FD_SET(fd, set);
    if (fd > *max_fd) *max_fd = fd;
}

void handle_ctl(wn_mgr* mgr) {
    ctl_msg message;
    std::memset(&message, 0, sizeof message);
    const int n = static_cast<int>(recv(mgr->ctl[1], &message, sizeof message, 0));
    const char ack = reinterpret_cast<const char*>(&message)[0];
    send(mgr->ctl[1], &ack, 1, 0);
    WN_LOG(WN_LOG_VERBOSE, ("read %d from ctl socket", n));
    if (n >= static_cast<int>(sizeof message.callback) && message.callback != nullptr) {
        for (wn_connection* nc = wn_next(mgr, nullptr); nc != nullptr; nc = wn_next(mgr, nc)) {
            message.callback(nc, WN_EV_POLL, message.message);
        }
    }
}

int64_t sock_iface_poll(wn_iface* iface, int timeout_ms) {
    wn_mgr* mgr = iface->mgr;
    double now = wn_time();
    fd_set read_set;
    fd_set write_set;
    fd_set error_set;
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    FD_ZERO(&error_set);
    int max_fd = -1;
    add_to_set(mgr->ctl[1], &read_set, &max_fd);
    bool may_dup = true;
    for (wn_connection* nc = mgr->active_connections; nc != nullptr; nc = nc->next) {
        if (nc->sock == -1) continue;
        if (nc->sock >= kWnSelectLimit && may_dup) {
            const int copy = dup(nc->sock);
            if (copy < 0) {
                may_dup = false;
            } else if (copy >= kWnSelectLimit) {
                close(copy);
                WN_LOG(WN_LOG_VERBOSE, ("new sock is still larger than FD_SETSIZE, disregard"));
                may_dup = false;
            } else {
                close(nc->sock);
                WN_LOG(WN_LOG_VERBOSE, ("new sock %d -> %d", nc->sock, copy));
                nc->sock = copy;
            }
        }
        if (nc->recv_mbuf.len < nc->recv_mbuf_limit && !is_udp_peer(nc)) add_to_set(nc->sock, &read_set, &max_fd);
        if (((nc->flags & WN_F_CONNECTING) && !(nc->flags & WN_F_WANT_READ)) ||
            (nc->send_mbuf.len > 0 && !(nc->flags & WN_F_CONNECTING))) {
            add_to_set(nc->sock, &write_set, &max_fd);
            add_to_set(nc->sock, &error_set, &max_fd);
        }
    }
    const double min_timer = wn_mgr_min_timer(mgr);
    if (min_timer > 0) {
        const double until = (min_timer - wn_time()) * 1000 + 1;
        if (until < timeout_ms) timeout_ms = static_cast<int>(until);
    }
    if (timeout_ms < 0) timeout_ms = 0;
    struct timeval tv;
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    const int ready = select(max_fd + 1, &read_set, &write_set, &error_set, &tv);
    now = wn_time();
    if (ready > 0 && mgr->ctl[1] >= 0 && mgr->ctl[1] < kWnSelectLimit && FD_ISSET(mgr->ctl[1], &read_set)) {
        handle_ctl(mgr);
    }
    for (wn_connection* nc = mgr->active_connections; nc != nullptr;) {
        wn_connection* next = nc->next;  // the step may free nc
        int bits = 0;
        if (ready > 0 && nc->sock >= 0 && nc->sock < kWnSelectLimit) {
            if (FD_ISSET(nc->sock, &read_set) && !is_udp_peer(nc)) bits |= 1;
            if (FD_ISSET(nc->sock, &write_set)) bits |= 2;
            if (FD_ISSET(nc->sock, &error_set)) bits |= 4;
        }
        wn_mgr_handle_conn(nc, bits, now);
        nc = next;
    }
    return static_cast<int64_t>(now);
}

// The null interface: every operation does nothing or fails.
void null_init(wn_iface*) {}
void null_free(wn_iface*) {}
void null_add_conn(wn_connection* nc) {
    nc->sock = -1;
    nc->flags |= WN_F_CLOSE_IMMEDIATELY;
}
void null_remove_conn(wn_connection*) {}
int64_t null_poll(wn_iface* iface, int) {
    const double now = wn_time();
    for (wn_connection* nc = iface->mgr->active_connections; nc != nullptr;) {
        wn_connection* next = nc->next;
        wn_mgr_handle_conn(nc, 0, now);
        nc = next;
    }
    return static_cast<int64_t>(now);
}
int null_listen(wn_connection*, socket_address*) { return -1; }
void null_connect_tcp(wn_connection* nc, const socket_address*) { nc->flags |= WN_F_CLOSE_IMMEDIATELY; }
void null_connect_udp(wn_connection* nc) { nc->flags |= WN_F_CLOSE_IMMEDIATELY; }
int null_send(wn_connection*, const void*, size_t) { return -1; }
int null_tcp_recv(wn_connection*, void*, size_t) { return -1; }
int null_udp_recv(wn_connection*, void*, size_t, socket_address*, size_t*) { return -1; }
int null_create_conn(wn_connection*) { return 1; }
void null_destroy_conn(wn_connection*) {}
void null_sock_set(wn_connection*, int) {}
void null_get_conn_addr(wn_connection*, int, socket_address*) {}

}  // namespace

const wn_iface_vtable wn_socket_iface_vtable = {
    sock_iface_init, sock_iface_free,  sock_add_conn,     sock_remove_conn,  sock_iface_poll, sock_listen_tcp,
    sock_listen_udp, sock_connect_tcp, sock_connect_udp,  sock_tcp_send,     sock_udp_send,   sock_tcp_recv,
    sock_udp_recv,   sock_create_conn, sock_destroy_conn, sock_sock_set,     sock_get_conn_addr};

const wn_iface_vtable wn_null_iface_vtable = {
    null_init,       null_free,        null_add_conn,     null_remove_conn, null_poll,     null_listen,
    null_listen,     null_connect_tcp, null_connect_udp,  null_send,        null_send,     null_tcp_recv,
    null_udp_recv,   null_create_conn, null_destroy_conn, null_sock_set,    null_get_conn_addr};

wn_iface* wn_if_create_iface(const wn_iface_vtable* vtable, wn_mgr* mgr) {
    auto* iface = static_cast<wn_iface*>(std::calloc(1, sizeof(wn_iface)));
    if (iface != nullptr) {
        iface->mgr = mgr;
        iface->data = nullptr;
        iface->vtable = vtable;
    }
    return iface;
}

wn_iface* wn_find_iface(wn_mgr* mgr, const wn_iface_vtable* vtable, wn_iface* from) {
    int i = 0;
    if (from != nullptr) {
        while (i < mgr->num_ifaces && mgr->ifaces[i] != from) ++i;
        ++i;
    }
    for (; i < mgr->num_ifaces; ++i) {
        if (mgr->ifaces[i] != nullptr && mgr->ifaces[i]->vtable == vtable) return mgr->ifaces[i];
    }
    return nullptr;
}

double wn_mgr_min_timer(const wn_mgr* mgr) {
    double earliest = 0;
    for (const wn_connection* nc = mgr->active_connections; nc != nullptr; nc = nc->next) {
        if (nc->ev_timer_time > 0 && (earliest == 0 || nc->ev_timer_time < earliest)) earliest = nc->ev_timer_time;
    }
    return earliest;
}

void wn_broadcast(wn_mgr* mgr, wn_event_handler handler, const void* data, size_t length) {
    if (mgr->ctl[0] == -1 || data == nullptr || length >= kWnMaxBroadcast) return;
    ctl_msg message;
    message.callback = handler;
    std::memcpy(message.message, data, length);
    if (send(mgr->ctl[0], &message, sizeof message.callback + length, 0) > 0) {
        char ack;
        recv(mgr->ctl[0], &ack, 1, 0);
    }
}

int wn_socketpair(int pair[2], int type) {
    pair[0] = pair[1] = -1;
    socket_address a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = 0;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socket_address b = a;
    socklen_t length = sizeof a;
    int sock = socket(AF_INET, type, 0);
    bool ok = sock != -1 && bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              (type != SOCK_STREAM || listen(sock, 1) == 0) &&
              getsockname(sock, reinterpret_cast<sockaddr*>(&a), &length) == 0;
    if (ok) pair[0] = socket(AF_INET, type, 0);
    ok = ok && pair[0] != -1;
    if (ok && type == SOCK_STREAM) {
        ok = connect(pair[0], reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    } else if (ok) {
        length = sizeof b;
        ok = bind(pair[0], reinterpret_cast<sockaddr*>(&b), sizeof b) == 0 &&
             getsockname(pair[0], reinterpret_cast<sockaddr*>(&b), &length) == 0 &&
             connect(pair[0], reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
             connect(sock, reinterpret_cast<sockaddr*>(&b), sizeof b) == 0;
    }
    if (ok) {
        if (type == SOCK_STREAM) {
            do {
                pair[1] = accept(sock, nullptr, nullptr);
            } while (pair[1] == -1 && errno == EINTR);
            ok = pair[1] != -1;
        } else {
            pair[1] = sock;
        }
    }
    if (!ok) {
        close_retrying(pair[0]);
        close_retrying(pair[1] != sock ? pair[1] : -1);
        close_retrying(sock);
        pair[0] = pair[1] = -1;
        return 0;
    }
    wn_set_close_on_exec(pair[0]);
    wn_set_close_on_exec(pair[1]);
    if (type == SOCK_STREAM) close_retrying(sock);
    return 1;
}

void wn_set_non_blocking_mode(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK); }

bool wn_is_error() {
    const int err = wn_get_errno();
    return err != EINTR && err != EAGAIN && err != EINPROGRESS;
}

int wn_open_listening_socket(socket_address* sa, int type, int protocol) {
    const int sock = socket(sa->sin_family, type, protocol);
    if (sock == -1) return -1;
    const int on = 1;
    socklen_t length = sizeof *sa;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(sock, reinterpret_cast<sockaddr*>(sa), sizeof *sa) != 0 ||
        (type == SOCK_STREAM && listen(sock, 128) != 0)) {
        const int saved = errno;
        close(sock);
        errno = saved;
        return -1;
    }
    wn_set_non_blocking_mode(sock);
    if (getsockname(sock, reinterpret_cast<sockaddr*>(sa), &length) != 0) {
        const int saved = errno;
        close(sock);
        errno = saved;
        return -1;
    }
    return sock;
}

void wn_sock_get_addr(int sock, int remote, socket_address* sa) {
    std::memset(sa, 0, sizeof *sa);
    socklen_t length = sizeof *sa;
    if (remote) {
        getpeername(sock, reinterpret_cast<sockaddr*>(sa), &length);
    } else {
        getsockname(sock, reinterpret_cast<sockaddr*>(sa), &length);
    }
}

void wn_sock_to_str(int sock, char* buffer, size_t size, int flags) {
    socket_address sa;
    wn_sock_get_addr(sock, flags & WN_SOCK_STRINGIFY_REMOTE, &sa);
    wn_sock_addr_to_str(&sa, buffer, size, flags);
}
