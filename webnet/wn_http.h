// The HTTP layer of the networking library: message parsing (every field a slice of the parsed buffer),
// the HTTP protocol handler with its per-connection state and endpoints, responses, Digest and Basic
// authentication, WebSocket, and outgoing HTTP connections.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "wn_net.h"
#include "wn_str.h"

// At most this many header slots per message; the last always stays empty.
constexpr int WN_MAX_HTTP_HEADERS = 40;
// The largest header block buffered while incomplete.
constexpr size_t WN_MAX_HTTP_REQUEST_SIZE = 8192;
// A chunk-size line holds at most this many hexadecimal digits.
constexpr int kWnMaxChunkSizeDigits = 6;

// Events of the HTTP layers.
constexpr int WN_EV_HTTP_REQUEST = 100;
constexpr int WN_EV_HTTP_REPLY = 101;
constexpr int WN_EV_HTTP_CHUNK = 102;
constexpr int WN_EV_SSI_CALL = 105;
constexpr int WN_EV_SSI_CALL_CTX = 106;
constexpr int WN_EV_WEBSOCKET_HANDSHAKE_REQUEST = 111;
constexpr int WN_EV_WEBSOCKET_HANDSHAKE_DONE = 112;
constexpr int WN_EV_WEBSOCKET_FRAME = 113;
constexpr int WN_EV_WEBSOCKET_CONTROL_FRAME = 114;

// Set while a CGI's reply headers are awaited (the first user flag).
constexpr uint64_t WN_F_HTTP_CGI_PARSE_HEADERS = WN_F_USER_1;

// The server identification of every status line.
#define WN_SERVER_NAME "WebNet/" WN_VERSION

struct http_message {
    wn_str message;  // header block and body; length open (all ones) until known
    wn_str body;
    wn_str method;
    wn_str uri;
    wn_str proto;
    int resp_code;
    wn_str resp_status_msg;
    wn_str query_string;
    wn_str header_names[WN_MAX_HTTP_HEADERS];
    wn_str header_values[WN_MAX_HTTP_HEADERS];
};

struct websocket_message {
    unsigned char* data;
    size_t size;
    unsigned char flags;
};

constexpr int WEBSOCKET_OP_CONTINUE = 0;
constexpr int WEBSOCKET_OP_TEXT = 1;
constexpr int WEBSOCKET_OP_BINARY = 2;
constexpr int WEBSOCKET_OP_CLOSE = 8;
constexpr int WEBSOCKET_OP_PING = 9;
constexpr int WEBSOCKET_OP_PONG = 10;
constexpr int WEBSOCKET_DONT_FIN = 0x100;

// Per-connection HTTP state.
struct wn_http_proto_data_file {
    FILE* fp;
    int64_t cl;
    int64_t sent;
    int keepalive;
    int type;  // 1: file data being sent
};

struct wn_http_endpoint {
    wn_http_endpoint* next;
    wn_str uri_pattern;
    char* auth_domain;
    char* auth_file;
    wn_event_handler handler;
};

struct wn_http_endpoint_opts {
    void* user_data;
    const char* auth_domain;
    const char* auth_file;
};

struct wn_http_proto_data {
    wn_http_proto_data_file file;
    wn_connection* cgi_nc;
    size_t reass_len;
    size_t body_len;
    wn_http_endpoint* endpoints;
    wn_event_handler endpoint_handler;
    wn_connection* linked_conn;
    size_t rcvd;
    // A request whose body is still arriving keeps this state across receive events.
    int request_open;
    // Requests buffered behind a file transfer or CGI relay, parsed once it ends.
    int request_held;
};

// Parsing.
int wn_http_get_request_len(const char* buffer, int length);
int wn_parse_http(const char* buffer, int length, http_message* hm, int is_request);
const char* wn_http_parse_headers(const char* start, const char* end, int header_length, http_message* hm);
wn_str* wn_get_http_header(http_message* hm, const char* name);
int wn_http_parse_header2(wn_str* header, const char* name, char** buffer, size_t buffer_size);
int wn_http_parse_header(wn_str* header, const char* name, char* buffer, size_t buffer_size);
int wn_get_http_var(const wn_str* text, const char* name, char* dst, size_t dst_size);
size_t wn_http_parse_chunk(char* buffer, size_t length, char** data, size_t* data_length);
size_t wn_handle_chunked(wn_connection* nc, http_message* hm, char* body, size_t body_length);

