// Arbitrary bytes through the MQTT protocol handler of a connection without a socket: every parsed
// field must lie inside its packet, and the subscribe-topic walk must stay inside the payload.
#include <cstddef>
#include <cstdint>

#include "wn_log.h"
#include "wn_mqtt.h"

namespace {

void check_fields(wn_connection*, int ev, void* ev_data) {
    if (ev < 200) return;
    auto* mm = static_cast<wn_mqtt_message*>(ev_data);
    if (ev == WN_EV_MQTT_SUBSCRIBE) {
        wn_str topic;
        uint8_t qos = 0;
        int guard = 0;
        for (int pos = 0; (pos = wn_mqtt_next_subscribe_topic(mm, &topic, &qos, pos)) > 0 && guard < 100000; ++guard) {
            if (topic.p + topic.len > mm->payload.p + mm->payload.len) __builtin_trap();
            wn_mqtt_match_topic_expression(topic, mm->topic);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        wu_log_set_level(-1);
        return true;
    }();
    (void)quiet;
    wn_mgr mgr;
    wn_mgr_init(&mgr, nullptr);
    wn_add_sock_opts opts = {};
    wn_connection* nc = wn_create_connection_base(&mgr, check_fields, opts);
    wn_set_protocol_mqtt(nc);
    mbuf_append(&nc->recv_mbuf, data, size);
    int n = static_cast<int>(size);
    wn_call(nc, nullptr, nullptr, WN_EV_RECV, &n);
    wn_destroy_conn(nc, 0);
    wn_mgr_free(&mgr);
    return 0;
}
