#include "wn_mqtt.h"

#include <cstdlib>
#include <cstring>

#include "wn_log.h"

namespace {

void put16(wn_connection* nc, uint16_t value) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    wn_send(nc, bytes, 2);
}

void put_text(wn_connection* nc, const char* text, size_t length) {
    put16(nc, static_cast<uint16_t>(length));
    wn_send(nc, text, static_cast<int>(length));
}

size_t text_length(const char* text) { return text != nullptr ? std::strlen(text) : 0; }

void send_id_packet(wn_connection* nc, uint8_t cmd, uint8_t flags, uint16_t message_id) {
    wn_send_mqtt_header(nc, cmd, flags, 2);
    put16(nc, message_id);
}

uint16_t read16(const unsigned char* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// A 16-bit length and its text, which must lie before end.
const unsigned char* read_text(const unsigned char* p, const unsigned char* end, wn_str* out) {
    if (end - p < 2) return nullptr;
    const uint16_t length = read16(p);
    p += 2;
    if (end - p < length) return nullptr;
    *out = wn_str{reinterpret_cast<const char*>(p), length};
    return p + length;
}

wn_mqtt_proto_data* proto_data(wn_connection* nc) { return static_cast<wn_mqtt_proto_data*>(nc->proto_data); }

void free_proto_data(void* data) { std::free(data); }

}  // namespace

void wn_send_mqtt_header(wn_connection* nc, uint8_t cmd, uint8_t flags, size_t length) {
    unsigned char header[5];
    size_t n = 0;
    header[n++] = static_cast<unsigned char>((cmd << 4) | flags);
    do {
        unsigned char byte = static_cast<unsigned char>(length % 128);
        length /= 128;
        if (length > 0) byte |= 0x80;
        header[n++] = byte;
    } while (length > 0 && n < sizeof header);
    wn_send(nc, header, static_cast<int>(n));
    wn_mqtt_proto_data* pd = proto_data(nc);
    if (pd != nullptr && nc->proto_handler == wn_mqtt_handler) pd->last_control_time = wn_time();
}

int wn_mqtt_parse(const mbuf* io, wn_mqtt_message* mm) {
    std::memset(mm, 0, sizeof *mm);
    if (io->len < 2) return -1;
    const auto* p = reinterpret_cast<const unsigned char*>(io->buf);
    const unsigned char* const buffer_end = p + io->len;
    const uint8_t header = *p++;
    mm->cmd = header >> 4;
    mm->qos = (header >> 1) & 3;
    size_t remaining = 0;
    int length_bytes = 0;
    for (;;) {
        if (p >= buffer_end) return -1;
        const uint8_t byte = *p++;
        remaining |= static_cast<size_t>(byte & 0x7F) << (7 * length_bytes);
        ++length_bytes;
        if (!(byte & 0x80)) break;
        if (length_bytes == 4) return -2;  // a fifth length byte
    }
    if (static_cast<size_t>(buffer_end - p) < remaining) return -1;
    const unsigned char* const end = p + remaining;
    mm->len = static_cast<int>(end - reinterpret_cast<const unsigned char*>(io->buf));
    switch (mm->cmd) {
        case WN_MQTT_CMD_CONNECT: {
            p = read_text(p, end, &mm->protocol_name);
            if (p == nullptr || end - p < 4) return -2;
            mm->protocol_version = *p++;
            mm->connect_flags = *p++;
            mm->keep_alive_timer = read16(p);
            p += 2;
            p = read_text(p, end, &mm->client_id);
            if (p == nullptr) return -2;
            if (mm->connect_flags & WN_MQTT_HAS_WILL) {
                p = read_text(p, end, &mm->will_topic);
                if (p != nullptr) p = read_text(p, end, &mm->will_message);
                if (p == nullptr) return -2;
            }
            if (mm->connect_flags & WN_MQTT_HAS_USER_NAME) {
                p = read_text(p, end, &mm->user_name);
                if (p == nullptr) return -2;
            }
            if (mm->connect_flags & WN_MQTT_HAS_PASSWORD) {
                p = read_text(p, end, &mm->password);
                if (p == nullptr) return -2;
            }
            if (p != end) return -2;
            WN_LOG(WN_LOG_DEBUG,
                   ("%d %2x %d proto [%.*s] client_id [%.*s] will_topic [%.*s] will_msg [%.*s] user_name [%.*s] "
                    "password [%.*s]",
                    static_cast<int>(mm->len), mm->connect_flags, mm->keep_alive_timer,
                    static_cast<int>(mm->protocol_name.len), mm->protocol_name.p, static_cast<int>(mm->client_id.len),
                    mm->client_id.p, static_cast<int>(mm->will_topic.len), mm->will_topic.p,
                    static_cast<int>(mm->will_message.len), mm->will_message.p, static_cast<int>(mm->user_name.len),
                    mm->user_name.p, static_cast<int>(mm->password.len), mm->password.p));
            break;
        }
        case WN_MQTT_CMD_CONNACK:
            if (end - p < 2) return -2;
            mm->connack_ret_code = p[1];
            break;
        case WN_MQTT_CMD_PUBACK:
        case WN_MQTT_CMD_PUBREC:
        case WN_MQTT_CMD_PUBREL:
        case WN_MQTT_CMD_PUBCOMP:
        case WN_MQTT_CMD_SUBACK:
            if (end - p < 2) return -2;
            mm->message_id = read16(p);
            break;
        case WN_MQTT_CMD_PUBLISH:
            p = read_text(p, end, &mm->topic);
            if (p == nullptr) return -2;
            if (mm->qos > 0) {
                if (end - p < 2) return -2;
                mm->message_id = read16(p);
                p += 2;
            }
            mm->payload = wn_str{reinterpret_cast<const char*>(p), static_cast<size_t>(end - p)};
            break;
        case WN_MQTT_CMD_SUBSCRIBE:
            if (end - p < 2) return -2;
            mm->message_id = read16(p);
            p += 2;
            mm->payload = wn_str{reinterpret_cast<const char*>(p), static_cast<size_t>(end - p)};
            break;
        default: break;
    }
    return mm->len;
}

