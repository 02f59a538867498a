// The event core of the networking library: a connection manager owns a list of connections and one call,
// wn_mgr_poll, performs one pass of I/O and event delivery for all of them on the calling thread. Every
// connection has an application event handler and optionally a protocol handler (the HTTP, WebSocket, DNS
// and MQTT layers install theirs). All socket work goes through an interface (the select()-based socket
// interface by default). IPv4 only, no TLS, no threads of its own, no locks: a manager belongs to the one
// thread that polls it; other threads reach it only through wn_broadcast.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

#include "wn_mbuf.h"
#include "wn_str.h"

#define WN_VERSION "1.0"

struct wn_connection;
struct wn_mgr;
struct wn_iface;

typedef struct sockaddr_in socket_address;
typedef void (*wn_event_handler)(wn_connection* nc, int ev, void* ev_data);

// Events; protocol layers add theirs from 100 on.
constexpr int WN_EV_POLL = 0;     // data: int64_t current time in whole seconds
constexpr int WN_EV_ACCEPT = 1;   // data: socket_address of the peer
constexpr int WN_EV_CONNECT = 2;  // data: int 0, an errno value, or -1 when the name lookup failed
constexpr int WN_EV_RECV = 3;     // data: int bytes just appended to recv_mbuf
constexpr int WN_EV_SEND = 4;     // data: int bytes just written (negative when the write failed)
constexpr int WN_EV_CLOSE = 5;    // data: null
constexpr int WN_EV_TIMER = 6;    // data: double, the timer time reached

// Connection flags.
constexpr uint64_t WN_F_LISTENING = 0x1;
constexpr uint64_t WN_F_UDP = 0x2;
constexpr uint64_t WN_F_RESOLVING = 0x4;
constexpr uint64_t WN_F_CONNECTING = 0x8;
constexpr uint64_t WN_F_SSL = 0x10;
constexpr uint64_t WN_F_WANT_READ = 0x40;
constexpr uint64_t WN_F_WANT_WRITE = 0x80;
constexpr uint64_t WN_F_IS_WEBSOCKET = 0x100;
constexpr uint64_t WN_F_RECV_AND_CLOSE = 0x200;
constexpr uint64_t WN_F_SEND_AND_CLOSE = 0x400;
constexpr uint64_t WN_F_CLOSE_IMMEDIATELY = 0x800;
constexpr uint64_t WN_F_WEBSOCKET_NO_DEFRAG = 0x1000;
constexpr uint64_t WN_F_DELETE_CHUNK = 0x2000;
constexpr uint64_t WN_F_ENABLE_BROADCAST = 0x4000;
constexpr uint64_t WN_F_USER_1 = 0x100000;
constexpr uint64_t WN_F_USER_2 = 0x200000;
constexpr uint64_t WN_F_USER_3 = 0x400000;
constexpr uint64_t WN_F_USER_4 = 0x800000;
constexpr uint64_t WN_F_USER_5 = 0x1000000;
constexpr uint64_t WN_F_USER_6 = 0x2000000;
// The bits an application handler may change, and the bits creation options may give.
constexpr uint64_t WN_ALLOWED_FLAGS = 0x3F03D00;
constexpr uint64_t WN_OPTION_FLAGS = 0x3F05000;

// Reads ask for this much at first; TCP writes are cut to it per pass.
constexpr size_t kWnIoSize = 1460;
// select() watches descriptors below this; higher ones are moved below it with dup() where possible.
constexpr int kWnSelectLimit = 1024;
// Broadcast messages carry at most this many data bytes after the 8-byte handler pointer.
constexpr size_t kWnMaxBroadcast = 8192;
// Host part of an address text.
constexpr size_t kWnHostBuffer = 200;

struct wn_iface_vtable {
    void (*init)(wn_iface* iface);
    void (*free)(wn_iface* iface);
    void (*add_conn)(wn_connection* nc);
    void (*remove_conn)(wn_connection* nc);
    int64_t (*poll)(wn_iface* iface, int timeout_ms);
    int (*listen_tcp)(wn_connection* nc, socket_address* sa);
    int (*listen_udp)(wn_connection* nc, socket_address* sa);
    void (*connect_tcp)(wn_connection* nc, const socket_address* sa);
    void (*connect_udp)(wn_connection* nc);
    int (*tcp_send)(wn_connection* nc, const void* bytes, size_t length);
    int (*udp_send)(wn_connection* nc, const void* bytes, size_t length);
    int (*tcp_recv)(wn_connection* nc, void* buffer, size_t length);
    int (*udp_recv)(wn_connection* nc, void* buffer, size_t length, socket_address* sa, size_t* sa_len);
    int (*create_conn)(wn_connection* nc);
    void (*destroy_conn)(wn_connection* nc);
    void (*sock_set)(wn_connection* nc, int sock);
    void (*get_conn_addr)(wn_connection* nc, int remote, socket_address* sa);
};

struct wn_iface {
    wn_mgr* mgr;
    void* data;
    const wn_iface_vtable* vtable;
};

extern const wn_iface_vtable wn_socket_iface_vtable;
extern const wn_iface_vtable wn_null_iface_vtable;

struct wn_mgr {
    wn_connection* active_connections;
    const char* hexdump_file;  // traffic dump: "-" standard output, "--" standard error, else a file
    int ctl[2];                // broadcast socketpair: [0] sends, [1] is read by the poll loop
    void* user_data;
    int num_ifaces;
    int num_calls;
    wn_iface** ifaces;
    char* nameserver;
};

