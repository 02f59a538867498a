// DNS message building and parsing. Every read is bounded by the message; decompressed names are bounded
// by their buffer and always terminated.
#include "wn_dns.h"

#include <arpa/inet.h>
#include <cstring>

#include "wn_log.h"

namespace {

uint16_t read16(const unsigned char* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void put16(mbuf* io, uint16_t value) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    mbuf_append(io, bytes, 2);
}

void put32(mbuf* io, uint32_t value) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
                                    static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    mbuf_append(io, bytes, 4);
}

// Parses one record at data; returns the position after it, or null when it does not fit the message.
const unsigned char* parse_record(const unsigned char* data, const unsigned char* end, wn_dns_resource_record* rr,
                                  bool answer) {
    const unsigned char* name = data;
    while (data < end && *data != 0 && *data < 64) data += *data + 1;
    if (data >= end) return nullptr;
    if (*data >= 64) ++data;  // a compression pointer: its second byte belongs to the name
    if (end - data < 5) return nullptr;
    rr->name = wn_str{reinterpret_cast<const char*>(name), static_cast<size_t>(data - name + 1)};
    ++data;
    rr->rtype = read16(data);
    rr->rclass = read16(data + 2);
    data += 4;
    rr->kind = answer ? WN_DNS_RESOURCE_RECORD_KIND_ANSWER : WN_DNS_RESOURCE_RECORD_KIND_QUESTION;
    if (!answer) return data;
    if (end - data <= 6) return nullptr;
    rr->ttl = static_cast<int32_t>((static_cast<uint32_t>(read16(data)) << 16) | read16(data + 2));
    const uint16_t length = read16(data + 4);
    data += 6;
    if (end - data < length) return nullptr;
    rr->rdata = wn_str{reinterpret_cast<const char*>(data), length};
    return data + length;
}

}  // namespace

int wn_dns_insert_header(mbuf* io, size_t position, const wn_dns_message* message) {
    unsigned char header[12];
    std::memcpy(header, &message->transaction_id, 2);
    header[2] = static_cast<unsigned char>(message->flags >> 8);
    header[3] = static_cast<unsigned char>(message->flags);
    header[4] = static_cast<unsigned char>(message->num_questions >> 8);
    header[5] = static_cast<unsigned char>(message->num_questions);
    header[6] = static_cast<unsigned char>(message->num_answers >> 8);
    header[7] = static_cast<unsigned char>(message->num_answers);
    std::memset(header + 8, 0, 4);
    return static_cast<int>(mbuf_insert(io, position, header, sizeof header));
}

int wn_dns_copy_questions(mbuf* io, const wn_dns_message* message) {
    if (message->num_questions <= 0) return 0;
    const char* begin = message->pkt.p + 12;
    const wn_dns_resource_record& last = message->questions[message->num_questions - 1];
    const char* end = last.name.p + last.name.len + 4;
    if (begin > end || end > message->pkt.p + message->pkt.len) return 0;
    return static_cast<int>(mbuf_append(io, begin, static_cast<size_t>(end - begin)));
}

int wn_dns_encode_name(mbuf* io, const char* name, size_t length) {
    if (length > kWnDnsMaxName) return -1;
    const size_t start = io->len;
    const char* end = name + length;
    while (name < end) {
        const char* dot = static_cast<const char*>(std::memchr(name, '.', static_cast<size_t>(end - name)));
        const size_t label = dot != nullptr ? static_cast<size_t>(dot - name) : static_cast<size_t>(end - name);
        if (label > kWnDnsMaxLabel) {
            io->len = start;  // nothing half-written stays behind
            return -1;
        }
        const unsigned char n = static_cast<unsigned char>(label);
        mbuf_append(io, &n, 1);
        mbuf_append(io, name, label);
        name += label;
        if (dot != nullptr) ++name;
    }
    mbuf_append(io, "", 1);
    return static_cast<int>(io->len - start);
}

int wn_dns_encode_record(mbuf* io, const wn_dns_resource_record* rr, const char* name, size_t name_length,
                         const void* data, size_t data_length) {
    if (rr->kind == WN_DNS_RESOURCE_RECORD_KIND_INVALID) return -1;
    const size_t start = io->len;
    if (wn_dns_encode_name(io, name, name_length) == -1) return -1;
    put16(io, rr->rtype);
    put16(io, rr->rclass);
    if (rr->kind == WN_DNS_RESOURCE_RECORD_KIND_ANSWER) {
        put32(io, static_cast<uint32_t>(rr->ttl));
        if (rr->rtype == WN_DNS_CNAME_RECORD) {
            const size_t placeholder = io->len;
            put16(io, 0);
            const int n = wn_dns_encode_name(io, static_cast<const char*>(data), data_length);
            if (n == -1) {
                io->len = start;
                return -1;
            }
            io->buf[placeholder] = static_cast<char>(n >> 8);
            io->buf[placeholder + 1] = static_cast<char>(n);
        } else {
            put16(io, static_cast<uint16_t>(data_length));
            mbuf_append(io, data, data_length);
        }
    }
    return static_cast<int>(io->len - start);
}

void wn_send_dns_query(wn_connection* nc, const char* name, int query_type) {
    static uint16_t transaction_counter = 160;
    WN_LOG(WN_LOG_DEBUG, ("%s %d", name, query_type));
    wn_dns_message message;
    std::memset(&message, 0, sizeof message);
    ++transaction_counter;
    message.transaction_id = transaction_counter;
    message.flags = 0x0100;
    message.num_questions = 1;
    wn_dns_resource_record question;
    std::memset(&question, 0, sizeof question);
    question.rtype = static_cast<uint16_t>(query_type);
    question.rclass = 1;
    question.kind = WN_DNS_RESOURCE_RECORD_KIND_QUESTION;
    mbuf packet;
    mbuf_init(&packet, 64);
    wn_dns_insert_header(&packet, 0, &message);
    if (wn_dns_encode_record(&packet, &question, name, std::strlen(name), nullptr, 0) == -1) {
        mbuf_free(&packet);
        return;
    }
    if (!(nc->flags & WN_F_UDP)) {
        const uint16_t length = htons(static_cast<uint16_t>(packet.len));
        mbuf_insert(&packet, 0, &length, 2);
    }
    wn_send(nc, packet.buf, static_cast<int>(packet.len));
    mbuf_free(&packet);
}