void wn_mqtt_handler(wn_connection* nc, int ev, void* ev_data) {
    wn_call(nc, nc->handler, nc->user_data, ev, ev_data);
    switch (ev) {
        case WN_EV_ACCEPT:
            if (nc->proto_data == nullptr) {
                nc->proto_data = std::calloc(1, sizeof(wn_mqtt_proto_data));
                nc->proto_data_destructor = nc->proto_data != nullptr ? free_proto_data : nullptr;
            }
            break;
        case WN_EV_RECV:
            for (;;) {
                wn_mqtt_message mm;
                const int length = wn_mqtt_parse(&nc->recv_mbuf, &mm);
                if (length == -2) {
                    nc->flags |= WN_F_CLOSE_IMMEDIATELY;
                    break;
                }
                if (length == -1) {
                    if (nc->recv_mbuf_limit > 0 && nc->recv_mbuf.len >= nc->recv_mbuf_limit) {
                        WN_LOG(WN_LOG_ERROR,
                               ("%p recv buffer (%lu bytes) exceeds the limit %lu bytes, and not drained, closing",
                                static_cast<void*>(nc), static_cast<unsigned long>(nc->recv_mbuf.len),
                                static_cast<unsigned long>(nc->recv_mbuf_limit)));
                        nc->flags |= WN_F_CLOSE_IMMEDIATELY;
                    }
                    break;
                }
                if (mm.cmd == WN_MQTT_CMD_PINGRESP) {
                    WN_LOG(WN_LOG_DEBUG, ("Recv PINGRESP"));
                    nc->flags &= ~WN_MQTT_PING_OUTSTANDING;
                }
                wn_call(nc, nc->handler, nc->user_data, 200 + mm.cmd, &mm);
                mbuf_remove(&nc->recv_mbuf, static_cast<size_t>(length));
                if (nc->flags & WN_F_CLOSE_IMMEDIATELY) break;
            }
            break;
        case WN_EV_POLL: {
            wn_mqtt_proto_data* pd = proto_data(nc);
            if (pd == nullptr || pd->keep_alive == 0 || pd->last_control_time <= 0) break;
            const double now = wn_time();
            const double idle = now - pd->last_control_time;
            if (idle <= pd->keep_alive) break;
            if (idle >= 1.5e9) {
                pd->last_control_time = now - pd->keep_alive * 0.6;  // the clock jumped
            } else if (!(nc->flags & WN_MQTT_PING_OUTSTANDING)) {
                WN_LOG(WN_LOG_DEBUG, ("Send PINGREQ"));
                nc->flags |= WN_MQTT_PING_OUTSTANDING;
                wn_mqtt_ping(nc);
            } else {
                WN_LOG(WN_LOG_DEBUG, ("Ping timeout"));
                nc->flags |= WN_F_CLOSE_IMMEDIATELY;
            }
            break;
        }
        default: break;
    }
}