// The protocol handler, its state and endpoints.
void wn_set_protocol_http_websocket(wn_connection* nc);
void wn_http_handler(wn_connection* nc, int ev, void* ev_data);
wn_http_proto_data* wn_http_create_proto_data(wn_connection* nc);
wn_http_proto_data* wn_http_get_proto_data(wn_connection* nc);
void wn_http_free_proto_data_cgi(wn_http_proto_data* pd);
void wn_register_http_endpoint(wn_connection* nc, const char* uri_pattern, wn_event_handler handler);
void wn_register_http_endpoint_opt(wn_connection* nc, const char* uri_pattern, wn_event_handler handler,
                                   wn_http_endpoint_opts opts);
wn_http_endpoint* wn_http_get_endpoint_handler(wn_connection* nc, wn_str* uri);
void wn_http_call_endpoint_handler(wn_connection* nc, int ev, http_message* hm);
// One step of a file transfer; run by the handler on every event while a file is open.
void wn_http_transfer_file_data(wn_connection* nc);

// Responses.
const char* wn_status_message(int code);
void wn_send_response_line_s(wn_connection* nc, int code, wn_str extra_headers);
void wn_send_response_line(wn_connection* nc, int code, const char* extra_headers);
void wn_send_head(wn_connection* nc, int code, int64_t content_length, const char* extra_headers);
void wn_http_send_error(wn_connection* nc, int code, const char* reason);
void wn_http_send_redirect(wn_connection* nc, int code, wn_str location, wn_str extra_headers);
void wn_send_http_chunk(wn_connection* nc, const char* data, size_t length);
void wn_printf_http_chunk(wn_connection* nc, const char* format, ...) __attribute__((format(printf, 2, 3)));
void wn_printf_html_escape(wn_connection* nc, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Authentication.
constexpr int WN_AUTH_FLAG_IS_DIRECTORY = 1;
constexpr int WN_AUTH_FLAG_IS_GLOBAL_PASS_FILE = 2;
constexpr int WN_AUTH_FLAG_ALLOW_MISSING_FILE = 4;
// A nonce (the server's clock in seconds) is accepted for this long.
constexpr long kWnNonceLifetime = 3600;
int wn_http_is_authorized(http_message* hm, wn_str path, const char* domain, const char* passwords_file, int flags);
int wn_http_check_digest_auth(http_message* hm, const char* auth_domain, FILE* fp);
int wn_check_digest_auth(wn_str method, wn_str uri, wn_str username, wn_str cnonce, wn_str response, wn_str qop,
                         wn_str nc, wn_str nonce, wn_str auth_domain, FILE* fp);
void wn_mkmd5resp(const char* method, size_t method_len, const char* uri, size_t uri_len, const char* ha1,
                  size_t ha1_len, const char* nonce, size_t nonce_len, const char* nc, size_t nc_len,
                  const char* cnonce, size_t cnonce_len, const char* qop, size_t qop_len, char* resp);
// MD5 of (pointer, length) pairs up to a null pointer, as 32 hexadecimal characters and a NUL.
char* wu_md5(char buf[33], ...);
void wn_hash_md5_v(size_t count, const unsigned char* data[], const size_t lengths[], unsigned char digest[16]);
void wn_hash_sha1_v(size_t count, const unsigned char* data[], const size_t lengths[], unsigned char digest[20]);
void wn_http_send_digest_auth_request(wn_connection* nc, const char* domain);
int wn_get_http_basic_auth(http_message* hm, char* user, size_t user_len, char* pass, size_t pass_len);
int wn_parse_http_basic_auth(wn_str* header, char* user, size_t user_len, char* pass, size_t pass_len);
int wn_http_create_digest_auth_header(char* buffer, size_t size, const char* method, const char* uri,
                                      const char* auth_domain, const char* user, const char* passwd,
                                      const char* nonce);

// WebSocket.
void wn_ws_handler(wn_connection* nc, int ev, void* ev_data);
void wn_ws_handshake(wn_connection* nc, const wn_str* key, http_message* hm);
void wn_send_websocket_frame(wn_connection* nc, int op_and_flags, const void* data, size_t length);
void wn_send_websocket_framev(wn_connection* nc, int op_and_flags, const wn_str* strings, int count);
void wn_printf_websocket_frame(wn_connection* nc, int op_and_flags, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void wn_ws_close(wn_connection* nc, const void* data, size_t length);
void wn_send_websocket_handshake3v(wn_connection* nc, wn_str path, wn_str host, wn_str protocol,
                                   wn_str extra_headers, wn_str user, wn_str pass);
void wn_send_websocket_handshake3(wn_connection* nc, const char* path, const char* host, const char* protocol,
                                  const char* extra_headers, const char* user, const char* pass);
void wn_send_websocket_handshake2(wn_connection* nc, const char* path, const char* host, const char* protocol,
                                  const char* extra_headers);
void wn_send_websocket_handshake(wn_connection* nc, const char* path, const char* extra_headers);
wn_connection* wn_connect_ws_opt(wn_mgr* mgr, wn_event_handler handler, wn_connect_opts opts, const char* url,
                                 const char* protocol, const char* extra_headers);
wn_connection* wn_connect_ws(wn_mgr* mgr, wn_event_handler handler, const char* url, const char* protocol,
                             const char* extra_headers);
int wn_deliver_websocket_data(wn_connection* nc);

// Outgoing HTTP connections.
wn_connection* wn_connect_http_base(wn_mgr* mgr, wn_event_handler handler, wn_connect_opts opts,
                                    const char* scheme1, const char* scheme2, const char* scheme_ssl1,
                                    const char* scheme_ssl2, const char* url, wn_str* path, wn_str* user_info,
                                    wn_str* host);
wn_connection* wn_connect_http_opt(wn_mgr* mgr, wn_event_handler handler, wn_connect_opts opts, const char* url,
                                   const char* extra_headers, const char* post_data);
wn_connection* wn_connect_http(wn_mgr* mgr, wn_event_handler handler, const char* url, const char* extra_headers,
                               const char* post_data);

// Static file serving, CGI, server-side includes, the reverse proxy and multipart parts.
struct wn_serve_http_opts {
    const char* document_root;
    const char* index_files;
    const char* per_directory_auth_file;
    const char* auth_domain;
    const char* global_auth_file;
    const char* enable_directory_listing;
    const char* ssi_pattern;
    const char* ip_acl;
    const char* url_rewrites;
    const char* dav_document_root;
    const char* dav_auth_file;
    const char* hidden_file_pattern;
    const char* cgi_file_pattern;
    const char* cgi_interpreter;
    const char* custom_mime_types;
    const char* extra_headers;
};

struct wn_ssi_call_ctx {
    http_message* req;
    wn_str file;
    wn_str arg;
};

// Unsent file data kept in the send buffer at most.
constexpr size_t WN_MAX_HTTP_SEND_MBUF = 4096;
// Path buffers for index files, password files and listings.
constexpr size_t WN_MAX_PATH = 4096;
// Nested include levels of server-side includes.
constexpr int kWnMaxSsiLevel = 10;

void wn_serve_http(wn_connection* nc, http_message* hm, wn_serve_http_opts opts);
void wn_http_serve_file(wn_connection* nc, http_message* hm, const char* path, wn_str mime_type,
                        wn_str extra_headers);
int wn_uri_to_local_path(http_message* hm, const wn_serve_http_opts* opts, char** local_path,
                         wn_str* remainder);
void wn_send_http_file(wn_connection* nc, char* path, const wn_str* path_info, http_message* hm,
                       wn_serve_http_opts* opts);
// The type of a path (custom suffixes first, then the built-in table) and, for a ".gz" of a known type,
// the encoding "gzip"; "text/plain" when nothing matches.
wn_str wn_get_mime_type(const char* path, const char* custom_mime_types, wn_str* encoding);
int wn_is_file_hidden(const char* path, const wn_serve_http_opts* opts, int exclude_specials);
void wn_send_directory_listing(wn_connection* nc, const char* dir, http_message* hm, wn_serve_http_opts* opts);
// HTTP dates: parsed ("0" when unreadable) and written in UTC.
time_t wn_parse_date_string(const char* text);
void wn_gmt_time_string(char* buffer, size_t size, time_t* t);

void wn_handle_cgi(wn_connection* nc, const char* prog, const wn_str* path_info, http_message* hm,
                   const wn_serve_http_opts* opts);
int wn_start_process(const char* interpreter, const char* cmd, const char* env, const char** envp, const char* dir,
                     int sock);
void wn_cgi_ev_handler(wn_connection* cgi_nc, int ev, void* ev_data);

void wn_handle_ssi_request(wn_connection* nc, http_message* hm, const char* path, const wn_serve_http_opts* opts);
void wn_send_ssi_file(wn_connection* nc, http_message* hm, const char* path, FILE* fp, int include_level,
                      const wn_serve_http_opts* opts);
void wn_do_ssi_include(wn_connection* nc, http_message* hm, const char* ssi, char* tag, int include_level,
                       const wn_serve_http_opts* opts);
void wn_send_file_data(wn_connection* nc, FILE* fp);

void wn_http_reverse_proxy(wn_connection* nc, http_message* hm, wn_str mount, wn_str upstream);
void wn_reverse_proxy_handler(wn_connection* nc, int ev, void* ev_data);
size_t wn_parse_multipart(const char* buffer, size_t length, char* var_name, size_t var_name_len, char* file_name,
                          size_t file_name_len, const char** data, size_t* data_len);
