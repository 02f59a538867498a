// DNS messages for the networking library: queries built for the resolver and for DNS connections,
// replies parsed into a fixed-size record (A and CNAME data decoded), a server-side protocol handler, and
// the asynchronous resolver with its resolv.conf and hosts-file readers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wn_mbuf.h"
#include "wn_net.h"
#include "wn_str.h"

constexpr int WN_DNS_A_RECORD = 1;
constexpr int WN_DNS_CNAME_RECORD = 5;
constexpr int WN_MAX_DNS_QUESTIONS = 32;
constexpr int WN_MAX_DNS_ANSWERS = 32;
// Labels are at most 63 bytes and names at most 255 on the wire.
constexpr size_t kWnDnsMaxLabel = 63;
constexpr size_t kWnDnsMaxName = 255;
// Compression pointers followed at most per name.
constexpr int kWnDnsMaxPointers = 15;
// Raised by the server handler with a parsed wn_dns_message.
constexpr int WN_DNS_MESSAGE = 100;

constexpr int WN_DNS_RESOURCE_RECORD_KIND_INVALID = 0;
constexpr int WN_DNS_RESOURCE_RECORD_KIND_QUESTION = 1;
constexpr int WN_DNS_RESOURCE_RECORD_KIND_ANSWER = 2;

struct wn_dns_resource_record {
    wn_str name;  // as encoded in the message, compression pointer included
    uint16_t rtype;
    uint16_t rclass;
    int32_t ttl;
    int kind;
    wn_str rdata;
};

struct wn_dns_message {
    wn_str pkt;
    uint16_t flags;
    uint16_t transaction_id;  // in the byte order of the wire
    int num_questions;
    int num_answers;
    wn_dns_resource_record questions[WN_MAX_DNS_QUESTIONS];
    wn_dns_resource_record answers[WN_MAX_DNS_ANSWERS];
};

int wn_dns_insert_header(mbuf* io, size_t position, const wn_dns_message* message);
int wn_dns_copy_questions(mbuf* io, const wn_dns_message* message);
int wn_dns_encode_name(mbuf* io, const char* name, size_t length);
int wn_dns_encode_record(mbuf* io, const wn_dns_resource_record* rr, const char* name, size_t name_length,
                         const void* data, size_t data_length);
void wn_send_dns_query(wn_connection* nc, const char* name, int query_type);
int wn_parse_dns(const char* bytes, int length, wn_dns_message* message);
wn_dns_resource_record* wn_dns_next_record(wn_dns_message* message, int type, wn_dns_resource_record* previous);
int wn_dns_parse_record_data(const wn_dns_message* message, const wn_dns_resource_record* rr, void* data,
                             size_t length);
// Follows labels and pointers into dst (always NUL-terminated within size); returns the name's length, 0
// for a malformed name.
size_t wn_dns_uncompress_name(const wn_dns_message* message, const wn_str* name, char* dst, int size);
void wn_set_protocol_dns(wn_connection* nc);

// Resolver result codes.
constexpr int WN_RESOLVE_OK = 0;
constexpr int WN_RESOLVE_NO_ANSWERS = 1;
constexpr int WN_RESOLVE_EXCEEDED_RETRY_COUNT = 2;
constexpr int WN_RESOLVE_TIMEOUT = 3;

typedef void (*wn_resolve_callback)(wn_dns_message* message, void* data, int result);

struct wn_resolve_async_opts {
    const char* nameserver;
    int max_retries;
    int timeout;
    wn_connection** dns_conn;
};

int wn_resolve_async(wn_mgr* mgr, const char* name, int query, wn_resolve_callback callback, void* data);
int wn_resolve_async_opt(wn_mgr* mgr, const char* name, int query, wn_resolve_callback callback, void* data,
                         wn_resolve_async_opts opts);
void wn_set_nameserver(wn_mgr* mgr, const char* nameserver);
int wn_get_ip_address_of_nameserver(char* buffer, size_t size);
int wn_resolve_from_hosts_file(const char* name, socket_address* sa);