void wn_set_protocol_mqtt(wn_connection* nc) {
    nc->proto_handler = wn_mqtt_handler;
    if (nc->proto_data != nullptr && nc->proto_data_destructor != nullptr) nc->proto_data_destructor(nc->proto_data);
    nc->proto_data = std::calloc(1, sizeof(wn_mqtt_proto_data));
    nc->proto_data_destructor = nc->proto_data != nullptr ? free_proto_data : nullptr;
}

void wn_send_mqtt_handshake(wn_connection* nc, const char* client_id) {
    wn_send_mqtt_handshake_opts opts;
    std::memset(&opts, 0, sizeof opts);
    wn_send_mqtt_handshake_opt(nc, client_id, opts);
}

void wn_send_mqtt_handshake_opt(wn_connection* nc, const char* client_id, wn_send_mqtt_handshake_opts opts) {
    uint8_t flags = opts.flags;
    const size_t id_length = text_length(client_id);
    size_t total = 12 + id_length;
    if (opts.user_name != nullptr) {
        flags |= WN_MQTT_HAS_USER_NAME;
        total += text_length(opts.user_name) + 2;
    }
    if (opts.password != nullptr) {
        flags |= WN_MQTT_HAS_PASSWORD;
        total += text_length(opts.password) + 2;
    }
    // The will is sent only when both its topic and its message are given.
    const bool will = opts.will_topic != nullptr && opts.will_message != nullptr;
    if (will) {
        flags |= WN_MQTT_HAS_WILL;
        total += text_length(opts.will_topic) + text_length(opts.will_message) + 4;
    } else {
        flags &= static_cast<uint8_t>(~WN_MQTT_HAS_WILL);
    }
    const size_t texts[] = {id_length, text_length(opts.will_topic), text_length(opts.will_message),
                            text_length(opts.user_name), text_length(opts.password)};
    for (size_t n : texts) {
        if (n > kWnMqttMaxText) {
            WN_LOG(WN_LOG_ERROR, ("MQTT text of %lu bytes does not fit its 16-bit length", static_cast<unsigned long>(n)));
            return;
        }
    }
    const uint16_t keep_alive = opts.keep_alive == 0 ? 60 : opts.keep_alive;
    wn_mqtt_proto_data* pd = proto_data(nc);
    if (pd != nullptr && nc->proto_handler == wn_mqtt_handler) pd->keep_alive = keep_alive;
    wn_send_mqtt_header(nc, WN_MQTT_CMD_CONNECT, 0, total);
    static const unsigned char kProtocol[] = {0x00, 0x04, 'M', 'Q', 'T', 'T', 0x04};
    wn_send(nc, kProtocol, sizeof kProtocol);
    wn_send(nc, &flags, 1);
    put16(nc, keep_alive);
    put_text(nc, client_id != nullptr ? client_id : "", id_length);
    if (will) {
        put_text(nc, opts.will_topic, text_length(opts.will_topic));
        put_text(nc, opts.will_message, text_length(opts.will_message));
    }
    if (opts.user_name != nullptr) put_text(nc, opts.user_name, text_length(opts.user_name));
    if (opts.password != nullptr) put_text(nc, opts.password, text_length(opts.password));
}

void wn_mqtt_publish(wn_connection* nc, const char* topic, uint16_t message_id, int flags, const void* data,
                     size_t length) {
    const size_t topic_length = text_length(topic);
    size_t total = topic_length + 2 + length;
    if (flags & WN_MQTT_QOS_MASK) total += 2;
    if (topic_length > kWnMqttMaxText || total > kWnMqttMaxRemainingLength) {
        WN_LOG(WN_LOG_ERROR, ("MQTT publish of %lu bytes is too large", static_cast<unsigned long>(total)));
        return;
    }
    wn_send_mqtt_header(nc, WN_MQTT_CMD_PUBLISH, static_cast<uint8_t>(flags), total);
    put_text(nc, topic, topic_length);
    if (flags & WN_MQTT_QOS_MASK) put16(nc, message_id);
    wn_send(nc, data, static_cast<int>(length));
}

void wn_mqtt_subscribe(wn_connection* nc, const wn_mqtt_topic_expression* topics, size_t count, uint16_t message_id) {
    size_t total = 2;
    for (size_t i = 0; i < count; ++i) {
        if (text_length(topics[i].topic) > kWnMqttMaxText) return;
        total += text_length(topics[i].topic) + 3;
    }
    wn_send_mqtt_header(nc, WN_MQTT_CMD_SUBSCRIBE, 2, total);
    put16(nc, message_id);
    for (size_t i = 0; i < count; ++i) {
        put_text(nc, topics[i].topic, text_length(topics[i].topic));
        wn_send(nc, &topics[i].qos, 1);
    }
}

