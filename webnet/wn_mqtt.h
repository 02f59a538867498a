// MQTT 3.1.1 for connections of the manager: a stream parser that raises one event per packet, senders for
// every control packet (client or broker side), topic-filter matching, and a keep-alive that pings and
// closes the connection when no answer comes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wn_net.h"
#include "wn_str.h"

// Events: 200 + the packet type.
constexpr int WN_EV_MQTT_CONNECT = 201;
constexpr int WN_EV_MQTT_CONNACK = 202;
constexpr int WN_EV_MQTT_PUBLISH = 203;
constexpr int WN_EV_MQTT_PUBACK = 204;
constexpr int WN_EV_MQTT_PUBREC = 205;
constexpr int WN_EV_MQTT_PUBREL = 206;
constexpr int WN_EV_MQTT_PUBCOMP = 207;
constexpr int WN_EV_MQTT_SUBSCRIBE = 208;
constexpr int WN_EV_MQTT_SUBACK = 209;
constexpr int WN_EV_MQTT_UNSUBSCRIBE = 210;
constexpr int WN_EV_MQTT_UNSUBACK = 211;
constexpr int WN_EV_MQTT_PINGREQ = 212;
constexpr int WN_EV_MQTT_PINGRESP = 213;
constexpr int WN_EV_MQTT_DISCONNECT = 214;

constexpr int WN_MQTT_CMD_CONNECT = 1;
constexpr int WN_MQTT_CMD_CONNACK = 2;
constexpr int WN_MQTT_CMD_PUBLISH = 3;
constexpr int WN_MQTT_CMD_PUBACK = 4;
constexpr int WN_MQTT_CMD_PUBREC = 5;
constexpr int WN_MQTT_CMD_PUBREL = 6;
constexpr int WN_MQTT_CMD_PUBCOMP = 7;
constexpr int WN_MQTT_CMD_SUBSCRIBE = 8;
constexpr int WN_MQTT_CMD_SUBACK = 9;
constexpr int WN_MQTT_CMD_UNSUBSCRIBE = 10;
constexpr int WN_MQTT_CMD_UNSUBACK = 11;
constexpr int WN_MQTT_CMD_PINGREQ = 12;
constexpr int WN_MQTT_CMD_PINGRESP = 13;
constexpr int WN_MQTT_CMD_DISCONNECT = 14;

// Connect flags.
constexpr uint8_t WN_MQTT_HAS_USER_NAME = 0x80;
constexpr uint8_t WN_MQTT_HAS_PASSWORD = 0x40;
constexpr uint8_t WN_MQTT_HAS_WILL = 0x04;
// Publish flags.
constexpr uint8_t WN_MQTT_QOS_MASK = 0x06;
// Set while a PINGREQ waits for its answer (the bit WebSocket connections use for their defrag option).
constexpr uint64_t WN_MQTT_PING_OUTSTANDING = 0x1000;
// A remaining length takes at most four bytes; texts carry a 16-bit length.
constexpr uint32_t kWnMqttMaxRemainingLength = 268435455;
constexpr size_t kWnMqttMaxText = 65535;

struct wn_mqtt_message {
    int cmd;
    int qos;
    int len;
    wn_str topic;
    wn_str payload;
    uint8_t connack_ret_code;
    uint16_t message_id;
    uint8_t protocol_version;
    uint8_t connect_flags;
    uint16_t keep_alive_timer;
    wn_str protocol_name;
    wn_str client_id;
    wn_str will_topic;
    wn_str will_message;
    wn_str user_name;
    wn_str password;
};

struct wn_mqtt_proto_data {
    uint16_t keep_alive;
    double last_control_time;
};

struct wn_send_mqtt_handshake_opts {
    uint8_t flags;
    uint16_t keep_alive;
    const char* will_topic;
    const char* will_message;
    const char* user_name;
    const char* password;
};

struct wn_mqtt_topic_expression {
    const char* topic;
    uint8_t qos;
};

void wn_set_protocol_mqtt(wn_connection* nc);
void wn_mqtt_handler(wn_connection* nc, int ev, void* ev_data);
// One packet at the start of the buffer: its length, -1 when incomplete, -2 when malformed.
int wn_mqtt_parse(const mbuf* io, wn_mqtt_message* mm);
void wn_send_mqtt_handshake(wn_connection* nc, const char* client_id);
void wn_send_mqtt_handshake_opt(wn_connection* nc, const char* client_id, wn_send_mqtt_handshake_opts opts);
void wn_mqtt_publish(wn_connection* nc, const char* topic, uint16_t message_id, int flags, const void* data,
                     size_t length);
void wn_mqtt_subscribe(wn_connection* nc, const wn_mqtt_topic_expression* topics, size_t count, uint16_t message_id);
void wn_mqtt_unsubscribe(wn_connection* nc, const char* const* topics, size_t count, uint16_t message_id);
void wn_mqtt_connack(wn_connection* nc, uint8_t return_code);
void wn_mqtt_puback(wn_connection* nc, uint16_t message_id);
void wn_mqtt_pubrec(wn_connection* nc, uint16_t message_id);
void wn_mqtt_pubrel(wn_connection* nc, uint16_t message_id);
void wn_mqtt_pubcomp(wn_connection* nc, uint16_t message_id);
void wn_mqtt_unsuback(wn_connection* nc, uint16_t message_id);
void wn_mqtt_suback(wn_connection* nc, const uint8_t* qoss, size_t count, uint16_t message_id);
void wn_mqtt_ping(wn_connection* nc);
void wn_mqtt_pong(wn_connection* nc);
void wn_mqtt_disconnect(wn_connection* nc);
int wn_mqtt_next_subscribe_topic(const wn_mqtt_message* message, wn_str* topic, uint8_t* qos, int position);
bool wn_mqtt_match_topic_expression(wn_str filter, wn_str topic);
bool wn_mqtt_vmatch_topic_expression(const char* filter, wn_str topic);
// The fixed header: type and flags, then the remaining length in the variable-length encoding.
void wn_send_mqtt_header(wn_connection* nc, uint8_t cmd, uint8_t flags, size_t length);