int wn_parse_dns(const char* bytes, int length, wn_dns_message* message) {
    std::memset(message, 0, sizeof *message);
    message->pkt = wn_str{bytes, length > 0 ? static_cast<size_t>(length) : 0};
    if (length < 12) return -1;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    const unsigned char* end = p + length;
    std::memcpy(&message->transaction_id, p, 2);
    message->flags = read16(p + 2);
    message->num_questions = read16(p + 4);
    message->num_answers = read16(p + 6);
    if (message->num_questions > WN_MAX_DNS_QUESTIONS) message->num_questions = WN_MAX_DNS_QUESTIONS;
    if (message->num_answers > WN_MAX_DNS_ANSWERS) message->num_answers = WN_MAX_DNS_ANSWERS;
    const unsigned char* data = p + 12;
    for (int i = 0; i < message->num_questions; ++i) {
        data = parse_record(data, end, &message->questions[i], false);
        if (data == nullptr) return -1;
    }
    for (int i = 0; i < message->num_answers; ++i) {
        data = parse_record(data, end, &message->answers[i], true);
        if (data == nullptr) return -1;
    }
    return 0;
}

wn_dns_resource_record* wn_dns_next_record(wn_dns_message* message, int type, wn_dns_resource_record* previous) {
    int i = previous == nullptr ? 0 : static_cast<int>(previous - message->answers) + 1;
    for (; i < message->num_answers; ++i) {
        if (message->answers[i].rtype == type) return &message->answers[i];
    }
    return nullptr;
}

int wn_dns_parse_record_data(const wn_dns_message* message, const wn_dns_resource_record* rr, void* data,
                             size_t length) {
    const char* begin = message->pkt.p;
    const char* end = begin + message->pkt.len;
    switch (rr->rtype) {
        case WN_DNS_A_RECORD:
            if (length < 4 || rr->rdata.len < 4 || rr->rdata.p < begin || rr->rdata.p + 4 > end) return -1;
            std::memcpy(data, rr->rdata.p, 4);
            return 0;
        case WN_DNS_CNAME_RECORD:
            return wn_dns_uncompress_name(message, &rr->rdata, static_cast<char*>(data), static_cast<int>(length)) > 0
                       ? 0
                       : -1;
        default: return -1;
    }
}

size_t wn_dns_uncompress_name(const wn_dns_message* message, const wn_str* name, char* dst, int size) {
    if (dst == nullptr || size <= 0) return 0;
    const auto* begin = reinterpret_cast<const unsigned char*>(message->pkt.p);
    const unsigned char* end = begin + message->pkt.len;
    const auto* data = reinterpret_cast<const unsigned char*>(name->p);
    const size_t room = static_cast<size_t>(size) - 1;  // one byte always stays for the terminator
    size_t w = 0;
    int pointers = 0;
    // A malformed name leaves an empty text behind, never a partial one without its terminator.
    auto fail = [dst]() -> size_t {
        dst[0] = '\0';
        return 0;
    };
    dst[0] = '\0';
    for (;;) {
        if (data < begin || data >= end) return fail();
        const unsigned char chunk = *data++;
        if (chunk == 0) break;
        if (chunk >= 192) {
            if (data >= end) return fail();
            const size_t offset = (static_cast<size_t>(chunk & 0x3F) << 8) | *data;
            if (offset >= message->pkt.len || ++pointers > kWnDnsMaxPointers) return fail();
            data = begin + offset;
            continue;
        }
        if (chunk >= 64) return fail();
        if (end - data < chunk) return fail();
        const size_t take = chunk < room - w ? chunk : room - w;
        std::memcpy(dst + w, data, take);
        w += take;
        data += chunk;
        if (w == room) {
            dst[w] = '\0';
            return w;
        }
        dst[w++] = '.';
    }
    if (w > 0 && dst[w - 1] == '.') --w;
    dst[w] = '\0';
    return w;
}

namespace {

void dns_handler(wn_connection* nc, int ev, void* ev_data) {
    wn_call(nc, nc->handler, nc->user_data, ev, ev_data);
    if (ev != WN_EV_RECV) return;
    mbuf* io = &nc->recv_mbuf;
    const bool udp = (nc->flags & WN_F_UDP) != 0;
    if (!udp) {
        if (io->len < 2) return;  // the length prefix is still on its way
        mbuf_remove(io, 2);
    }
    wn_dns_message message;
    if (wn_parse_dns(io->buf, static_cast<int>(io->len), &message) == -1) {
        // A format-error reply carrying what was received.
        std::memset(&message, 0, sizeof message);
        message.flags = 0x8081;
        wn_dns_insert_header(io, 0, &message);
        if (!udp) {
            const uint16_t length = htons(static_cast<uint16_t>(io->len));
            mbuf_insert(io, 0, &length, 2);
        }
        wn_send(nc, io->buf, static_cast<int>(io->len));
    } else {
        wn_call(nc, nc->handler, nc->user_data, WN_DNS_MESSAGE, &message);
    }
    mbuf_remove(io, io->len);
}

}  // namespace

void wn_set_protocol_dns(wn_connection* nc) { nc->proto_handler = dns_handler; }
