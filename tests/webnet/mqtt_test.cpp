// The MQTT layer: our client against Debian's mosquitto broker, mosquitto's clients against a tiny broker
// built on the layer, hostile bytes on a raw socket, header widths and topic matching. Loopback only.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "wn_log.h"
#include "wn_mqtt.h"

namespace {

std::string s(const wn_str& slice) { return slice.p != nullptr ? std::string(slice.p, slice.len) : ""; }

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof sa;
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length);
    close(fd);
    return ntohs(sa.sin_port);
}

pid_t spawn(const std::vector<std::string>& args, const std::string& output = "/dev/null") {
    // Children must stay waitable: an ignored SIGCHLD inherited from whoever started the tests reaps them.
    std::signal(SIGCHLD, SIG_DFL);
    const pid_t pid = fork();
    if (pid == 0) {
        FILE* out = std::freopen(output.c_str(), "w", stdout);
        (void)out;
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool port_open(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool open = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    return open;
}

struct ClientState {
    std::vector<int> events;
    std::vector<std::string> published;  // topic|size|qos
    int connack = -1;
};

void client_handler(wn_connection* nc, int ev, void* ev_data) {
    auto* state = static_cast<ClientState*>(nc->user_data);
    if (state == nullptr || ev < 200) return;
    state->events.push_back(ev);
    auto* mm = static_cast<wn_mqtt_message*>(ev_data);
    if (ev == WN_EV_MQTT_CONNACK) state->connack = mm->connack_ret_code;
    if (ev == WN_EV_MQTT_PUBLISH) {
        state->published.push_back(s(mm->topic) + "|" + std::to_string(mm->payload.len) + "|" + std::to_string(mm->qos));
        if (mm->qos == 1) wn_mqtt_puback(nc, mm->message_id);
    }
}

class Mosquitto : public testing::Test {
protected:
    void SetUp() override {
        if (access("/usr/sbin/mosquitto", X_OK) != 0) GTEST_SKIP() << "mosquitto is not installed";
        char pattern[] = "/tmp/webnet_mqtt_XXXXXX";
        dir_ = mkdtemp(pattern);
        port_ = free_port();
        std::ofstream(dir_ + "/broker.conf") << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n";
        broker_ = spawn({"/usr/sbin/mosquitto", "-c", dir_ + "/broker.conf"});
        for (int i = 0; i < 100 && !port_open(port_); ++i) usleep(50000);
        ASSERT_TRUE(port_open(port_));
        wn_mgr_init(&mgr_, nullptr);
    }
    void TearDown() override {
        if (broker_ > 0) {
            wn_mgr_free(&mgr_);
            stop(broker_);
            std::system(("rm -rf " + dir_).c_str());
        }
    }
    wn_connection* connect_client(ClientState* state, wn_send_mqtt_handshake_opts opts, const char* id) {
        wn_connect_opts copts = {};
        copts.user_data = state;
        const std::string address = "127.0.0.1:" + std::to_string(port_);
        wn_connection* nc = wn_connect_opt(&mgr_, address.c_str(), client_handler, copts);
        wn_set_protocol_mqtt(nc);
        wn_send_mqtt_handshake_opt(nc, id, opts);
        poll_until([&] { return state->connack >= 0; });
        return nc;
    }
    template <typename Done>
    bool poll_until(Done done, int limit_ms = 8000) {
        // done() is asked once per pass: it may have effects, such as reaping a child.
        const double deadline = wn_time() + limit_ms / 1000.0;
        for (;;) {
            if (done()) return true;
            if (wn_time() >= deadline) return false;
            wn_mgr_poll(&mgr_, 20);
        }
    }
    std::string dir_;
    int port_ = 0;
    pid_t broker_ = -1;
    wn_mgr mgr_;
};

TEST_F(Mosquitto, OurClientConnectsSubscribesPublishesAndLeavesAWill) {
    ClientState state;
    wn_send_mqtt_handshake_opts opts = {};
    opts.user_name = "user";
    opts.password = "pw";
    opts.will_topic = "will/topic";
    opts.will_message = "gone";
    // Short, so that the idle part below sees a ping soon; the client closes when a ping is not answered
    // within another keep-alive, and its ping waits behind whatever it is still sending.
    opts.keep_alive = 3;
    opts.flags = 0x20;  // the will is retained
    wn_connection* nc = connect_client(&state, opts, "briskbox-test");
    ASSERT_EQ(state.connack, 0);
    const wn_mqtt_topic_expression topics[] = {{"a/#", 1}, {"big/#", 0}};
    wn_mqtt_subscribe(nc, topics, 2, 7);
    ASSERT_TRUE(poll_until([&] { return std::count(state.events.begin(), state.events.end(), WN_EV_MQTT_SUBACK) == 1; }));

    // A message from mosquitto_pub at QoS 1.
    const pid_t pub = spawn({"mosquitto_pub", "-p", std::to_string(port_), "-t", "a/b", "-m", "hi", "-q", "1"});
    ASSERT_TRUE(poll_until([&] { return !state.published.empty(); }));
    waitpid(pub, nullptr, 0);
    EXPECT_EQ(state.published[0], "a/b|2|1");

    // Our messages at QoS 0 and 1, read back by mosquitto_sub (retained, so the order in which the two
    // programs connect does not matter); then through the broker back to us, in sizes that take one to
    // four length bytes.
    wn_mqtt_publish(nc, "out/q0", 0, 0x01, "zero", 4);
    wn_mqtt_publish(nc, "out/q1", 11, 0x02 | 0x01, "one", 3);
    ASSERT_TRUE(poll_until([&] { return std::count(state.events.begin(), state.events.end(), WN_EV_MQTT_PUBACK) == 1; }));
    const std::string seen = dir_ + "/sub.txt";
    const pid_t sub = spawn({"mosquitto_sub", "-p", std::to_string(port_), "-t", "out/+", "-C", "2", "-v"}, seen);
    int status = 0;
    ASSERT_TRUE(poll_until([&] { return waitpid(sub, &status, WNOHANG) == sub; }));
    const std::string got = read_file(seen);
    EXPECT_TRUE(got == "out/q0 zero\nout/q1 one\n" || got == "out/q1 one\nout/q0 zero\n") << got;
    state.published.clear();
    // One to three length bytes through the broker and back; the four-byte form (2 MiB and more) is checked
    // on the encoder alone, since a message that large crawls through 1460-byte writes under the sanitizers.
    // The largest here stays well within what a loaded sanitizer build sends before its keep-alive ping.
    const size_t sizes[] = {0, 127, 128, 16384, 100000};
    for (size_t size : sizes) {
        const std::string payload(size, 'p');
        wn_mqtt_publish(nc, ("big/" + std::to_string(size)).c_str(), 0, 0, payload.data(), payload.size());
    }
    ASSERT_TRUE(poll_until([&] { return state.published.size() == 5; }, 30000));
    EXPECT_EQ(state.published[1], "big/127|127|0");
    EXPECT_EQ(state.published[4], "big/100000|100000|0");

    // Idle past the keep-alive: pings keep the session.
    state.events.clear();
    poll_until([&] { return std::count(state.events.begin(), state.events.end(), WN_EV_MQTT_PINGRESP) >= 1; }, 10000);
    EXPECT_GE(std::count(state.events.begin(), state.events.end(), WN_EV_MQTT_PINGRESP), 1);
    const char* unsubscribe[] = {"a/#"};
    wn_mqtt_unsubscribe(nc, unsubscribe, 1, 9);
    ASSERT_TRUE(poll_until([&] { return std::count(state.events.begin(), state.events.end(), WN_EV_MQTT_UNSUBACK) == 1; }));

    // Leaving without DISCONNECT: the broker publishes the will (retained, flag 0x20, so a subscriber that
    // comes later still reads it).
    nc->flags |= WN_F_CLOSE_IMMEDIATELY;
    nc->user_data = nullptr;
    poll_until([&] { return wn_next(&mgr_, nullptr) == nullptr; });
    const std::string will = dir_ + "/will.txt";
    const pid_t will_sub = spawn({"mosquitto_sub", "-p", std::to_string(port_), "-t", "will/topic", "-C", "1"}, will);
    ASSERT_TRUE(poll_until([&] { return waitpid(will_sub, &status, WNOHANG) == will_sub; }));
    EXPECT_EQ(read_file(will), "gone\n");
}

// A broker of a few lines on the layer: CONNACK, SUBACK, PINGRESP, and fan-out by topic filter.
struct Broker {
    std::vector<std::pair<wn_connection*, std::string>> subscriptions;
};

void broker_handler(wn_connection* nc, int ev, void* ev_data) {
    auto* broker = static_cast<Broker*>(nc->mgr->user_data);
    auto* mm = static_cast<wn_mqtt_message*>(ev_data);
    switch (ev) {
        case WN_EV_MQTT_CONNECT: wn_mqtt_connack(nc, 0); break;
        case WN_EV_MQTT_SUBSCRIBE: {
            std::vector<uint8_t> qoss;
            wn_str topic;
            uint8_t qos = 0;
            for (int pos = 0; (pos = wn_mqtt_next_subscribe_topic(mm, &topic, &qos, pos)) > 0;) {
                broker->subscriptions.emplace_back(nc, s(topic));
                qoss.push_back(0);
            }
            wn_mqtt_suback(nc, qoss.data(), qoss.size(), mm->message_id);
            break;
        }
        case WN_EV_MQTT_PUBLISH:
            for (auto& entry : broker->subscriptions) {
                if (wn_mqtt_vmatch_topic_expression(entry.second.c_str(), mm->topic)) {
                    wn_mqtt_publish(entry.first, s(mm->topic).c_str(), 0, 0, mm->payload.p, mm->payload.len);
                }
            }
            if (mm->qos == 1) wn_mqtt_puback(nc, mm->message_id);
            break;
        case WN_EV_MQTT_PINGREQ: wn_mqtt_pong(nc); break;
        case WN_EV_CLOSE:
            for (auto it = broker->subscriptions.begin(); it != broker->subscriptions.end();) {
                it = it->first == nc ? broker->subscriptions.erase(it) : it + 1;
            }
            break;
        default: break;
    }
}

TEST(MqttBroker, MosquittoClientsTalkThroughOurBroker) {
    if (access("/usr/bin/mosquitto_sub", X_OK) != 0) GTEST_SKIP() << "mosquitto clients are not installed";
    Broker broker;
    wn_mgr mgr;
    wn_mgr_init(&mgr, &broker);
    wn_connection* listener = wn_bind(&mgr, "127.0.0.1:0", broker_handler);
    ASSERT_NE(listener, nullptr);
    wn_set_protocol_mqtt(listener);
    const std::string port = std::to_string(ntohs(listener->sa.sin_port));
    char pattern[] = "/tmp/webnet_broker_XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string out = dir + "/sub.txt";
    const pid_t sub = spawn({"mosquitto_sub", "-p", port, "-t", "a/+", "-k", "5", "-C", "2", "-v"}, out);
    for (int i = 0; i < 200 && broker.subscriptions.empty(); ++i) wn_mgr_poll(&mgr, 20);
    ASSERT_EQ(broker.subscriptions.size(), 1u);
    for (const char* topic : {"a/b", "a/b/c", "b/x", "a/z"}) {
        const pid_t pub = spawn({"mosquitto_pub", "-p", port, "-t", topic, "-m", topic, "-q", "1"});
        for (int i = 0; i < 100 && waitpid(pub, nullptr, WNOHANG) == 0; ++i) wn_mgr_poll(&mgr, 20);
    }
    int status = 0;
    for (int i = 0; i < 300 && waitpid(sub, &status, WNOHANG) == 0; ++i) wn_mgr_poll(&mgr, 20);
    EXPECT_EQ(read_file(out), "a/b a/b\na/z a/z\n");
    wn_mgr_free(&mgr);
    std::system(("rm -rf " + dir).c_str());
}

TEST(MqttParse, HostileAndPartialPackets) {
    struct Case {
        std::string bytes;
        int result;
    } cases[] = {
        {std::string("\x30\xff\xff\xff\xff\x01", 6), -2},                         // a fifth length byte
        {std::string("\x30\x80", 2), -1},                                          // length still running
        {std::string("\x30\x05\x00\x01t", 5), -1},                                 // packet not all there
        {std::string("\x10\x0c\x00\x04MQTT\x04\x80\x00\x3c\x00\x00", 14), -2},     // user flag, no user
        {std::string("\x10\x0c\x00\x04MQTT\x04\x00\x00\x3c\x00\x00", 14), 14},     // minimal CONNECT
        {std::string("\x10\x0e\x00\x04MQTT\x04\x00\x00\x3c\x00\x00xx", 16), -2},   // bytes after the fields
        {std::string("\x32\x04\x00\x01t\x00", 6), -2},                             // QoS 1 without an id
        {std::string("\x32\x06\x00\x01t\x00\x07p", 8), 8},
        {std::string("\xd0\x00", 2), 2}};
    for (const Case& c : cases) {
        mbuf io;
        mbuf_init(&io, 0);
        mbuf_append(&io, c.bytes.data(), c.bytes.size());
        wn_mqtt_message mm;
        EXPECT_EQ(wn_mqtt_parse(&io, &mm), c.result) << testing::PrintToString(c.bytes);
        mbuf_free(&io);
    }
}

TEST(MqttSend, RemainingLengthWidthsAndTheWillRule) {
    wn_mgr mgr;
    wn_mgr_init(&mgr, nullptr);
    wn_add_sock_opts opts = {};
    wn_connection* nc = wn_create_connection_base(&mgr, nullptr, opts);
    wn_send_mqtt_header(nc, WN_MQTT_CMD_PUBLISH, 0, 127);
    EXPECT_EQ(std::string(nc->send_mbuf.buf, nc->send_mbuf.len), std::string("\x30\x7f", 2));
    mbuf_clear(&nc->send_mbuf);
    wn_send_mqtt_header(nc, WN_MQTT_CMD_PUBLISH, 0, 128);
    EXPECT_EQ(std::string(nc->send_mbuf.buf, nc->send_mbuf.len), std::string("\x30\x80\x01", 3));
    mbuf_clear(&nc->send_mbuf);
    wn_send_mqtt_header(nc, WN_MQTT_CMD_PUBLISH, 0, 2097152);
    EXPECT_EQ(std::string(nc->send_mbuf.buf, nc->send_mbuf.len), std::string("\x30\x80\x80\x80\x01", 5));
    mbuf_clear(&nc->send_mbuf);
    wn_send_mqtt_handshake_opts handshake = {};
    handshake.will_topic = "only/topic";
    wn_send_mqtt_handshake_opt(nc, "id", handshake);
    wn_mqtt_message mm;
    ASSERT_GT(wn_mqtt_parse(&nc->send_mbuf, &mm), 0);
    EXPECT_EQ(mm.connect_flags & WN_MQTT_HAS_WILL, 0);
    EXPECT_EQ(mm.will_topic.len, 0u);
    EXPECT_EQ(mm.keep_alive_timer, 60);
    wn_destroy_conn(nc, 0);
    wn_mgr_free(&mgr);
}

TEST(MqttTopics, FilterMatching) {
    struct Case {
        const char* filter;
        const char* topic;
        bool match;
    } cases[] = {{"a/#", "a", true},      {"a/#", "a/b", true},  {"a/#", "a/b/c", true}, {"a/+", "a/b", true},
                 {"a/+", "a", false},     {"a/+", "a/b/c", false}, {"#/a", "x/a", false}, {"", "a", false},
                 {"a/b", "a/b", true},    {"a/b", "a/c", false}, {"+/+", "x/y", true},   {"#", "any/thing", true},
                 {"a/b", "a/b/c", false}, {"a", "a/b", false}};
    for (const Case& c : cases) {
        EXPECT_EQ(wn_mqtt_vmatch_topic_expression(c.filter, wn_mk_str(c.topic)), c.match) << c.filter << " " << c.topic;
    }
}

}  // namespace