void wn_mqtt_unsubscribe(wn_connection* nc, const char* const* topics, size_t count, uint16_t message_id) {
    size_t total = 2;
    for (size_t i = 0; i < count; ++i) {
        if (text_length(topics[i]) > kWnMqttMaxText) return;
        total += text_length(topics[i]) + 2;
    }
    wn_send_mqtt_header(nc, WN_MQTT_CMD_UNSUBSCRIBE, 2, total);
    put16(nc, message_id);
    for (size_t i = 0; i < count; ++i) put_text(nc, topics[i], text_length(topics[i]));
}

void wn_mqtt_connack(wn_connection* nc, uint8_t return_code) {
    const unsigned char body[2] = {0, return_code};
    wn_send_mqtt_header(nc, WN_MQTT_CMD_CONNACK, 0, 2);
    wn_send(nc, body, 2);
}

void wn_mqtt_puback(wn_connection* nc, uint16_t message_id) { send_id_packet(nc, WN_MQTT_CMD_PUBACK, 0, message_id); }
void wn_mqtt_pubrec(wn_connection* nc, uint16_t message_id) { send_id_packet(nc, WN_MQTT_CMD_PUBREC, 0, message_id); }
void wn_mqtt_pubrel(wn_connection* nc, uint16_t message_id) { send_id_packet(nc, WN_MQTT_CMD_PUBREL, 2, message_id); }
void wn_mqtt_pubcomp(wn_connection* nc, uint16_t message_id) {
    send_id_packet(nc, WN_MQTT_CMD_PUBCOMP, 0, message_id);
}
void wn_mqtt_unsuback(wn_connection* nc, uint16_t message_id) {
    send_id_packet(nc, WN_MQTT_CMD_UNSUBACK, 0, message_id);
}

void wn_mqtt_suback(wn_connection* nc, const uint8_t* qoss, size_t count, uint16_t message_id) {
    wn_send_mqtt_header(nc, WN_MQTT_CMD_SUBACK, 2, 2 + count);
    put16(nc, message_id);
    wn_send(nc, qoss, static_cast<int>(count));
}

void wn_mqtt_ping(wn_connection* nc) { wn_send_mqtt_header(nc, WN_MQTT_CMD_PINGREQ, 0, 0); }
void wn_mqtt_pong(wn_connection* nc) { wn_send_mqtt_header(nc, WN_MQTT_CMD_PINGRESP, 0, 0); }
void wn_mqtt_disconnect(wn_connection* nc) { wn_send_mqtt_header(nc, WN_MQTT_CMD_DISCONNECT, 0, 0); }

int wn_mqtt_next_subscribe_topic(const wn_mqtt_message* message, wn_str* topic, uint8_t* qos, int position) {
    const auto* begin = reinterpret_cast<const unsigned char*>(message->payload.p);
    const unsigned char* end = begin + message->payload.len;
    if (position < 0 || static_cast<size_t>(position) + 2 > message->payload.len) return -1;
    const unsigned char* p = read_text(begin + position, end, topic);
    if (p == nullptr || p >= end) return -1;
    *qos = *p++;
    return static_cast<int>(p - begin);
}

namespace {

// The next "/"-separated level of text from *position; false once the text is used up.
bool next_level(const wn_str& text, size_t* position, bool* done, wn_str* level) {
    if (*done) return false;
    size_t end = *position;
    while (end < text.len && text.p[end] != '/') ++end;
    *level = wn_str{text.p + *position, end - *position};
    if (end >= text.len) {
        *done = true;
    } else {
        *position = end + 1;
    }
    return true;
}

}  // namespace

bool wn_mqtt_match_topic_expression(wn_str filter, wn_str topic) {
    if (filter.len == 0) return false;
    size_t f = 0;
    size_t t = 0;
    bool filter_done = false;
    bool topic_done = topic.len == 0;
    wn_str level;
    wn_str topic_level;
    while (next_level(filter, &f, &filter_done, &level)) {
        if (level.len == 0) return topic_done;
        if (level.len == 1 && level.p[0] == '#') return filter_done;  // only as the last level
        if (!next_level(topic, &t, &topic_done, &topic_level)) return false;
        if (level.len == 1 && level.p[0] == '+') continue;
        if (level.len != topic_level.len || std::memcmp(level.p, topic_level.p, level.len) != 0) return false;
    }
    return topic_done;
}

bool wn_mqtt_vmatch_topic_expression(const char* filter, wn_str topic) {
    return wn_mqtt_match_topic_expression(wn_mk_str(filter), topic);
}