struct wn_connection {
    wn_connection* next;
    wn_connection* prev;
    wn_connection* listener;
    wn_mgr* mgr;
    int sock;
    int err;
    socket_address sa;
    size_t recv_mbuf_limit;
    mbuf recv_mbuf;
    mbuf send_mbuf;
    int64_t last_io_time;
    double ev_timer_time;
    wn_event_handler proto_handler;
    void* proto_data;
    void (*proto_data_destructor)(void* proto_data);
    wn_event_handler handler;
    void* user_data;
    void* priv_1;
    void* priv_2;  // the DNS lookup connection while the peer name resolves
    void* iface_data;
    wn_iface* iface;
    uint64_t flags;
};

struct wn_mgr_init_opts {
    const wn_iface_vtable* main_iface;
    int num_ifaces;
    const wn_iface_vtable** ifaces;
    const char* nameserver;
};

struct wn_add_sock_opts {
    void* user_data;
    unsigned int flags;
    const char** error_string;
    wn_iface* iface;
};

struct wn_connect_opts {
    void* user_data;
    unsigned int flags;
    const char** error_string;
    wn_iface* iface;
    const char* nameserver;
};

// Manager.
void wn_mgr_init(wn_mgr* mgr, void* user_data);
void wn_mgr_init_opt(wn_mgr* mgr, void* user_data, wn_mgr_init_opts opts);
void wn_mgr_free(wn_mgr* mgr);
// One pass of I/O and events; returns the handler calls for events other than WN_EV_POLL.
int wn_mgr_poll(wn_mgr* mgr, int timeout_ms);
wn_connection* wn_next(wn_mgr* mgr, wn_connection* nc);

// Sending and timers.
void wn_send(wn_connection* nc, const void* bytes, int length);
int wn_printf(wn_connection* nc, const char* format, ...);
int wn_vprintf(wn_connection* nc, const char* format, va_list args);
void wn_forward(wn_connection* from, wn_connection* to);
double wn_set_timer(wn_connection* nc, double time);
double wn_time();
void wn_call(wn_connection* nc, wn_event_handler handler, void* user_data, int ev, void* ev_data);

// Connection life (used by the interfaces and the layers).
wn_connection* wn_create_connection_base(wn_mgr* mgr, wn_event_handler handler, wn_add_sock_opts opts);
wn_connection* wn_create_connection(wn_mgr* mgr, wn_event_handler handler, wn_add_sock_opts opts);
void wn_add_conn(wn_mgr* mgr, wn_connection* nc);
void wn_remove_conn(wn_connection* nc);
void wn_close_conn(wn_connection* nc);
void wn_destroy_conn(wn_connection* nc, int destroy_if);
void wn_mgr_handle_conn(wn_connection* nc, int fd_flags, double now);
void wn_if_connect_cb(wn_connection* nc, int err);
void wn_default_handler(wn_connection* nc, int ev, void* ev_data);

// Addresses, listeners and outbound connections.
constexpr int WN_PROTO_TCP = 1;
constexpr int WN_PROTO_UDP = 2;
int wn_parse_address(const char* text, socket_address* sa, int* proto, char* host, size_t host_size);
wn_connection* wn_bind(wn_mgr* mgr, const char* address, wn_event_handler handler);
wn_connection* wn_bind_opt(wn_mgr* mgr, const char* address, wn_event_handler handler, wn_add_sock_opts opts);
wn_connection* wn_connect(wn_mgr* mgr, const char* address, wn_event_handler handler);
wn_connection* wn_connect_opt(wn_mgr* mgr, const char* address, wn_event_handler handler, wn_connect_opts opts);
wn_connection* wn_add_sock(wn_mgr* mgr, int sock, wn_event_handler handler);
wn_connection* wn_add_sock_opt(wn_mgr* mgr, int sock, wn_event_handler handler, wn_add_sock_opts opts);
void wn_sock_set(wn_connection* nc, int sock);
void wn_if_get_conn_addr(wn_connection* nc, int remote, socket_address* sa);
void wn_accept_conn(wn_connection* listener);
int wn_check_ip_acl(const char* acl, uint32_t remote_ip);
int wn_parse_net(const char* text, uint32_t* net, uint32_t* mask);
bool wn_is_byte(int n);

// Socket interface helpers.
wn_iface* wn_if_create_iface(const wn_iface_vtable* vtable, wn_mgr* mgr);
wn_iface* wn_find_iface(wn_mgr* mgr, const wn_iface_vtable* vtable, wn_iface* from);
double wn_mgr_min_timer(const wn_mgr* mgr);
void wn_broadcast(wn_mgr* mgr, wn_event_handler handler, const void* data, size_t length);
int wn_socketpair(int pair[2], int type);
void wn_set_non_blocking_mode(int fd);
bool wn_is_error();
int wn_open_listening_socket(socket_address* sa, int type, int protocol);
void wn_sock_get_addr(int sock, int remote, socket_address* sa);
void wn_sock_to_str(int sock, char* buffer, size_t size, int flags);

// The connection's local (or remote, flag 4) address as text; the traffic dump of one event.
int wn_conn_addr_to_str(wn_connection* nc, char* buffer, size_t size, int flags);
void wn_hexdump_connection(wn_connection* nc, const char* path, const void* bytes, int length, int ev);
